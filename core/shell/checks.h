// Core's built-in checks: what it knows to be dangerous about a tool call,
// judged on what the call would really do. Bash commands are judged on the
// commands they run (see commands.h), with paths resolved against the
// call's working directory and any `cd` before them; file tools on the
// paths they touch.
//
// Each check has a name (used in policy files, explain and the audit log),
// a default decision and reasons that say what it saw. Checks are pure
// functions of the call and the facts they are given: no I/O.
#pragma once

#include <array>
#include <cstddef>
#include <nlohmann/json.hpp>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "decision.h"
#include "shell/commands.h"

namespace twk::core {

enum class Check : std::size_t {
  kSelfProtection,
  kRecursiveDelete,
  kDestructiveGit,
  kSecretFiles,
  kEnvFiles,
  kDisks,
  kPermissionSweeps,
  kDatabases,
  kContainers,
  kClusters,
  kCloud,
  kSyncDelete,
  kDownloadToShell,
  kUnfollowable,
};
inline constexpr std::size_t kCheckCount = 14;

// The name of a check as policy files spell it, e.g. "recursive-delete".
std::string_view check_name(Check check);
// The check named `name`, or nothing.
std::optional<Check> check_from_name(std::string_view name);
// One line on what a check stops.
std::string_view check_summary(Check check);

// How a policy layer sets the checks.
struct CheckSettings {
  // Per check: nothing keeps the check's own decisions; kNone switches it
  // off; any other decision replaces the check's.
  std::array<std::optional<Decision>, kCheckCount> decisions{};
  // Whether checks the layer does not mention run. A project's layer runs
  // only the checks it names.
  bool others_run = true;
  // Paths added by the policy (absolute, or starting with ~/; a trailing
  // /** or a glob is allowed): each covers itself and what is below it.
  std::vector<std::string> protected_paths;
  std::vector<std::string> secret_paths;
  std::vector<std::string> deletable_paths;
};

// What Core knows about where a call runs.
struct CheckFacts {
  std::string home;     // the user's home; empty when unknown
  std::string cwd;      // the call's working directory; empty when unknown
  std::string project;  // the project directory; empty when unknown
  std::string tmpdir = "/tmp";
  // Core's state directory and the files no tool call may change: the hook
  // and Core binaries. Claude Code's settings files are added from `home`
  // and `project`.
  std::string state_dir;
  std::vector<std::string> protected_files;
  // When set: the path an absolute path reaches through symbolic links,
  // when a link is on the way (a repository may ship one). Paths the
  // project holds are judged where they lead as well as as written.
  // Unset, the checks do no I/O.
  std::optional<std::string> (*linked_path)(const std::string&) = nullptr;
};

struct Finding {
  Check check = Check::kUnfollowable;
  Decision decision = Decision::kNone;
  std::string reason;
};

// A Bash command, analysed once for every layer that looks at it.
struct BashAnalysis {
  CommandSet commands;
};

// Analyses a Bash command for the checks and for rules on programs.
BashAnalysis analyze_bash(std::string_view command, const CheckFacts& facts);

// What the checks found, in the two groups a policy layer uses apart:
// self-protection comes before the layer's rules (no rule can allow what
// it denies), the other checks after them.
struct CheckResults {
  std::optional<Finding> guard;  // self-protection's strictest finding
  std::optional<Finding> other;  // the other checks' strictest finding
};

// The checks `settings` runs on a call of `tool` with `input` (a JSON
// object; may be null), in one pass. `bash` is the analysis of its command
// for the Bash tool, else null. Ties go to the first found.
CheckResults run_checks(std::string_view tool, const nlohmann::json* input,
                        const BashAnalysis* bash, const CheckFacts& facts,
                        const CheckSettings& settings);

// One line per command the analysis found, for explain: the words as they
// would run, with how they were reached.
std::vector<std::string> describe_commands(const BashAnalysis& bash);

// `path` with a leading ~ or ~/ replaced by `home`.
std::string expand_home(std::string_view path, std::string_view home);

}  // namespace twk::core
