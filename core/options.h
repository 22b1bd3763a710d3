// twk-backend's command line: the options, their defaults, and the usage
// text. Parsing is table-driven: each command has its table of options, and
// at most one file argument.
#pragma once

#include <cstdint>
#include <optional>
#include <span>
#include <string>
#include <string_view>

#include "twk/result.h"

namespace twk::core {

// Longest idle time honoured: about a century. Larger values (the hook
// passes any unsigned 64-bit number) are clamped so that deadlines on the
// monotonic clock cannot overflow.
inline constexpr std::uint64_t kMaxIdleExitSeconds = 100ull * 365 * 24 * 3600;

// What the program was asked to do: serve hooks (no subcommand), or one
// of the commands for people editing a policy.
enum class Command {
  kServe,
  kCheck,    // check [FILE]: validate a policy file
  kExplain,  // explain [--project DIR] [FILE] < EVENT: show the decision
  // install [--project DIR | --settings FILE] [--uninstall] [--dry-run]:
  // add twk-hook to Claude Code's settings, or take it out
  kInstall,
  // log [--decision D] [--since TIME] [--session ID] [--project DIR]
  // [--follow] [--json]: the audit log, for people or scripts
  kLog,
  // status [--project DIR]: whether everything is in place
  kStatus,
};

struct Options {
  Command command = Command::kServe;
  // Numeric IPv4 or IPv6 address to listen on, as given (no brackets).
  std::string host = "127.0.0.1";
  // 0 asks the system for any free port.
  std::uint16_t port = 0;
  // Seconds without a request after which the process ends; 0 never ends.
  std::uint64_t idle_exit_seconds = 1800;
  // --policy FILE: the user's policy file, instead of the one in the state
  // directory. For check and explain, their FILE argument.
  std::optional<std::string> policy_file;
  // explain --project DIR: the project directory of the event. install
  // --project DIR: the project whose settings to edit. log --project DIR:
  // only that project's records.
  std::optional<std::string> project_dir;
  // install --settings FILE: the settings file to edit.
  std::optional<std::string> settings_file;
  // install --uninstall: take the hooks out instead.
  bool uninstall = false;
  // install --dry-run: show the change, write nothing.
  bool dry_run = false;
  // log: which records, and how.
  std::optional<std::string> decision;
  std::optional<std::string> since;
  std::optional<std::string> session;
  bool follow = false;
  bool json = false;
  // --help was given: print the usage text and do nothing else.
  bool help = false;
};

// Parses the arguments after the program name. Accepts "--name value" and
// "--name=value". On failure the reason is a one-line message naming the
// offending argument, e.g. "unknown option '--prot'", or the two options
// that exclude each other.
Result<Options> parse_options(std::span<const std::string_view> args);

// The usage text printed for --help, ending in a line feed.
std::string usage_text(Command command = Command::kServe);

}  // namespace twk::core
