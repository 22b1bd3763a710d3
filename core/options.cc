// Parsing twk-backend's command line.
#include "options.h"

#include <functional>
#include <optional>
#include <utility>

#include "twk/net/address.h"
#include "twk/text.h"

namespace twk::core {
namespace {

// An option's value handler: stores the value or returns why it is unusable.
using Setter = std::function<Status(Options&, std::string_view)>;

struct OptionDef {
  std::string_view name;  // with the leading "--"
  bool takes_value;
  Setter set;
};

Status set_host(Options& options, std::string_view value) {
  std::string host(value);
  // "[::1]" is accepted as well as "::1", since that is how IPv6 addresses
  // appear in URLs.
  if (host.size() >= 2 && host.front() == '[' && host.back() == ']') {
    host = host.substr(1, host.size() - 2);
  }
  if (!net::host_address(host, 0)) {
    // Names are refused: the endpoint record must carry a numeric address.
    return Failure{"--host needs a numeric IPv4 or IPv6 address, not " +
                   text::enclosed(value, '\'')};
  }
  options.host = std::move(host);
  return Ok{};
}

Status set_port(Options& options, std::string_view value) {
  std::optional<std::uint64_t> port = text::parse_decimal(value, 65535);
  if (!port) {
    return Failure{"--port needs a number from 0 to 65535, not " +
                   text::enclosed(value, '\'')};
  }
  options.port = static_cast<std::uint16_t>(*port);
  return Ok{};
}

Status set_idle_exit(Options& options, std::string_view value) {
  std::optional<std::uint64_t> seconds =
      text::parse_decimal(value, kMaxIdleExitSeconds, text::AboveLimit::kClamp);
  if (!seconds) {
    return Failure{"--idle-exit needs a whole number of seconds, not " +
                   text::enclosed(value, '\'')};
  }
  options.idle_exit_seconds = *seconds;
  return Ok{};
}

// A value kept as given in `field`; an empty one is refused with
// `if_empty` when that is not empty itself.
Setter set_text(std::optional<std::string> Options::*field,
                std::string_view if_empty = {}) {
  return [field, if_empty](Options& options, std::string_view value) -> Status {
    if (value.empty() && !if_empty.empty())
      return Failure{std::string(if_empty)};
    options.*field = std::string(value);
    return Ok{};
  };
}

// A switch, which turns `field` on.
Setter set_flag(bool Options::*field) {
  return [field](Options& options, std::string_view) -> Status {
    options.*field = true;
    return Ok{};
  };
}

Status set_decision(Options& options, std::string_view value) {
  for (std::string_view d : {"allow", "ask", "deny", "none"}) {
    if (value == d) {
      options.decision = std::string(value);
      return Ok{};
    }
  }
  return Failure{"--decision is allow, ask, deny or none, not " +
                 text::enclosed(value, '\'')};
}

std::span<const OptionDef> option_table(Command command) {
  static const OptionDef kHelp = {"--help", false, set_flag(&Options::help)};
  static const OptionDef kProject = {
      "--project", true,
      set_text(&Options::project_dir, "--project needs a directory")};
  static const OptionDef kServe[] = {
      {"--host", true, set_host},
      {"--port", true, set_port},
      {"--idle-exit", true, set_idle_exit},
      {"--policy", true,
       set_text(&Options::policy_file, "--policy needs a file name")},
      kHelp,
  };
  static const OptionDef kCheck[] = {kHelp};
  static const OptionDef kExplain[] = {kProject, kHelp};
  static const OptionDef kInstall[] = {
      kProject,
      {"--settings", true,
       set_text(&Options::settings_file, "--settings needs a file name")},
      {"--uninstall", false, set_flag(&Options::uninstall)},
      {"--dry-run", false, set_flag(&Options::dry_run)},
      kHelp,
  };
  static const OptionDef kLog[] = {
      {"--decision", true, set_decision},
      // --since is checked against the clock when the log is read.
      {"--since", true, set_text(&Options::since)},
      {"--session", true, set_text(&Options::session)},
      kProject,
      {"--follow", false, set_flag(&Options::follow)},
      {"--json", false, set_flag(&Options::json)},
      kHelp,
  };
  static const OptionDef kStatus[] = {kProject, kHelp};
  switch (command) {
    case Command::kStatus:
      return kStatus;
    case Command::kLog:
      return kLog;
    case Command::kCheck:
      return kCheck;
    case Command::kExplain:
      return kExplain;
    case Command::kInstall:
      return kInstall;
    case Command::kServe:
      break;
  }
  return kServe;
}

const OptionDef* find_option(Command command, std::string_view name) {
  for (const OptionDef& def : option_table(command)) {
    if (def.name == name) return &def;
  }
  return nullptr;
}

}  // namespace

Result<Options> parse_options(std::span<const std::string_view> args) {
  static constexpr std::pair<std::string_view, Command> kCommands[] = {
      {"check", Command::kCheck},     {"explain", Command::kExplain},
      {"install", Command::kInstall}, {"log", Command::kLog},
      {"status", Command::kStatus},
  };
  Options options;
  std::size_t first = 0;
  for (const auto& [name, command] : kCommands) {
    if (!args.empty() && args[0] == name) {
      options.command = command;
      first = 1;
    }
  }
  // check and explain take one policy file; install takes none.
  const bool takes_file = options.command == Command::kCheck ||
                          options.command == Command::kExplain;
  for (std::size_t i = first; i < args.size(); ++i) {
    std::string_view arg = args[i];
    if (takes_file && !options.policy_file && (arg.empty() || arg[0] != '-')) {
      // The one file argument of check and explain.
      if (arg.empty()) return Failure{"the policy file name is empty"};
      options.policy_file = std::string(arg);
      continue;
    }
    if (arg.size() < 2 || arg[0] != '-') {
      return Failure{"unexpected argument " + text::enclosed(arg, '\'')};
    }
    std::string_view name = arg;
    std::optional<std::string_view> inline_value;
    if (std::size_t eq = arg.find('='); eq != std::string_view::npos) {
      name = arg.substr(0, eq);
      inline_value = arg.substr(eq + 1);
    }
    const OptionDef* def = find_option(options.command, name);
    if (def == nullptr)
      return Failure{"unknown option " + text::enclosed(name, '\'')};

    std::string_view value;
    if (def->takes_value) {
      if (inline_value) {
        value = *inline_value;
      } else if (i + 1 < args.size()) {
        value = args[++i];
      } else {
        return Failure{"option " + text::enclosed(name, '\'') +
                       " needs a value"};
      }
    } else if (inline_value) {
      return Failure{"option " + text::enclosed(name, '\'') +
                     " takes no value"};
    }
    if (Status set = def->set(options, value); !set) {
      return Failure{set.reason()};
    }
  }
  if (options.project_dir && options.settings_file) {
    return Failure{"--project and --settings cannot be used together"};
  }
  return options;
}

namespace {
// Each command's --help text; the server's comes first and is the
// overview of all.
struct Usage {
  Command command;
  std::string_view text;
};

constexpr Usage kUsage[] = {
    {Command::kServe,
     "Usage: twk-backend [--host ADDR] [--port N] [--idle-exit SECONDS]\n"
     "                   [--policy FILE]\n"
     "       twk-backend check [FILE]\n"
     "       twk-backend explain [--project DIR] [FILE] < EVENT\n"
     "       twk-backend install [--project DIR | --settings FILE]\n"
     "                           [--uninstall] [--dry-run]\n"
     "       twk-backend log [--decision D] [--since TIME] [--session ID]\n"
     "                       [--project DIR] [--follow] [--json]\n"
     "       twk-backend status [--project DIR]\n"
     "\n"
     "Serves policy decisions for twk-hook over HTTP on a local address.\n"
     "On start it writes its endpoint record (url, bearer token, pid) to\n"
     "$TWK_ENDPOINT_FILE, or else to $TARNWICK_HOME/endpoint.json, or\n"
     "else to $HOME/.tarnwick/endpoint.json. It decides by the policy in\n"
     "policy.yaml in that state directory (the built-in default policy\n"
     "when there is none) and records every event in logs/audit.jsonl\n"
     "there. 'check' and 'explain' help with editing a policy, and\n"
     "'install' adds twk-hook to Claude Code's settings, 'log' shows\n"
     "the audit log and 'status' whether all is in place; see\n"
     "'twk-backend COMMAND --help'.\n"
     "\n"
     "Options:\n"
     "  --host ADDR          numeric IPv4 or IPv6 address to listen on\n"
     "                       (default 127.0.0.1)\n"
     "  --port N             port to listen on; 0 picks a free one "
     "(default 0)\n"
     "  --idle-exit SECONDS  exit after this long without a request;\n"
     "                       0 never exits (default 1800)\n"
     "  --policy FILE        the user's policy file, instead of the one\n"
     "                       in the state directory\n"
     "  --help               show this text and exit\n"},
    {Command::kCheck,
     "Usage: twk-backend check [FILE]\n"
     "\n"
     "Checks a policy file and prints what is wrong with it, with\n"
     "line and column. FILE defaults to the policy Core uses:\n"
     "$TARNWICK_HOME/policy.yaml, or else ~/.tarnwick/policy.yaml.\n"
     "Exits with status 1 when the file has errors or is missing.\n"
     "\n"
     "Options:\n"
     "  --help  show this text and exit\n"},
    {Command::kExplain,
     "Usage: twk-backend explain [--project DIR] [FILE] < EVENT\n"
     "\n"
     "Reads one hook event as JSON (what Claude Code sends the hook,\n"
     "e.g. {\"tool_name\":\"Bash\",\"tool_input\":{\"command\":"
     "\"ls\"}})\n"
     "and shows, for a Bash call, the commands it would run (after\n"
     "sudo, bash -c, xargs and the like are taken off), which rule or\n"
     "built-in check of each policy layer decides, the decision, and\n"
     "the line twk-hook would print. FILE is the user's policy\n"
     "(default: the one Core uses). Paths are resolved against the\n"
     "event's cwd. The event is taken as pre-tool-use unless its\n"
     "hook_event_name says PostToolUse.\n"
     "Exits with status 1 when a policy file or the event is broken.\n"
     "\n"
     "Options:\n"
     "  --project DIR  also apply DIR/.tarnwick/policy.yaml, as for\n"
     "                 events from that project\n"
     "  --help         show this text and exit\n"},
    {Command::kStatus,
     "Usage: twk-backend status [--project DIR]\n"
     "\n"
     "Says whether everything is in place: whether a Core runs (its\n"
     "pid, address, program and start), the state directory and its\n"
     "permissions, each policy layer and whether it loads, whether\n"
     "Claude Code's settings (yours, and the project's) run the\n"
     "twk-hook beside this program, and what Core has decided since\n"
     "it started. Each problem comes with a line on how to fix it.\n"
     "Exits with status 1 when there is a problem.\n"
     "\n"
     "Options:\n"
     "  --project DIR  the project to look at (default: the current\n"
     "                 directory)\n"
     "  --help         show this text and exit\n"},
    {Command::kLog,
     "Usage: twk-backend log [--decision D] [--since TIME]\n"
     "                       [--session ID] [--project DIR]\n"
     "                       [--follow] [--json]\n"
     "\n"
     "Prints Core's audit log, oldest first, as a table: the time\n"
     "(UTC), the decision, the tool, what was called, the rule or\n"
     "check that decided, and the project. Files rotated from the log\n"
     "are read too. The log is logs/audit.jsonl in $TARNWICK_HOME,\n"
     "or else in ~/.tarnwick.\n"
     "\n"
     "Options:\n"
     "  --decision D   only records decided D: allow, ask, deny or "
     "none\n"
     "  --since TIME   only records from TIME on: 2026-12-08,\n"
     "                 \"2026-12-08 09:30\", or back from now: 90s,\n"
     "                 15m, 2h, 3d\n"
     "  --session ID   only the agent session ID\n"
     "  --project DIR  only calls made in the project DIR\n"
     "  --follow       then wait for new records, like tail -f\n"
     "  --json         the records as they are, one JSON object a "
     "line\n"
     "  --help         show this text and exit\n"},
    {Command::kInstall,
     "Usage: twk-backend install [--project DIR | --settings FILE]\n"
     "                           [--uninstall] [--dry-run]\n"
     "\n"
     "Adds twk-hook to Claude Code's settings as its PreToolUse and\n"
     "PostToolUse hook (matcher \"*\"), running the twk-hook that "
     "lies\n"
     "beside this twk-backend. The settings file is\n"
     "~/.claude/settings.json unless an option names another. Every\n"
     "other setting and hook is kept; a twk-hook entry that runs\n"
     "another twk-hook is pointed at this one, and running the\n"
     "command again changes nothing. A missing file is created (mode\n"
     "0600, its directory 0700); an existing one is first copied to\n"
     "settings.json.bak and then replaced in one step, keeping its\n"
     "mode. A file that is not valid JSON is left alone.\n"
     "Exits with status 1 when the file cannot be read, understood\n"
     "or written.\n"
     "\n"
     "Options:\n"
     "  --project DIR    edit DIR/.claude/settings.json instead\n"
     "  --settings FILE  edit FILE instead\n"
     "  --uninstall      take the twk-hook entries out instead, with\n"
     "                   any matcher group or list left empty\n"
     "  --dry-run        show the change and write nothing\n"
     "  --help           show this text and exit\n"},
};
}  // namespace

std::string usage_text(Command command) {
  for (const Usage& u : kUsage) {
    if (u.command == command) return std::string(u.text);
  }
  return std::string(kUsage[0].text);
}

}  // namespace twk::core
