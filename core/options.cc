// Parsing twk-backend's command line.
#include "options.h"

#include <functional>
#include <optional>
#include <utility>

#include "twk/net/address.h"

namespace twk::core {
namespace {

// An option's value handler: stores the value or returns why it is unusable.
using Setter = std::function<Status(Options&, std::string_view)>;

struct OptionDef {
  std::string_view name;  // with the leading "--"
  bool takes_value;
  Setter set;
};

std::string quoted(std::string_view s) {
  std::string out = "'";
  out += s;
  out += '\'';
  return out;
}

// Decimal digits only; values past `limit` (including those that would
// overflow) come back as `limit` when `clamp` is set, else as nothing.
std::optional<std::uint64_t> parse_decimal(std::string_view text,
                                           std::uint64_t limit, bool clamp) {
  if (text.empty()) return std::nullopt;
  std::uint64_t value = 0;
  bool over = false;
  for (char c : text) {
    if (c < '0' || c > '9') return std::nullopt;
    if (over) continue;  // keep checking that the rest are digits
    std::uint64_t digit = static_cast<std::uint64_t>(c - '0');
    if (value > (limit - digit) / 10) {
      over = true;
      continue;
    }
    value = value * 10 + digit;
  }
  if (over) return clamp ? std::optional<std::uint64_t>(limit) : std::nullopt;
  return value;
}

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
                   quoted(value)};
  }
  options.host = std::move(host);
  return Ok{};
}

Status set_port(Options& options, std::string_view value) {
  std::optional<std::uint64_t> port = parse_decimal(value, 65535, false);
  if (!port) {
    return Failure{"--port needs a number from 0 to 65535, not " +
                   quoted(value)};
  }
  options.port = static_cast<std::uint16_t>(*port);
  return Ok{};
}

Status set_idle_exit(Options& options, std::string_view value) {
  std::optional<std::uint64_t> seconds =
      parse_decimal(value, kMaxIdleExitSeconds, true);
  if (!seconds) {
    return Failure{"--idle-exit needs a whole number of seconds, not " +
                   quoted(value)};
  }
  options.idle_exit_seconds = *seconds;
  return Ok{};
}

Status set_policy(Options& options, std::string_view value) {
  if (value.empty()) return Failure{"--policy needs a file name"};
  options.policy_file = std::string(value);
  return Ok{};
}

Status set_project(Options& options, std::string_view value) {
  if (value.empty()) return Failure{"--project needs a directory"};
  options.project_dir = std::string(value);
  return Ok{};
}

Status set_settings(Options& options, std::string_view value) {
  if (value.empty()) return Failure{"--settings needs a file name"};
  options.settings_file = std::string(value);
  return Ok{};
}

Status set_uninstall(Options& options, std::string_view) {
  options.uninstall = true;
  return Ok{};
}

Status set_dry_run(Options& options, std::string_view) {
  options.dry_run = true;
  return Ok{};
}

Status set_decision(Options& options, std::string_view value) {
  for (std::string_view d : {"allow", "ask", "deny", "none"}) {
    if (value == d) {
      options.decision = std::string(value);
      return Ok{};
    }
  }
  return Failure{"--decision is allow, ask, deny or none, not " +
                 quoted(value)};
}

Status set_since(Options& options, std::string_view value) {
  options.since = std::string(value);  // checked against the clock later
  return Ok{};
}

Status set_session(Options& options, std::string_view value) {
  options.session = std::string(value);
  return Ok{};
}

Status set_follow(Options& options, std::string_view) {
  options.follow = true;
  return Ok{};
}

Status set_json(Options& options, std::string_view) {
  options.json = true;
  return Ok{};
}

Status set_help(Options& options, std::string_view) {
  options.help = true;
  return Ok{};
}

std::span<const OptionDef> option_table(Command command) {
  static const OptionDef kServe[] = {
      {"--host", true, set_host},           {"--port", true, set_port},
      {"--idle-exit", true, set_idle_exit}, {"--policy", true, set_policy},
      {"--help", false, set_help},
  };
  static const OptionDef kCheck[] = {{"--help", false, set_help}};
  static const OptionDef kExplain[] = {
      {"--project", true, set_project},
      {"--help", false, set_help},
  };
  static const OptionDef kInstall[] = {
      {"--project", true, set_project},
      {"--settings", true, set_settings},
      {"--uninstall", false, set_uninstall},
      {"--dry-run", false, set_dry_run},
      {"--help", false, set_help},
  };
  static const OptionDef kLog[] = {
      {"--decision", true, set_decision}, {"--since", true, set_since},
      {"--session", true, set_session},   {"--project", true, set_project},
      {"--follow", false, set_follow},    {"--json", false, set_json},
      {"--help", false, set_help},
  };
  static const OptionDef kStatus[] = {
      {"--project", true, set_project},
      {"--help", false, set_help},
  };
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
      {"check", Command::kCheck},
      {"explain", Command::kExplain},
      {"install", Command::kInstall},
      {"log", Command::kLog},
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
    if (takes_file && !options.policy_file &&
        (arg.empty() || arg[0] != '-')) {
      // The one file argument of check and explain.
      if (arg.empty()) return Failure{"the policy file name is empty"};
      options.policy_file = std::string(arg);
      continue;
    }
    if (arg.size() < 2 || arg[0] != '-') {
      return Failure{"unexpected argument " + quoted(arg)};
    }
    std::string_view name = arg;
    std::optional<std::string_view> inline_value;
    if (std::size_t eq = arg.find('='); eq != std::string_view::npos) {
      name = arg.substr(0, eq);
      inline_value = arg.substr(eq + 1);
    }
    const OptionDef* def = find_option(options.command, name);
    if (def == nullptr) return Failure{"unknown option " + quoted(name)};

    std::string_view value;
    if (def->takes_value) {
      if (inline_value) {
        value = *inline_value;
      } else if (i + 1 < args.size()) {
        value = args[++i];
      } else {
        return Failure{"option " + quoted(name) + " needs a value"};
      }
    } else if (inline_value) {
      return Failure{"option " + quoted(name) + " takes no value"};
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

std::string usage_text(Command command) {
  switch (command) {
    case Command::kCheck:
      return "Usage: twk-backend check [FILE]\n"
             "\n"
             "Checks a policy file and prints what is wrong with it, with\n"
             "line and column. FILE defaults to the policy Core uses:\n"
             "$TARNWICK_HOME/policy.yaml, or else ~/.tarnwick/policy.yaml.\n"
             "Exits with status 1 when the file has errors or is missing.\n"
             "\n"
             "Options:\n"
             "  --help  show this text and exit\n";
    case Command::kExplain:
      return "Usage: twk-backend explain [--project DIR] [FILE] < EVENT\n"
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
             "  --help         show this text and exit\n";
    case Command::kStatus:
      return "Usage: twk-backend status [--project DIR]\n"
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
             "  --help         show this text and exit\n";
    case Command::kLog:
      return "Usage: twk-backend log [--decision D] [--since TIME]\n"
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
             "  --decision D   only records decided D: allow, ask, deny or none\n"
             "  --since TIME   only records from TIME on: 2026-12-08,\n"
             "                 \"2026-12-08 09:30\", or back from now: 90s,\n"
             "                 15m, 2h, 3d\n"
             "  --session ID   only the agent session ID\n"
             "  --project DIR  only calls made in the project DIR\n"
             "  --follow       then wait for new records, like tail -f\n"
             "  --json         the records as they are, one JSON object a line\n"
             "  --help         show this text and exit\n";
    case Command::kInstall:
      return "Usage: twk-backend install [--project DIR | --settings FILE]\n"
             "                           [--uninstall] [--dry-run]\n"
             "\n"
             "Adds twk-hook to Claude Code's settings as its PreToolUse and\n"
             "PostToolUse hook (matcher \"*\"), running the twk-hook that lies\n"
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
             "  --help           show this text and exit\n";
    case Command::kServe:
      break;
  }
  return "Usage: twk-backend [--host ADDR] [--port N] [--idle-exit SECONDS]\n"
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
         "  --help               show this text and exit\n";
}

}  // namespace twk::core
