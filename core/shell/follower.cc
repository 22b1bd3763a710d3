// Following a command line to the commands it runs: the walk over the
// shell analyzer's commands, the word helpers the follower's parts share,
// and the public entry points.
#include "shell/follower.h"

#include <fnmatch.h>

#include <algorithm>
#include <cctype>
#include <cstdint>
#include <unordered_map>
#include <unordered_set>

#include "shell/commands.h"
#include "shell/programs.h"
#include "shell/text.h"
#include "twk/text.h"

namespace twk::core {
namespace commands {

Word word_of(std::string text) {
  Word w;
  w.text = std::move(text);
  w.unknown = w.text.find(shell::kUnknown) != std::string::npos;
  return w;
}

bool has(std::initializer_list<std::string_view> list, std::string_view s) {
  return shell::one_of(list, s);
}

bool is_option(const Word& w) {
  return !w.unknown && w.text.size() > 1 && w.text[0] == '-';
}

// "NAME=value" with a valid variable name.
bool is_assignment(const Word& w) {
  std::size_t eq = w.text.find('=');
  if (eq == std::string::npos || eq == 0) return false;
  for (std::size_t k = 0; k < eq; ++k) {
    char c = w.text[k];
    bool ok = c == '_' || (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') ||
              (k > 0 && c >= '0' && c <= '9');
    if (!ok) return false;
  }
  return true;
}

std::string join_words(const std::vector<Word>& argv, std::size_t from) {
  std::string out;
  for (std::size_t k = from; k < argv.size(); ++k) {
    if (k > from) out += ' ';
    out += argv[k].text;
  }
  return out;
}

namespace {

std::unordered_map<std::string_view, unsigned> program_table() {
  std::unordered_map<std::string_view, unsigned> t;
  for (std::string_view p :
       {"sudo",        "doas",         "env",        "command",
        "builtin",     "exec",         "nohup",      "setsid",
        "nocache",     "unbuffer",     "caffeinate", "torsocks",
        "proxychains", "proxychains4", "fakeroot",   "dbus-run-session",
        "xvfb-run",    "catchsegv",    "then",       "do",
        "else",        "time",         "nice",       "ionice",
        "chrt",        "taskset",      "stdbuf",     "timeout",
        "gtimeout",    "chroot",       "strace",     "ltrace",
        "flock",       "runuser",      "su",         "busybox",
        "toybox",      "watch",      "pkexec",     "run0",
        "firejail",    "valgrind",   "gdb",        "lldb",
        "tmux",        "screen"}) {
    t[p] |= kWrapper;
  }
  // Project tools whose run or exec subcommand runs a command.
  for (std::string_view p :
       {"uv", "poetry", "pipenv", "pdm", "rye", "hatch", "pixi", "conda",
        "mamba", "micromamba", "bundle", "mise", "asdf", "direnv", "devbox",
        "npx", "bunx", "pnpx", "pnpm", "npm", "yarn", "bun", "dotenv",
        "doppler", "op", "aws-vault", "systemd-run", "env-cmd", "cross-env",
        "nix", "nix-shell"}) {
    t[p] |= kWrapper;
  }
  for (std::string_view p :
       {"xargs", "parallel", "find", "eval", "source", ".", "ssh", "trap",
        "script", "docker", "podman", "kubectl", "oc", "fd", "fdfind", "psql",
        "mysql", "mariadb", "sqlite3", "redis-cli", "mongosh", "mongo",
        "clickhouse-client", "tar", "gtar", "crontab", "at", "batch",
        // Interpreters known by their whole name (language_of also takes
        // versioned names such as python3.12, perl5.36 and php8.2).
        "pypy", "pypy3", "node", "nodejs", "deno", "bun", "perl", "ruby",
        "jruby", "php", "awk", "gawk", "mawk", "nawk", "osascript"}) {
    t[p] |= kCarrier;
  }
  for (std::string_view p : {"bash", "sh", "zsh", "dash", "ksh", "mksh", "ash",
                             "fish", "tcsh", "csh", "yash", "posh", "rbash"}) {
    t[p] |= kShell | kCarrier;
  }
  for (std::string_view p :
       {"curl", "wget", "wget2", "fetch", "http", "https", "xh", "aria2c",
        "lwp-request", "GET", "httpie", "lynx", "links"}) {
    t[p] |= kDownload;
  }
  return t;
}

}  // namespace

unsigned program_traits(std::string_view p) {
  static const std::unordered_map<std::string_view, unsigned> kTable =
      program_table();
  auto it = kTable.find(p);
  if (it != kTable.end()) return it->second;
  // Versioned interpreter names all start with "p".
  if (!p.empty() && p[0] == 'p' && language_of(p) != Language::kNone) {
    return kCarrier;
  }
  return 0;
}

namespace {

// True when `text` names `name` as a word of its own: the whole text, or
// bounded by characters that cannot be part of a command name.
bool mentions(std::string_view text, std::string_view name) {
  auto part_of_name = [](char c) {
    return std::isalnum(static_cast<unsigned char>(c)) || c == '_' ||
           c == '-' || c == '.' || c == '/';
  };
  for (std::size_t at = text.find(name); at != std::string_view::npos;
       at = text.find(name, at + 1)) {
    std::size_t end = at + name.size();
    if ((at == 0 || !part_of_name(text[at - 1])) &&
        (end == text.size() || !part_of_name(text[end]))) {
      return true;
    }
  }
  return false;
}

}  // namespace

// The function definitions of `a` that something may call: the one a
// command names where the analysis could tell which (Command::calls); else
// every definition of a function named as a command outside its own
// body, or in the text eval or trap runs; all of them when some command's
// name is not known.
std::unordered_set<int> Follower::called_functions(const shell::Analysis& a) {
  // Each name with the numbers of its definitions.
  std::unordered_map<std::string_view, std::vector<int>> defined;
  for (const shell::Command& cmd : a.commands) {
    if (cmd.definition == 0) continue;
    std::vector<int>& ids = defined[cmd.function];
    if (ids.empty() || ids.back() != cmd.definition) {
      ids.push_back(cmd.definition);
    }
  }
  std::unordered_set<int> called;
  if (defined.empty()) return called;
  auto call_all = [&](const std::vector<int>& ids) {
    called.insert(ids.begin(), ids.end());
  };
  std::size_t words = 0;
  bool unknown_name = false;
  for (const shell::Command& cmd : a.commands) {
    words += cmd.argv.size();
    unknown_name = unknown_name || (!cmd.argv.empty() && cmd.argv[0].unknown);
  }
  // Past this much searching, calling them all is the safe answer.
  if (unknown_name || defined.size() * words > (1u << 20)) {
    for (const auto& [name, ids] : defined) call_all(ids);
    return called;
  }
  // export -f (or declare -fx) hands functions to the shells this one
  // starts, so bash -c f or xargs bash -c f can call them.
  bool exported = std::any_of(
      a.commands.begin(), a.commands.end(), [](const shell::Command& cmd) {
        if (cmd.argv.size() < 2) return false;
        std::string_view p = cmd.argv[0].text, o = cmd.argv[1].text;
        return (p == "export" && o.starts_with('-') &&
                o.find('f') != std::string_view::npos) ||
               ((p == "declare" || p == "typeset") && o.starts_with('-') &&
                o.find('f') != std::string_view::npos &&
                o.find('x') != std::string_view::npos);
      });
  for (const shell::Command& cmd : a.commands) {
    if (cmd.calls > 0 && cmd.calls != cmd.definition) called.insert(cmd.calls);
  }
  for (const auto& entry : defined) {
    std::string_view name = entry.first;  // a lambda below captures it
    for (const shell::Command& cmd : a.commands) {
      if (cmd.function == name || cmd.argv.empty()) continue;
      // Called as a command where the analysis could not tell which
      // definition runs, or in the shell text eval or trap run; programs
      // such as xargs, sh -c or time (after an assignment) run programs,
      // never the shell's functions, unless it is exported.
      std::string_view runner = cmd.argv[0].text;
      bool text_runs = exported || runner == "eval" || runner == "trap";
      bool named =
          (runner == name && cmd.calls < 0) ||
          (text_runs &&
           std::any_of(cmd.argv.begin() + 1, cmd.argv.end(),
                       [&](const Word& w) { return mentions(w.text, name); }));
      if (named) {
        call_all(entry.second);
        break;
      }
    }
  }
  return called;
}

// Analyses `text` and follows each command it runs; a function's body
// only when something in the text calls it.
void Follower::follow_text(std::string_view text, const Context& ctx,
                           const std::vector<std::string>& positional) {
  if (too_deep(ctx)) return;
  if (++analyses_ > 256) {
    if (analyses_ == 257) problem(ctx, "too much nested code");
    return;
  }
  shell::Environment env;
  env.cwd = ctx.cwd.str();
  if (!ctx.remote) {
    if (!facts_.home.empty()) env.variables["HOME"] = facts_.home;
    env.variables["TMPDIR"] = facts_.tmpdir;
  }
  for (std::size_t k = 0; k < positional.size(); ++k) {
    env.variables[std::to_string(k)] = positional[k];
  }
  out_.analyses.push_back(shell::analyze(text, env));
  shell::Analysis& a = out_.analyses.back();
  // Most simple commands become one command to check; growing the vector
  // one by one would move every RunCommand several times.
  out_.commands.reserve(out_.commands.size() + a.commands.size());
  for (const std::string& p : a.problems) problem(ctx, p);
  // A function's body runs only if something calls the function.
  std::unordered_set<int> called = called_functions(a);
  Context c = ctx;
  c.unknown_text = text.find(shell::kUnknown) != std::string_view::npos;
  for (std::size_t i = 0; i < a.commands.size(); ++i) {
    shell::Command& cmd = a.commands[i];
    if (cmd.definition != 0 && called.count(cmd.definition) == 0) continue;
    c.cwd = cmd.cwd;
    follow_shell_variables(cmd, c);
    if (cmd.argv.empty()) {
      // Redirections alone (> file) still write.
      if (!cmd.redirects.empty()) push({}, c, &cmd);
      continue;
    }
    if (cmd.argv[0].text == "alias") note_aliases(cmd.argv, c);
    // A shell that expands aliases (as the agent's does) runs a later
    // command named by one as the alias's text.
    if (!aliases_.empty() && !cmd.argv[0].quoted && !cmd.argv[0].unknown &&
        aliases_.count(cmd.argv[0].text) > 0) {
      std::vector<std::string> names;
      std::string expanded = alias_text(cmd, names);
      if (!expanded.empty()) {
        expanding_.insert(expanding_.end(), names.begin(), names.end());
        follow_text(expanded, nested(c, "alias"));
        expanding_.resize(expanding_.size() - names.size());
        continue;
      }
    }
    // Why move: copying every command's words cost more than most checks.
    // Only the stages of a pipeline (read by the stage after) and the
    // commands of substitutions (looked for downloads) are read again.
    bool read_again = cmd.group != 0 || (cmd.place & shell::kInPipeline);
    std::size_t before = out_.commands.size();
    if (!read_again) {
      follow_command(std::move(cmd.argv), 0, c, a, i);
    } else {
      follow_command(cmd.argv, 0, c, a, i);
    }
    // A wrapper that runs nothing (`nice -n > f`, `sudo -v > f`) still
    // has the shell open its redirections: they are judged as if alone.
    if (!cmd.redirects.empty() && out_.commands.size() == before) {
      push({}, c, &cmd);
    }
  }
}

// Variables whose value programs later run as shell text: git runs
// GIT_SSH_COMMAND and its editors and pager through the shell, as other
// programs do EDITOR, VISUAL and PAGER. Whether assigned for one command,
// alone or through export and its kin, the value is judged where it is
// set, as the code it will run.
void Follower::follow_shell_variables(const shell::Command& cmd,
                                      const Context& ctx) {
  auto run_as_shell = [](std::string_view name) {
    return has({"GIT_SSH_COMMAND", "GIT_EDITOR", "GIT_SEQUENCE_EDITOR",
                "GIT_PAGER", "EDITOR", "VISUAL", "PAGER"},
               name);
  };
  for (const auto& [name, value] : cmd.assignments) {
    if (run_as_shell(name) && !value.unknown && !value.text.empty()) {
      follow_text(value.text, nested(ctx, name));
    }
  }
  if (cmd.argv.empty() ||
      !has({"export", "declare", "typeset", "local", "readonly"},
           cmd.argv[0].text)) {
    return;
  }
  for (std::size_t k = 1; k < cmd.argv.size(); ++k) {
    const Word& w = cmd.argv[k];
    std::size_t eq = w.text.find('=');
    if (w.unknown || eq == std::string::npos || eq + 1 >= w.text.size()) {
      continue;
    }
    std::string_view name = std::string_view(w.text).substr(0, eq);
    if (run_as_shell(name)) {
      follow_text(std::string_view(w.text).substr(eq + 1), nested(ctx, name));
    }
  }
}

// alias NAME=VALUE...: each definition is noted for the commands after
// it, and VALUE judged at once as the code it will run.
void Follower::note_aliases(const std::vector<Word>& argv,
                            const Context& ctx) {
  for (std::size_t k = 1; k < argv.size(); ++k) {
    const Word& w = argv[k];
    std::size_t eq = w.text.find('=');
    if (w.unknown || eq == std::string::npos || eq == 0) continue;
    std::string value = w.text.substr(eq + 1);
    follow_text(value, nested(ctx, "alias"));
    aliases_[w.text.substr(0, eq)] = std::move(value);
  }
}

namespace {

// `w` as shell text that reads back as the same word: quoted, but for
// the glob characters of a pattern.
std::string quoted_word(const Word& w) {
  auto safe = [](char c) {
    return std::isalnum(static_cast<unsigned char>(c)) ||
           std::string_view("/._-+,:=@%^").find(c) != std::string_view::npos;
  };
  if (!w.text.empty() && std::all_of(w.text.begin(), w.text.end(), safe)) {
    return w.text;
  }
  // Single quotes around all but a pattern's glob characters (and the
  // quote itself, which is escaped).
  std::string out = "'";
  for (char c : w.text) {
    if (c == '\'' || (w.glob && std::string_view("*?[]").find(c) !=
                                     std::string_view::npos)) {
      out += '\'';
      out += c == '\'' ? "\\'" : std::string(1, c);
      out += '\'';
    } else {
      out += c;
    }
  }
  return out += '\'';
}

}  // namespace

// The text a shell that expands aliases runs for `cmd`, whose first word
// names an alias: the alias's value, and while a value ends in a blank the
// next word's alias too (as the shell does), then the other words and
// the redirections as they were. `names` gets the aliases used, which
// are not expanded again inside their own text. Empty when the first
// word is no alias to expand, or past the budget for expanded text.
std::string Follower::alias_text(const shell::Command& cmd,
                                 std::vector<std::string>& names) {
  std::string out;
  for (const auto& [name, value] : cmd.assignments) {
    out += name + "=" + quoted_word(value) + " ";
  }
  std::size_t k = 0;
  for (bool next = true; next && k < cmd.argv.size(); ++k) {
    const Word& w = cmd.argv[k];
    if (w.quoted || w.unknown) break;
    auto it = aliases_.find(w.text);
    if (it == aliases_.end() ||
        std::find(expanding_.begin(), expanding_.end(), w.text) !=
            expanding_.end() ||
        std::find(names.begin(), names.end(), w.text) != names.end()) {
      break;
    }
    // Each use copies the value: bounded, as words followed are.
    alias_bytes_ += it->second.size() + 1;
    if (alias_bytes_ > words_budget_) {
      if (!words_exceeded_ && out_.problems.size() < 8) {
        out_.problems.push_back("too many words to follow");
      }
      words_exceeded_ = true;
      return {};
    }
    names.push_back(it->first);
    out += it->second;
    out += ' ';
    next = !it->second.empty() &&
           (it->second.back() == ' ' || it->second.back() == '\t');
  }
  if (names.empty()) return {};
  for (; k < cmd.argv.size(); ++k) out += quoted_word(cmd.argv[k]) + " ";
  for (const shell::Redirect& r : cmd.redirects) {
    if (r.fd >= 0) out += std::to_string(r.fd);
    switch (r.kind) {
      case shell::RedirectKind::kInput: out += "< "; break;
      case shell::RedirectKind::kOutput: out += "> "; break;
      case shell::RedirectKind::kAppend: out += ">> "; break;
      case shell::RedirectKind::kReadWrite: out += "<> "; break;
      case shell::RedirectKind::kDuplicate: out += ">&"; break;
      default: out += "<<< "; break;  // a here-document's text
    }
    out += quoted_word(r.target) + " ";
  }
  return out;
}

// True (and noted) when `ctx` is past the depth followed.
bool Follower::too_deep(const Context& ctx) {
  if (ctx.depth <= facts_.max_depth) return false;
  problem(ctx, "code nested more than " + std::to_string(facts_.max_depth) +
                   " levels deep");
  return true;
}

// Notes what could not be followed, with how it was reached; the first
// few are kept.
void Follower::problem(const Context& ctx, const std::string& what) {
  if (out_.problems.size() >= 8) return;
  out_.problems.push_back(ctx.via.empty() ? what : ctx.via + ": " + what);
}

void Follower::unseen(const Context& ctx, const std::string& what) {
  if (ctx.remote || out_.unseen.size() >= 8) return;
  out_.unseen.push_back(ctx.via.empty() ? what : ctx.via + ": " + what);
}

// `ctx` one level deeper, reached through `how`.
Follower::Context Follower::nested(const Context& ctx, std::string_view how) {
  Context c = ctx;
  ++c.depth;
  if (!c.via.empty()) c.via += ", ";
  c.via += how;
  return c;
}

// What reaches the standard input of command `i`: a here-document or
// here-string, or a redirected process substitution.
const Word* Follower::stdin_word(const shell::Command& cmd) const {
  const Word* in = nullptr;
  for (const shell::Redirect& r : cmd.redirects) {
    if (r.fd > 0) continue;
    if (r.kind == shell::RedirectKind::kHereDoc ||
        r.kind == shell::RedirectKind::kHereString ||
        r.kind == shell::RedirectKind::kInput) {
      in = &r.target;
    }
  }
  return in;
}

// Adds `argv` as a command run in `ctx`, with the fields of `extra`.
void Follower::push(std::vector<Word> argv, Context ctx,
                    const shell::Command* source, RunCommand&& extra) {
  if (out_.commands.size() >= 4096) return;
  // Built in place: a RunCommand is large, and moving it twice per
  // command showed in every decision.
  RunCommand& rc = out_.commands.emplace_back(std::move(extra));
  if (rc.program.empty() && !argv.empty()) rc.program = program_name(argv[0]);
  rc.argv = std::move(argv);
  rc.cwd = std::move(ctx.cwd);
  rc.source = source;
  rc.elevated = ctx.elevated;
  rc.remote = ctx.remote;
  rc.container = ctx.container;
  rc.depth = ctx.depth;
  rc.via = std::move(ctx.via);
}

// Skips the options of a wrapper: `with_arg` lists the short options that
// take a value; long options with a value use "=" unless listed too.
std::size_t Follower::skip_options(
    const std::vector<Word>& argv, std::size_t k, std::string_view with_arg,
    std::initializer_list<std::string_view> long_with_arg) {
  while (k < argv.size() && is_option(argv[k])) {
    const std::string& o = argv[k].text;
    if (o == "--") return k + 1;
    ++k;
    if (o.starts_with("--")) {
      if (o.find('=') == std::string::npos && has(long_with_arg, o)) ++k;
      continue;
    }
    // A cluster like -iu: the last option letter may take the next word.
    char last = o.back();
    if (with_arg.find(last) != std::string_view::npos && o.size() == 2) {
      ++k;
    }
  }
  return k;
}

std::string Follower::located_program(const Word& w,
                                      const shell::Analysis& a) {
  // Nothing but the lookup's output: $(which rm), `command -v rm`.
  if (w.text.size() != 1 || w.substitutions.size() != 1) return {};
  const shell::Command* lookup = nullptr;
  for (const shell::Command& c : a.commands) {
    if (c.group != w.substitutions.front()) continue;
    if (lookup != nullptr) return {};  // more than one command
    lookup = &c;
  }
  if (lookup == nullptr) return {};
  const std::vector<Word>& v = lookup->argv;
  bool which = v.size() == 2 && v[0].text == "which";
  bool command_v =
      v.size() == 3 && ((v[0].text == "command" && v[1].text == "-v") ||
                        (v[0].text == "type" &&
                         (v[1].text == "-P" || v[1].text == "-p")));
  if (!which && !command_v) return {};
  return program_name(v.back());
}

}  // namespace commands

std::string program_name(const shell::Word& word) {
  if (word.text.empty()) return {};
  std::string_view t = word.text;
  while (t.size() > 1 && t.back() == '/') t.remove_suffix(1);
  std::size_t slash = t.rfind('/');
  std::string name(slash == std::string_view::npos ? t : t.substr(slash + 1));
  // $PREFIX/bin/git runs a program named git, wherever it is; only a
  // name with an unknown part of its own is unknown.
  if (word.unknown &&
      (slash == std::string_view::npos ||
       name.find(shell::kUnknown) != std::string::npos || name.empty())) {
    return {};
  }
  // C:\Program Files\Git\bin\git.exe: Git Bash and MSYS shells run
  // Windows paths, backslashes and all.
  bool exe = name.size() > 4 &&
             text::ascii_iequals(std::string_view(name).substr(name.size() - 4), ".exe");
  std::size_t backslash = name.rfind('\\');
  if (backslash != std::string::npos &&
      (exe || (t.size() > 2 && t[1] == ':' && t[2] == '\\'))) {
    name.erase(0, backslash + 1);
  }
  // RM or GIT runs rm or git where the file system ignores case (macOS).
  // GET, HEAD and POST are the download tool's own names.
  bool capitals =
      name.size() > 1 && std::none_of(name.begin(), name.end(), [](char c) {
        return c >= 'a' && c <= 'z';
      });
  if (capitals && name != "GET" && name != "HEAD" && name != "POST") {
    name = text::ascii_lowercase(name);
  }
  // git.exe and its kin: Windows programs, which WSL runs from Linux.
  if (exe) name.resize(name.size() - 4);
  // gi[t] or /bin/r?: a pattern the shell expands to a file's name, which
  // then runs from PATH. The programs the checks look at are tried, the
  // most harmful first, and the first the pattern can name is taken.
  if (word.glob && name.find_first_of("*?[") != std::string::npos) {
    static const std::vector<std::string> kCandidates = [] {
      std::vector<std::string> out;
      for (std::string_view list :
           {kCommandPrograms, kDiskPrograms, kPermissionPrograms,
            kDatabasePrograms, kContainerPrograms, kClusterPrograms,
            kCloudPrograms}) {
        std::size_t from = 0;
        while (from < list.size()) {
          std::size_t end = list.find(' ', from);
          if (end == std::string_view::npos) end = list.size();
          if (end > from) out.emplace_back(list.substr(from, end - from));
          from = end + 1;
        }
      }
      return out;
    }();
    for (const std::string& candidate : kCandidates) {
      if (::fnmatch(name.c_str(), candidate.c_str(), 0) == 0) return candidate;
    }
  }
  return name;
}

bool is_shell_program(std::string_view p) {
  return (commands::program_traits(p) & commands::kShell) != 0;
}

GitCall read_git_call(
    const std::vector<shell::Word>& argv,
    const std::vector<std::pair<std::string, shell::Word>>* assignments) {
  GitCall call;
  auto setting = [&call](std::string_view kv) {
    std::size_t eq = kv.find('=');
    if (eq != std::string_view::npos) {
      call.settings.emplace_back(kv.substr(0, eq), kv.substr(eq + 1));
    }
  };
  if (assignments != nullptr && !assignments->empty()) {
    auto value_of = [assignments](std::string_view name) -> const shell::Word* {
      for (const auto& [n, w] : *assignments) {
        if (n == name && !w.unknown) return &w;
      }
      return nullptr;
    };
    if (const shell::Word* count = value_of("GIT_CONFIG_COUNT")) {
      std::optional<std::uint64_t> n =
          text::parse_decimal(count->text, 64, text::AboveLimit::kClamp);
      for (std::uint64_t i = 0; n && i < *n; ++i) {
        const shell::Word* key = value_of("GIT_CONFIG_KEY_" + std::to_string(i));
        const shell::Word* value = value_of("GIT_CONFIG_VALUE_" + std::to_string(i));
        if (key != nullptr && value != nullptr) {
          call.settings.emplace_back(key->text, value->text);
        }
      }
    }
    if (const shell::Word* params = value_of("GIT_CONFIG_PARAMETERS")) {
      // Each setting single-quoted, separated by blanks.
      std::string_view t = params->text;
      for (std::size_t open = t.find('\''); open != std::string_view::npos;) {
        std::size_t close = t.find('\'', open + 1);
        if (close == std::string_view::npos) break;
        setting(t.substr(open + 1, close - open - 1));
        open = t.find('\'', close + 1);
      }
    }
  }
  // The options before the subcommand; these take the next word.
  std::size_t k = 1;
  while (k < argv.size() && argv[k].text.starts_with('-')) {
    std::string_view t = argv[k].text;
    if (t.starts_with("-c") && t.size() > 2) {
      setting(t.substr(2));  // -cNAME=VALUE, one word
    } else if (t == "-c" || t == "-C" || t == "--git-dir" ||
               t == "--work-tree" || t == "--namespace" ||
               t == "--exec-path" || t == "--config-env") {
      if (t == "-c" && k + 1 < argv.size()) setting(argv[k + 1].text);
      ++k;
    }
    ++k;
  }
  call.subcommand = std::min(k, argv.size());
  return call;
}

bool is_download_program(std::string_view p) {
  return (commands::program_traits(p) & commands::kDownload) != 0;
}

CommandSet follow(std::string_view text, const FollowFacts& facts) {
  CommandSet out;
  commands::Follower follower(facts, out, text.size());
  commands::Follower::Context ctx;
  ctx.cwd = facts.cwd;
  follower.follow_text(text, ctx);
  return out;
}

}  // namespace twk::core
