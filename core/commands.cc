// Following a command line to the commands it runs.
#include "commands.h"

#include <algorithm>
#include <array>
#include <cctype>
#include <unordered_set>

namespace twk::core {
namespace {

using shell::Word;

Word word_of(std::string text) {
  Word w;
  w.text = std::move(text);
  w.unknown = w.text.find(shell::kUnknown) != std::string::npos;
  return w;
}

bool has(std::initializer_list<std::string_view> list, std::string_view s) {
  return std::find(list.begin(), list.end(), s) != list.end();
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

enum class Language {
  kNone,
  kPython,
  kNode,
  kPerl,
  kRuby,
  kPhp,
  kAwk,
  kAppleScript
};

Language language_of(std::string_view p) {
  if (p.starts_with("python") || p == "pypy" || p == "pypy3") {
    return Language::kPython;
  }
  if (p == "node" || p == "nodejs" || p == "deno" || p == "bun") {
    return Language::kNode;
  }
  if (p == "perl" || p.starts_with("perl5")) return Language::kPerl;
  if (p == "ruby" || p == "jruby") return Language::kRuby;
  if (p == "php" || p.starts_with("php")) return Language::kPhp;
  if (p == "awk" || p == "gawk" || p == "mawk" || p == "nawk") {
    return Language::kAwk;
  }
  if (p == "osascript") return Language::kAppleScript;
  return Language::kNone;
}

// String literals of interpreter code, in order.
std::vector<std::string> code_literals(std::string_view code) {
  std::vector<std::string> out;
  for (std::size_t i = 0; i < code.size(); ++i) {
    char q = code[i];
    if (q != '\'' && q != '"' && q != '`') continue;
    std::string lit;
    std::size_t j = i + 1;
    for (; j < code.size() && code[j] != q; ++j) {
      if (code[j] == '\\' && j + 1 < code.size()) {
        char n = code[++j];
        lit += n == 'n' ? '\n' : n == 't' ? '\t' : n;
      } else {
        lit += code[j];
      }
    }
    if (j >= code.size()) break;
    out.push_back(std::move(lit));
    i = j;
  }
  return out;
}

// The text of a call's arguments starting at `at`: a balanced (...) when
// one follows, else the rest of the statement.
std::string_view call_span(std::string_view code, std::size_t at) {
  // A call's arguments are short; an unclosed parenthesis must not make
  // every call read to the end of the code.
  code = code.substr(0, std::min(code.size(), at + 4096));
  std::size_t i = at;
  while (i < code.size() && (code[i] == ' ' || code[i] == '\t')) ++i;
  if (i < code.size() && (code[i] == '(' || code[i] == '{')) {
    char open = code[i], close = open == '(' ? ')' : '}';
    int level = 0;
    char quote = 0;
    for (std::size_t j = i; j < code.size(); ++j) {
      char c = code[j];
      if (quote) {
        if (c == '\\') {
          ++j;
        } else if (c == quote) {
          quote = 0;
        }
        continue;
      }
      if (c == '\'' || c == '"' || c == '`') {
        quote = c;
      } else if (c == open) {
        ++level;
      } else if (c == close && --level == 0) {
        return code.substr(i, j + 1 - i);
      }
    }
    return code.substr(i);
  }
  std::size_t end = code.find_first_of(";\n}", i);
  return code.substr(i, end == std::string_view::npos ? end : end - i);
}

// Calls that run their arguments as a command.
constexpr std::array<std::string_view, 24> kExecCalls = {
    "os.system",  "os.popen",  "subprocess.",  "os.exec",   "os.spawn",
    "commands.",  "pty.spawn", "system",       "exec",      "spawn",
    "shell_exec", "passthru",  "popen",        "proc_open", "%x",
    "qx",         "Open3.",    "IO.popen",     "Deno.run",  "Bun.spawn",
    "Command(",   "getoutput", "check_output", "Popen"};

// Calls that delete a tree.
constexpr std::array<std::string_view, 9> kDeleteCalls = {
    "rmtree",    "rm_rf",  "rm_r",   "remove_tree", "rmSync",
    "rmdirSync", "fs.rm(", "rimraf", "FileUtils.rm"};

bool word_boundary_before(std::string_view code, std::size_t at) {
  if (at == 0) return true;
  char c = code[at - 1];
  return !(c == '_' || (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') ||
           (c >= '0' && c <= '9'));
}

// Programs that run the command given in their arguments.
bool is_wrapper(std::string_view p) {
  static const std::unordered_set<std::string_view> kWrappers = {
      "sudo",        "doas",         "env",        "command",
      "builtin",     "exec",         "nohup",      "setsid",
      "nocache",     "unbuffer",     "caffeinate", "torsocks",
      "proxychains", "proxychains4", "fakeroot",   "dbus-run-session",
      "xvfb-run",    "catchsegv",    "then",       "do",
      "else",        "time",         "nice",       "ionice",
      "chrt",        "taskset",      "stdbuf",     "timeout",
      "gtimeout",    "chroot",       "strace",     "ltrace",
      "flock",       "runuser",      "su",         "busybox",
      "toybox",      "watch"};
  return kWrappers.count(p) > 0;
}

// Programs whose arguments or input carry more commands or code.
bool carries_code(std::string_view p) {
  static const std::unordered_set<std::string_view> kCarriers = {
      "xargs",
      "parallel",
      "find",
      "eval",
      "source",
      ".",
      "ssh",
      "trap",
      "script",
      "docker",
      "podman",
      "kubectl",
      "oc",
      "fd",
      "fdfind",
      "psql",
      "mysql",
      "mariadb",
      "sqlite3",
      "redis-cli",
      "mongosh",
      "mongo",
      "clickhouse-client"};
  return kCarriers.count(p) > 0 || is_shell_program(p) ||
         language_of(p) != Language::kNone;
}

class Follower {
 public:
  Follower(const FollowFacts& facts, CommandSet& out)
      : facts_(facts), out_(out) {}

  struct Context {
    std::string cwd;
    bool elevated = false;
    bool remote = false;
    bool container = false;
    int depth = 0;
    std::string via;
  };

  void follow_text(std::string_view text, const Context& ctx,
                   const std::vector<std::string>& positional = {}) {
    if (too_deep(ctx)) return;
    if (++analyses_ > 256) {
      if (analyses_ == 257) problem(ctx, "too much nested code");
      return;
    }
    shell::Environment env;
    env.cwd = ctx.cwd;
    if (!ctx.remote) {
      if (!facts_.home.empty()) env.variables["HOME"] = facts_.home;
      env.variables["TMPDIR"] = facts_.tmpdir;
    }
    for (std::size_t k = 0; k < positional.size(); ++k) {
      env.variables[std::to_string(k)] = positional[k];
    }
    out_.analyses.push_back(shell::analyze(text, env));
    const shell::Analysis& a = out_.analyses.back();
    for (const std::string& p : a.problems) problem(ctx, p);
    // A function's body runs only if something calls the function.
    std::unordered_set<std::string_view> called;
    for (const shell::Command& cmd : a.commands) {
      if (!cmd.function.empty()) {
        for (const shell::Command& other : a.commands) {
          if (!other.argv.empty() && !other.argv[0].unknown) {
            called.insert(other.argv[0].text);
          }
        }
        break;
      }
    }
    Context c = ctx;
    for (std::size_t i = 0; i < a.commands.size(); ++i) {
      const shell::Command& cmd = a.commands[i];
      if (!cmd.function.empty() && called.count(cmd.function) == 0) continue;
      c.cwd = cmd.cwd;
      if (cmd.argv.empty()) {
        // Redirections alone (> file) still write.
        if (!cmd.redirects.empty()) push({}, c, &cmd);
        continue;
      }
      follow_command(cmd.argv, 0, c, a, i);
    }
  }

 private:
  // True (and noted) when `ctx` is past the depth followed.
  bool too_deep(const Context& ctx) {
    if (ctx.depth <= facts_.max_depth) return false;
    problem(ctx, "code nested more than " + std::to_string(facts_.max_depth) +
                     " levels deep");
    return true;
  }

  void problem(const Context& ctx, const std::string& what) {
    if (out_.problems.size() >= 8) return;
    out_.problems.push_back(ctx.via.empty() ? what : ctx.via + ": " + what);
  }

  static Context nested(const Context& ctx, std::string_view how) {
    Context c = ctx;
    ++c.depth;
    if (!c.via.empty()) c.via += ", ";
    c.via += how;
    return c;
  }

  // The download program among the commands of substitution `group`.
  std::string download_in_group(const shell::Analysis& a, int group) const {
    for (const shell::Command& c : a.commands) {
      if (c.group != group) continue;
      std::string d = download_of(c.argv);
      if (!d.empty()) return d;
    }
    return {};
  }
  std::string download_in_word(const shell::Analysis& a, const Word& w) const {
    for (int g : w.substitutions) {
      std::string d = download_in_group(a, g);
      if (!d.empty()) return d;
    }
    return {};
  }
  // The download program that feeds command `i` through its pipeline.
  std::string download_feeding(const shell::Analysis& a, std::size_t i) const {
    const shell::Command& cmd = a.commands[i];
    if (!(cmd.place & shell::kInPipeline) || cmd.stage == 0) return {};
    for (std::size_t k = i, steps = 0; k-- > 0 && steps < 256; ++steps) {
      const shell::Command& c = a.commands[k];
      if (c.pipeline != cmd.pipeline || c.group != cmd.group) continue;
      if (c.stage >= cmd.stage) continue;
      std::string d = download_of(c.argv);
      if (!d.empty()) return d;
      if (c.stage == 0) break;
    }
    return {};
  }
  // A download program that `argv` runs, looking past simple wrappers.
  static std::string download_of(const std::vector<Word>& argv) {
    for (const Word& w : argv) {
      if (is_option(w) || is_assignment(w)) continue;
      std::string p = program_name(w);
      if (is_download_program(p)) return p;
      if (!has({"sudo", "doas", "env", "command", "nohup", "time", "nice",
                "timeout", "stdbuf", "exec", "torsocks", "proxychains",
                "proxychains4"},
               p)) {
        return {};
      }
    }
    return {};
  }

  // What reaches the standard input of command `i`: a here-document or
  // here-string, or a redirected process substitution.
  const Word* stdin_word(const shell::Command& cmd) const {
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

  void push(std::vector<Word> argv, const Context& ctx,
            const shell::Command* source, RunCommand&& extra = {}) {
    if (out_.commands.size() >= 4096) return;
    RunCommand rc = std::move(extra);
    rc.program = argv.empty() ? std::string() : program_name(argv[0]);
    rc.argv = std::move(argv);
    rc.cwd = ctx.cwd;
    rc.source = source;
    rc.elevated = ctx.elevated;
    rc.remote = ctx.remote;
    rc.container = ctx.container;
    rc.depth = ctx.depth;
    rc.via = ctx.via;
    out_.commands.push_back(std::move(rc));
  }

  // Skips the options of a wrapper: `with_arg` lists the short options that
  // take a value; long options with a value use "=" unless listed too.
  static std::size_t skip_options(
      const std::vector<Word>& argv, std::size_t k, std::string_view with_arg,
      std::initializer_list<std::string_view> long_with_arg = {}) {
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

  void follow_command(std::vector<Word> argv, std::size_t k, Context ctx,
                      const shell::Analysis& a, std::size_t i) {
    // Every command is followed once, and each level of carried code
    // (xargs, find -exec, parallel, bash -c) counts against the depth; the
    // budget also bounds fan-out, as xargs -I inside xargs -I would be.
    if (too_deep(ctx)) return;
    if (++followed_ > 8192) {
      if (followed_ == 8193) problem(ctx, "too many commands to follow");
      return;
    }
    const shell::Command* source = &a.commands[i];
    for (int guard = 0; guard < 32 && k < argv.size(); ++guard) {
      std::string p = program_name(argv[k]);
      if (!is_wrapper(p)) break;
      if (p == "sudo" || p == "doas") {
        ctx.elevated = true;
        std::size_t j = k + 1;
        bool shell_login = false;
        while (j < argv.size() && is_option(argv[j])) {
          const std::string& o = argv[j].text;
          if (o == "--") {
            ++j;
            break;
          }
          if (o == "-s" || o == "-i" || o == "--shell" || o == "--login") {
            shell_login = true;
          }
          ++j;
          if (o.size() == 2 && std::string_view("ugCDhprtUT").find(o[1]) !=
                                   std::string_view::npos) {
            ++j;
          } else if (o.starts_with("--") && o.find('=') == std::string::npos &&
                     has({"--user", "--group", "--chdir", "--host", "--prompt",
                          "--role", "--type", "--close-from", "--other-user",
                          "--command-timeout"},
                         o)) {
            ++j;
          }
        }
        while (j < argv.size() && is_assignment(argv[j])) ++j;
        if (shell_login && j < argv.size()) {
          // sudo -s CMD runs CMD through the user's shell.
          follow_text(join_words(argv, j), nested(ctx, p + " -s"));
          return;
        }
        k = j;
        continue;
      }
      if (p == "env") {
        std::size_t j = k + 1;
        while (j < argv.size()) {
          const Word& w = argv[j];
          if (is_assignment(w) || w.text == "-") {
            ++j;  // "-" is -i
          } else if (is_option(w)) {
            const std::string& o = w.text;
            if (o == "--") {
              ++j;
              break;
            }
            if (o == "-S" || o == "--split-string") {
              // env -S 'args': the string is split into words that env
              // then reads as if they were given one by one.
              if (j + 1 < argv.size()) {
                std::vector<Word> again{word_of("env")};
                for (std::string& part :
                     shell::split_fields(argv[j + 1].text)) {
                  again.push_back(word_of(std::move(part)));
                }
                if (j + 2 < argv.size()) {
                  again.insert(again.end(),
                               argv.begin() + static_cast<long>(j + 2),
                               argv.end());
                }
                follow_command(std::move(again), 0, nested(ctx, "env -S"), a,
                               i);
              }
              return;
            }
            if (o == "-P" || o == "--default-signal" ||
                o == "--ignore-signal" || o == "--block-signal") {
              j += o == "-P" ? 2 : 1;
              continue;
            }
            if (o == "-C" || o == "--chdir") {
              if (j + 1 < argv.size()) {
                ctx.cwd = argv[j + 1].unknown
                              ? std::string()
                              : shell::resolve_path(ctx.cwd, argv[j + 1].text);
              }
              j += 2;
            } else if (o == "-u" || o == "--unset") {
              j += 2;
            } else {
              ++j;
            }
          } else {
            break;
          }
        }
        k = j;
        continue;
      }
      if (p == "command" || p == "builtin") {
        std::size_t j = k + 1;
        while (j < argv.size() && is_option(argv[j])) {
          if (argv[j].text == "-v" || argv[j].text == "-V") return;
          ++j;
        }
        k = j;
        continue;
      }
      if (p == "exec") {
        k = skip_options(argv, k + 1, "a");
        continue;
      }
      if (has({"nohup", "setsid", "nocache", "unbuffer", "caffeinate",
               "torsocks", "proxychains", "proxychains4", "fakeroot",
               "dbus-run-session", "xvfb-run", "catchsegv", "then", "do",
               "else"},
              p)) {
        k = skip_options(argv, k + 1, "");
        continue;
      }
      if (p == "time") {
        k = skip_options(argv, k + 1, "fo", {"--format", "--output"});
        continue;
      }
      if (p == "nice") {
        std::size_t j = k + 1;
        while (j < argv.size() && is_option(argv[j])) {
          const std::string& o = argv[j].text;
          ++j;
          if (o == "-n") ++j;
          if (o == "--") break;
        }
        k = j;
        continue;
      }
      if (p == "ionice") {
        k = skip_options(argv, k + 1, "cnpP",
                         {"--class", "--classdata", "--pid", "--pgid"});
        continue;
      }
      if (p == "chrt") {
        std::size_t j = skip_options(argv, k + 1, "");
        if (j < argv.size()) ++j;  // priority
        k = j;
        continue;
      }
      if (p == "taskset") {
        std::size_t j = skip_options(argv, k + 1, "");
        if (j < argv.size()) ++j;  // mask
        k = j;
        continue;
      }
      if (p == "stdbuf") {
        k = skip_options(argv, k + 1, "ioe",
                         {"--input", "--output", "--error"});
        continue;
      }
      if (p == "timeout" || p == "gtimeout") {
        std::size_t j =
            skip_options(argv, k + 1, "sk", {"--signal", "--kill-after"});
        if (j < argv.size()) ++j;  // the duration
        k = j;
        continue;
      }
      if (p == "chroot") {
        std::size_t j =
            skip_options(argv, k + 1, "", {"--userspec", "--groups"});
        if (j < argv.size()) ++j;  // the new root
        ctx.cwd.clear();
        k = j;
        continue;
      }
      if (p == "strace" || p == "ltrace") {
        k = skip_options(argv, k + 1, "eoOpPsSuUbIX");
        continue;
      }
      if (p == "flock") {
        std::size_t j = skip_options(argv, k + 1, "wEc",
                                     {"--timeout", "--conflict-exit-code"});
        for (std::size_t m = k + 1; m + 1 < argv.size(); ++m) {
          if (argv[m].text == "-c" || argv[m].text == "--command") {
            follow_text(argv[m + 1].text, nested(ctx, "flock -c"));
            return;
          }
        }
        if (j < argv.size()) ++j;  // the lock file
        k = j;
        continue;
      }
      if (p == "runuser" || p == "su") {
        ctx.elevated = true;
        for (std::size_t m = k + 1; m + 1 < argv.size(); ++m) {
          if (argv[m].text == "-c" || argv[m].text == "--command") {
            follow_text(argv[m + 1].text, nested(ctx, p + " -c"));
            return;
          }
        }
        if (p == "su") return;  // a login shell
        k = skip_options(argv, k + 1, "ugl", {"--user", "--group"});
        continue;
      }
      if (p == "busybox" || p == "toybox") {
        ++k;
        continue;
      }
      if (p == "watch") {
        std::size_t j = skip_options(argv, k + 1, "nqs",
                                     {"--interval", "--equexit", "--chgexit"});
        if (j < argv.size()) {
          follow_text(join_words(argv, j), nested(ctx, "watch"));
        }
        return;
      }
      break;
    }
    if (k >= argv.size()) return;
    if (k > 0) argv.erase(argv.begin(), argv.begin() + static_cast<long>(k));
    std::string p = program_name(argv[0]);
    if (p.empty() && argv.size() > 2 && argv[1].text == "-c" &&
        !argv[2].unknown) {
      // $SHELL -c TEXT: a program Core can't name, given shell text.
      follow_text(argv[2].text, nested(ctx, "-c"));
    }
    if (is_download_program(p)) note_download(argv, ctx, *source);
    if (!carries_code(p)) {
      RunCommand extra;
      // ./install.sh after curl -o install.sh runs the download.
      if (argv[0].text.find('/') != std::string::npos) {
        extra.runs_download = downloaded_file(argv[0], ctx);
      }
      push(std::move(argv), ctx, source, std::move(extra));
      return;
    }

    if (p == "xargs") {
      follow_xargs(std::move(argv), ctx, a, i);
      return;
    }
    if (p == "parallel") {
      follow_parallel(std::move(argv), ctx, a, i);
      return;
    }

    RunCommand extra;
    if (p == "find") {
      follow_find(argv, ctx, a, i);
    } else if (is_shell_program(p)) {
      extra.runs_download = follow_shell(argv, ctx, a, i);
    } else if (p == "eval") {
      std::string d;
      for (std::size_t m = 1; m < argv.size() && d.empty(); ++m) {
        d = download_in_word(a, argv[m]);
      }
      extra.runs_download = d;
      follow_text(join_words(argv, 1), nested(ctx, "eval"));
    } else if (p == "source" || p == ".") {
      if (argv.size() > 1) extra.runs_download = download_in_word(a, argv[1]);
      if (extra.runs_download.empty() && argv.size() == 1) {
        extra.runs_download = download_feeding(a, i);
      }
    } else if (p == "ssh") {
      follow_ssh(argv, ctx);
    } else if (p == "trap") {
      // trap 'cmd' EXIT: the text runs when the shell gets the signal.
      if (argv.size() > 2 && !argv[1].text.starts_with('-')) {
        follow_text(argv[1].text, nested(ctx, "trap"));
      }
    } else if (p == "script") {
      for (std::size_t m = 1; m + 1 < argv.size(); ++m) {
        const std::string& o = argv[m].text;
        if (o == "-c" || o == "--command" ||
            (o.size() > 1 && o[0] == '-' && o[1] != '-' && o.back() == 'c')) {
          follow_text(argv[m + 1].text, nested(ctx, "script -c"));
          break;
        }
      }
    } else if (p == "docker" || p == "podman" || p == "kubectl" || p == "oc") {
      follow_container(argv, ctx, a, i);
    } else if (p == "fd" || p == "fdfind") {
      follow_fd(argv, ctx, a, i);
    } else if (has({"psql", "mysql", "mariadb", "sqlite3", "redis-cli",
                    "mongosh", "mongo", "clickhouse-client"},
                   p)) {
      if (const Word* in = stdin_word(a.commands[i]);
          in != nullptr && !in->unknown &&
          std::any_of(
              a.commands[i].redirects.begin(), a.commands[i].redirects.end(),
              [&](const shell::Redirect& r) {
                return &r.target == in && r.kind != shell::RedirectKind::kInput;
              })) {
        extra.stdin_text = in->text;
      } else {
        extra.stdin_text = shell::piped_input(a, i);
      }
    } else if (Language lang = language_of(p); lang != Language::kNone) {
      extra.runs_download = follow_interpreter(argv, lang, ctx, a, i);
    }
    push(std::move(argv), ctx, source, std::move(extra));
  }

  // bash/sh/... : the script of -c, a script file, or standard input.
  // Returns the download the shell runs, if any.
  std::string follow_shell(const std::vector<Word>& argv, const Context& ctx,
                           const shell::Analysis& a, std::size_t i) {
    const std::string p = program_name(argv[0]);
    bool has_c = false;
    bool has_s = false;  // the script comes on standard input
    std::size_t j = 1;
    for (; j < argv.size(); ++j) {
      const Word& w = argv[j];
      if (w.text == "-") {
        has_s = true;
        break;
      }
      if (w.unknown || w.text.size() < 2 ||
          (w.text[0] != '-' && w.text[0] != '+')) {
        break;
      }
      if (w.text == "--") {
        ++j;
        break;
      }
      if (w.text[0] == '-' && w.text[1] != '-' &&
          w.text.find('s') != std::string::npos) {
        has_s = true;
      }
      if (w.text[0] == '-' && w.text[1] != '-' && w.text.back() != 'o' &&
          w.text.find('n') != std::string::npos) {
        return {};  // -n: read the script, run nothing
      }
      if (w.text[1] == '-') {
        if (has({"--rcfile", "--init-file"}, w.text)) ++j;
        continue;
      }
      if (w.text.find('c') != std::string::npos && w.text[0] == '-') {
        has_c = true;
      }
      if (w.text.back() == 'o' || w.text.back() == 'O') ++j;
    }
    if (has_c) {
      if (j >= argv.size()) return {};
      std::vector<std::string> positional;
      for (std::size_t m = j + 1; m < argv.size(); ++m) {
        if (argv[m].unknown) break;
        positional.push_back(argv[m].text);
      }
      follow_text(argv[j].text, nested(ctx, p + " -c"), positional);
      return download_in_word(a, argv[j]);
    }
    if (j < argv.size() && !has_s) {
      // A script file: its text is not known, unless it is a download.
      std::string d = download_in_word(a, argv[j]);
      return d.empty() ? downloaded_file(argv[j], ctx) : d;
    }
    return follow_stdin(a, i, ctx, p);
  }

  // Code a shell reads from standard input.
  std::string follow_stdin(const shell::Analysis& a, std::size_t i,
                           const Context& ctx, const std::string& p) {
    const shell::Command& cmd = a.commands[i];
    if (const Word* in = stdin_word(cmd)) {
      std::string d = download_in_word(a, *in);
      if (!d.empty()) return d;
      bool doc = false;
      for (const shell::Redirect& r : cmd.redirects) {
        doc = doc || (&r.target == in && r.kind != shell::RedirectKind::kInput);
      }
      if (doc) follow_text(in->text, nested(ctx, p + " <<"));
      return {};
    }
    std::string d = download_feeding(a, i);
    if (!d.empty()) return d;
    if (std::optional<std::string> text = shell::piped_input(a, i)) {
      follow_text(*text, nested(ctx, "| " + p));
    }
    return {};
  }

  // docker exec/run and kubectl exec: the command runs in a container,
  // where this machine's paths and home mean nothing.
  void follow_container(const std::vector<Word>& argv, const Context& ctx,
                        const shell::Analysis& a, std::size_t i) {
    const std::string p = program_name(argv[0]);
    std::size_t j = 1;
    // Global options with a value.
    while (j < argv.size() && is_option(argv[j])) {
      const std::string& o = argv[j].text;
      ++j;
      if (o.find('=') == std::string::npos &&
          has({"-H", "--host", "--context", "-c", "--config", "-n",
               "--namespace", "--kubeconfig", "--cluster", "--user", "-s",
               "--server", "-l", "--log-level"},
              o)) {
        ++j;
      }
    }
    if (j >= argv.size()) return;
    std::string sub = argv[j].text;
    if (sub == "container" && j + 1 < argv.size()) sub = argv[++j].text;
    if (sub == "compose" && j + 1 < argv.size()) {
      sub = argv[++j].text;
      if (sub != "exec" && sub != "run") return;
      ++j;  // the service, after options below
    } else if (sub != "exec" && sub != "run") {
      return;
    } else {
      ++j;
    }
    std::size_t start = j;
    if (p == "kubectl" || p == "oc") {
      // kubectl exec POD [-c C] -- CMD ...
      for (std::size_t m = j; m < argv.size(); ++m) {
        if (argv[m].text == "--") {
          start = m + 1;
          break;
        }
        start = argv.size();
      }
    } else {
      // docker exec [OPTIONS] CONTAINER CMD...: options with a value.
      while (start < argv.size() && is_option(argv[start])) {
        const std::string& o = argv[start].text;
        ++start;
        if (o.find('=') == std::string::npos &&
            has({"-e",        "--env",        "-u",           "--user",
                 "-w",        "--workdir",    "-v",           "--volume",
                 "--name",    "--network",    "--entrypoint", "--env-file",
                 "-p",        "--publish",    "--mount",      "-l",
                 "--label",   "--platform",   "--pull",       "--hostname",
                 "-h",        "--cpus",       "-m",           "--memory",
                 "--restart", "--detach-keys"},
                o)) {
          ++start;
        }
      }
      ++start;  // the container or image (or the compose service)
    }
    if (start >= argv.size()) return;
    Context c = nested(ctx, p + " " + sub);
    c.remote = true;
    c.container = true;
    c.cwd.clear();
    std::vector<Word> inner(argv.begin() + static_cast<long>(start),
                            argv.end());
    follow_command(std::move(inner), 0, c, a, i);
  }

  // fd PATTERN [PATH...] -x/-X CMD: like find -exec.
  void follow_fd(const std::vector<Word>& argv, const Context& ctx,
                 const shell::Analysis& a, std::size_t i) {
    std::vector<Word> positional;
    std::size_t m = 1;
    for (; m < argv.size(); ++m) {
      const std::string& t = argv[m].text;
      if (t == "-x" || t == "--exec" || t == "-X" || t == "--exec-batch") {
        break;
      }
      if (is_option(argv[m])) {
        if (t.find('=') == std::string::npos && has({"-t",
                                                     "--type",
                                                     "-e",
                                                     "--extension",
                                                     "-E",
                                                     "--exclude",
                                                     "-d",
                                                     "--max-depth",
                                                     "--min-depth",
                                                     "-S",
                                                     "--size",
                                                     "--changed-within",
                                                     "--changed-before",
                                                     "-o",
                                                     "--owner",
                                                     "-j",
                                                     "--threads",
                                                     "--base-directory",
                                                     "--search-path",
                                                     "-c",
                                                     "--color"},
                                                    t)) {
          ++m;
        }
        continue;
      }
      positional.push_back(argv[m]);
    }
    if (m >= argv.size()) return;
    std::vector<Word> cmd(argv.begin() + static_cast<long>(m + 1), argv.end());
    if (cmd.empty()) return;
    bool placed = false;
    for (const Word& w : cmd) {
      placed = placed || w.text.find('{') != std::string::npos;
    }
    if (!placed) cmd.push_back(word_of("{}"));
    for (Word& w : cmd) {
      // {/}, {//}, {.}, {/.}: parts of the same path.
      for (std::string_view part : {"{//}", "{/.}", "{/}", "{.}"}) {
        replace_all(w, part, "{}");
      }
    }
    std::vector<Word> roots;
    for (std::size_t k = 1; k < positional.size(); ++k) {
      roots.push_back(positional[k]);
    }
    if (roots.empty()) roots.push_back(word_of("."));
    std::size_t before = out_.commands.size();
    Context c = nested(ctx, "fd -x");
    follow_command(std::move(cmd), 0, c, a, i);
    for (std::size_t n = before; n < out_.commands.size(); ++n) {
      out_.commands[n].placeholder_roots = roots;
    }
  }

  void follow_ssh(const std::vector<Word>& argv, const Context& ctx) {
    std::size_t j = 1;
    while (j < argv.size() && is_option(argv[j])) {
      const std::string& o = argv[j].text;
      ++j;
      if (o == "--") break;
      if (o.size() == 2 &&
          std::string_view("bBcDEeFIiJLlmOoPpQRSWw").find(o[1]) !=
              std::string_view::npos) {
        ++j;
      }
    }
    if (j + 1 >= argv.size()) return;  // a login, no command
    Context c = nested(ctx, "ssh");
    c.remote = true;
    c.cwd.clear();
    follow_text(join_words(argv, j + 1), c);
  }

  void follow_find(const std::vector<Word>& argv, const Context& ctx,
                   const shell::Analysis& a, std::size_t i) {
    std::size_t j = 1;
    while (j < argv.size() &&
           (argv[j].text == "-H" || argv[j].text == "-L" ||
            argv[j].text == "-P" || argv[j].text.starts_with("-O"))) {
      ++j;
    }
    if (j < argv.size() && argv[j].text == "-D") j += 2;
    std::vector<Word> roots;
    while (j < argv.size() && !argv[j].text.starts_with('-') &&
           argv[j].text != "(" && argv[j].text != "!") {
      roots.push_back(argv[j]);
      ++j;
    }
    if (roots.empty()) roots.push_back(word_of("."));
    std::vector<std::string> names;
    for (std::size_t m = j; m + 1 < argv.size(); ++m) {
      if (has({"-name", "-iname", "-path", "-ipath", "-wholename",
               "-iwholename"},
              argv[m].text)) {
        names.push_back(argv[m + 1].text);
      }
    }
    for (std::size_t m = j; m < argv.size(); ++m) {
      if (!has({"-exec", "-execdir", "-ok", "-okdir"}, argv[m].text)) continue;
      std::vector<Word> sub;
      std::size_t e = m + 1;
      for (; e < argv.size(); ++e) {
        const std::string& t = argv[e].text;
        if (t == ";" || (t == "+" && !sub.empty() && sub.back().text == "{}")) {
          break;
        }
        sub.push_back(argv[e]);
      }
      m = e;
      if (sub.empty()) continue;
      std::size_t before = out_.commands.size();
      Context c = nested(ctx, "find -exec");
      follow_command(std::move(sub), 0, c, a, i);
      for (std::size_t n = before; n < out_.commands.size(); ++n) {
        out_.commands[n].placeholder_names = names;
        out_.commands[n].placeholder_roots = roots;
      }
    }
  }

  // The words xargs or parallel feed a command: the known output of the
  // stage before, split, or one unknown word.
  std::vector<std::string> fed_words(const shell::Analysis& a, std::size_t i,
                                     bool lines, bool& known) const {
    std::optional<std::string> text = shell::piped_input(a, i);
    if (!text) {
      if (const Word* in = stdin_word(a.commands[i]);
          in != nullptr && !in->unknown &&
          std::any_of(
              a.commands[i].redirects.begin(), a.commands[i].redirects.end(),
              [&](const shell::Redirect& r) {
                return &r.target == in && r.kind != shell::RedirectKind::kInput;
              })) {
        text = in->text;
      }
    }
    known = text.has_value();
    if (!text) return {std::string(1, shell::kUnknown)};
    if (!lines) return shell::split_fields(*text);
    std::vector<std::string> out;
    std::size_t start = 0;
    while (start < text->size()) {
      std::size_t nl = text->find('\n', start);
      if (nl == std::string::npos) nl = text->size();
      if (nl > start) out.push_back(text->substr(start, nl - start));
      start = nl + 1;
    }
    return out;
  }

  static Word fed_word(const std::string& text) {
    Word w = word_of(text);
    w.unknown = text.find(shell::kUnknown) != std::string::npos;
    return w;
  }

  static void replace_all(Word& w, std::string_view from,
                          const std::string& to) {
    if (from.empty()) return;
    std::string out;
    std::size_t pos = 0, hit;
    bool changed = false;
    while ((hit = w.text.find(from, pos)) != std::string::npos) {
      out += w.text.substr(pos, hit - pos);
      out += to;
      pos = hit + from.size();
      changed = true;
    }
    if (!changed) return;
    out += w.text.substr(pos);
    w.text = std::move(out);
    if (to.find(shell::kUnknown) != std::string::npos) w.unknown = true;
  }

  void follow_xargs(std::vector<Word> argv, const Context& ctx,
                    const shell::Analysis& a, std::size_t i) {
    std::size_t j = 1;
    std::string replace;
    bool lines = false;
    bool from_file = false;  // -a FILE: the arguments come from the file
    while (j < argv.size() && is_option(argv[j])) {
      const std::string& o = argv[j].text;
      ++j;
      if (o == "--") break;
      if (o == "-I") {
        if (j < argv.size()) replace = argv[j++].text;
        lines = true;
      } else if (o.starts_with("-I")) {
        replace = o.substr(2);
        lines = true;
      } else if (o == "-i" || o == "--replace") {
        replace = "{}";
        lines = true;
      } else if (o.starts_with("--replace=")) {
        replace = o.substr(10);
        lines = true;
      } else if (o == "-J") {
        if (j < argv.size()) replace = argv[j++].text;
      } else if (o == "-a" || o == "--arg-file" ||
                 o.starts_with("--arg-file=")) {
        if (o == "-a" || o == "--arg-file") ++j;
        from_file = true;
      } else if (o.size() == 2 && std::string_view("nPLsdEe").find(o[1]) !=
                                      std::string_view::npos) {
        ++j;
        if (o == "-L" || o == "-d") lines = true;
      } else if (o == "-0" || o == "--null") {
        lines = true;
      } else if (o.find('=') == std::string::npos &&
                 has({"--delimiter", "--max-args", "--max-procs", "--max-lines",
                      "--eof", "--max-chars", "--process-slot-var"},
                     o)) {
        ++j;
        if (o == "--delimiter") lines = true;
      }
    }
    if (j > argv.size()) j = argv.size();  // an option missing its value
    std::vector<Word> cmd(argv.begin() + static_cast<long>(j), argv.end());
    if (cmd.empty()) cmd.push_back(word_of("echo"));
    bool known = false;
    std::vector<std::string> fed =
        from_file ? std::vector<std::string>{std::string(1, shell::kUnknown)}
                  : fed_words(a, i, lines, known);
    Context c = nested(ctx, "xargs");
    // find ROOT ... | xargs CMD: the paths are what find selects below ROOT.
    std::vector<Word> roots;
    std::vector<std::string> names;
    if (!known && !from_file) find_feeding(a, i, roots, names);
    if (!roots.empty()) fed.assign(1, "{}");
    std::size_t before = out_.commands.size();
    if (!replace.empty()) {
      if (fed.empty()) fed.push_back(std::string(1, shell::kUnknown));
      std::size_t n = std::min<std::size_t>(fed.size(), 8);
      for (std::size_t f = 0; f < n; ++f) {
        std::vector<Word> run = cmd;
        for (Word& w : run) replace_all(w, replace, fed[f]);
        follow_command(std::move(run), 0, c, a, i);
      }
      return;
    }
    for (const std::string& f : fed) cmd.push_back(fed_word(f));
    follow_command(std::move(cmd), 0, c, a, i);
    for (std::size_t n = before; n < out_.commands.size(); ++n) {
      if (roots.empty()) break;
      out_.commands[n].placeholder_roots = roots;
      out_.commands[n].placeholder_names = names;
    }
  }

  // The roots and name tests of a find that feeds command `i` through its
  // pipeline, if one does.
  void find_feeding(const shell::Analysis& a, std::size_t i,
                    std::vector<Word>& roots,
                    std::vector<std::string>& names) const {
    const shell::Command& cmd = a.commands[i];
    if (!(cmd.place & shell::kInPipeline) || cmd.stage == 0) return;
    for (std::size_t k = i, steps = 0; k-- > 0 && steps < 64; ++steps) {
      const shell::Command& c = a.commands[k];
      if (c.pipeline != cmd.pipeline || c.group != cmd.group) continue;
      if (c.stage != cmd.stage - 1) break;
      if (c.argv.empty() || program_name(c.argv[0]) != "find") return;
      std::size_t j = 1;
      while (j < c.argv.size() && !c.argv[j].text.starts_with('-') &&
             c.argv[j].text != "(" && c.argv[j].text != "!") {
        roots.push_back(c.argv[j++]);
      }
      if (roots.empty()) roots.push_back(word_of("."));
      for (std::size_t m = j; m + 1 < c.argv.size(); ++m) {
        if (has({"-name", "-iname"}, c.argv[m].text)) {
          names.push_back(c.argv[m + 1].text);
        }
      }
      return;
    }
  }

  void follow_parallel(std::vector<Word> argv, const Context& ctx,
                       const shell::Analysis& a, std::size_t i) {
    std::size_t j = skip_options(
        argv, 1, "jSPIEn",
        {"--jobs", "--sshlogin", "--delay", "--results", "--joblog", "--tmpdir",
         "--workdir", "--timeout", "--retries", "--colsep", "--load",
         "--memfree", "--basefile", "--return", "--env"});
    std::vector<Word> cmd;
    std::vector<std::string> inputs;
    bool sources = false;
    for (; j < argv.size(); ++j) {
      if (argv[j].text == ":::" || argv[j].text == "::::" ||
          argv[j].text == ":::+") {
        sources = true;
        continue;
      }
      if (sources) {
        inputs.push_back(argv[j].text);
      } else {
        cmd.push_back(argv[j]);
      }
    }
    if (!sources) {
      bool known = false;
      inputs = fed_words(a, i, true, known);
    }
    if (inputs.empty()) inputs.push_back(std::string(1, shell::kUnknown));
    Context c = nested(ctx, "parallel");
    if (cmd.empty()) {
      // No command: each input is a command line of its own.
      for (std::size_t f = 0; f < inputs.size() && f < 8; ++f) {
        follow_text(inputs[f], c);
      }
      return;
    }
    std::size_t n = std::min<std::size_t>(inputs.size(), 8);
    for (std::size_t f = 0; f < n; ++f) {
      std::vector<Word> run = cmd;
      bool placed = false;
      for (Word& w : run) {
        if (w.text.find("{}") != std::string::npos) {
          replace_all(w, "{}", inputs[f]);
          placed = true;
        }
      }
      if (!placed) run.push_back(fed_word(inputs[f]));
      if (cmd.size() == 1 && is_shell_program(program_name(cmd[0])) == false &&
          run.size() == 2 && !run[0].unknown &&
          run[0].text.find(' ') != std::string::npos) {
        // parallel 'rm -rf {}': a quoted command line is shell text.
        follow_text(run[0].text + " " + run[1].text, c);
        continue;
      }
      follow_command(std::move(run), 0, c, a, i);
    }
  }

  // The code of an interpreter one-liner, and what it runs.
  std::string follow_interpreter(const std::vector<Word>& argv, Language lang,
                                 const Context& ctx, const shell::Analysis& a,
                                 std::size_t i) {
    std::string code;
    bool has_code = false;
    bool script = false;
    std::size_t j = 1;
    if (lang == Language::kAwk) {
      for (; j < argv.size(); ++j) {
        const std::string& o = argv[j].text;
        if (o == "-f" || o.starts_with("--file")) {
          script = true;
          break;
        }
        if (o == "-F" || o == "-v") {
          ++j;
          continue;
        }
        if (o == "--") {
          ++j;
          break;
        }
        if (is_option(argv[j])) continue;
        break;
      }
      if (!script && j < argv.size()) {
        code = argv[j].text;
        has_code = true;
      }
    } else {
      for (; j < argv.size(); ++j) {
        const Word& w = argv[j];
        if (!is_option(w)) {
          script = w.text != "-";
          break;
        }
        const std::string& o = w.text;
        bool takes_code =
            (lang == Language::kPython && o.back() == 'c' && o[1] != '-') ||
            (lang == Language::kNode &&
             has({"-e", "--eval", "-p", "--print", "-pe"}, o)) ||
            ((lang == Language::kPerl || lang == Language::kRuby) &&
             o[1] != '-' && (o.back() == 'e' || o.back() == 'E')) ||
            (lang == Language::kPhp && o[1] != '-' && o.back() == 'r') ||
            (lang == Language::kAppleScript && o == "-e");
        if (takes_code && j + 1 < argv.size()) {
          if (has_code) code += '\n';
          code += argv[j + 1].text;
          has_code = true;
          ++j;
          if (lang == Language::kPython) break;  // the rest is sys.argv
          continue;
        }
        if (lang == Language::kPython &&
            (o == "-m" || o == "-W" || o == "-X")) {
          if (o == "-m") {
            script = true;
            break;
          }
          ++j;
        }
      }
    }
    std::string how = program_name(argv[0]);
    if (has_code) {
      scan_code(code, lang, nested(ctx, how + " code"));
      return download_in_word(a, argv[std::min(j, argv.size() - 1)]);
    }
    if (script) {
      if (j >= argv.size()) return {};
      std::string d = download_in_word(a, argv[j]);
      return d.empty() ? downloaded_file(argv[j], ctx) : d;
    }
    // Code on standard input.
    const shell::Command& cmd = a.commands[i];
    if (const Word* in = stdin_word(cmd)) {
      std::string d = download_in_word(a, *in);
      if (!d.empty()) return d;
      scan_code(in->text, lang, nested(ctx, how + " code"));
      return {};
    }
    std::string d = download_feeding(a, i);
    if (!d.empty()) return d;
    if (std::optional<std::string> text = shell::piped_input(a, i)) {
      scan_code(*text, lang, nested(ctx, how + " code"));
    }
    return {};
  }

  void scan_code(std::string_view code, Language lang, const Context& ctx) {
    if (ctx.depth > facts_.max_depth) {
      problem(ctx, "code nested too deep");
      return;
    }
    // Calls that run shell text.
    // Each call is read once, however many of the names match it
    // (os.system and system).
    std::vector<const char*> seen;
    // `as`: empty for calls that run shell text; otherwise the command the
    // call amounts to, given the call's string literals as operands.
    auto scan_calls = [&](auto& calls, std::vector<std::string_view> as) {
      bool deletes = !as.empty();
      for (std::string_view call : calls) {
        std::size_t pos = 0;
        while ((pos = code.find(call, pos)) != std::string_view::npos) {
          std::size_t after = pos + call.size();
          bool boundary = word_boundary_before(code, pos) ||
                          call.find('.') != std::string_view::npos;
          pos = after;
          if (!boundary) continue;
          // A method of some other object ($db->exec, /x/.exec) runs no
          // command; node's child_process.exec does.
          if (call == "exec" || call == "system" || call == "spawn") {
            std::size_t at = pos - call.size();
            bool method =
                at > 0 && (code[at - 1] == '.' || code[at - 1] == '>');
            // Modules whose exec and system do run commands.
            std::size_t start = at > 1 ? at - 1 : 0;
            while (start > 0 &&
                   (std::isalnum(static_cast<unsigned char>(code[start - 1])) ||
                    code[start - 1] == '_')) {
              --start;
            }
            std::string_view owner = at > 1 ? code.substr(start, at - 1 - start)
                                            : std::string_view();
            bool runner = owner == "Kernel" || owner == "os" ||
                          owner == "subprocess" || owner == "Process" ||
                          owner == "IO" || owner == "Open3" || owner == "pty" ||
                          owner == "posix" || owner == "cp" ||
                          owner == "child_process" || owner == "childProcess";
            if (method && !runner &&
                (lang != Language::kNode ||
                 code.find("child_process") == std::string_view::npos)) {
              continue;
            }
          }

          std::string_view span = call_span(code, after);
          if (span.empty() ||
              std::find(seen.begin(), seen.end(), span.data()) != seen.end()) {
            continue;
          }
          if (seen.size() >= 256) return;  // enough calls read from one text
          seen.push_back(span.data());
          std::vector<std::string> lits = code_literals(span);
          if (lits.empty()) continue;
          if (deletes) {
            std::vector<Word> run;
            for (std::string_view w : as)
              run.push_back(word_of(std::string(w)));
            for (const std::string& lit : lits) {
              if (lit.size() > 512 || run.size() > 16) break;
              run.push_back(
                  word_of(lit.starts_with("~/") && !facts_.home.empty()
                              ? facts_.home + lit.substr(1)
                              : lit));
            }
            RunCommand extra;
            extra.from_code = true;
            if (as[0] == "rm" && as.size() > 1) {
              // Each tree on its own, like rm -rf A; rm -rf B.
              for (std::size_t k = as.size(); k < run.size(); ++k) {
                RunCommand one;
                one.from_code = true;
                push({run[0], run[1], run[k]}, ctx, nullptr, std::move(one));
              }
              continue;
            }
            push(std::move(run), ctx, nullptr, std::move(extra));
            continue;
          }
          if (lits.size() >= 3 &&
              is_shell_program(program_name(word_of(lits[0]))) &&
              lits[1] == "-c") {
            // spawn('sh', ['-c', TEXT]): the third is the script.
            follow_text(lits[2], ctx);
            continue;
          }
          std::string text;
          for (const std::string& lit : lits) {
            if (!text.empty()) text += ' ';
            text += lit;
          }
          follow_text(text, ctx);
        }
      }
    };
    scan_calls(kExecCalls, {});
    scan_calls(kDeleteCalls, {"rm", "-rf"});
    static constexpr std::array<std::string_view, 8> kUnlinkCalls = {
        "os.remove",   "os.unlink", "unlinkSync", "fs.unlink",
        "File.delete", "unlink(",   "os.rmdir",   "FileUtils.rm("};
    static constexpr std::array<std::string_view, 8> kMoveCalls = {
        "os.rename", "os.replace",  "shutil.move",  "renameSync",
        "fs.rename", "File.rename", "FileUtils.mv", "rename("};
    static constexpr std::array<std::string_view, 7> kCopyCalls = {
        "shutil.copytree", "shutil.copy",    "copyFileSync", "fs.copyFile",
        "FileUtils.cp",    "IO.copy_stream", "copy("};
    scan_calls(kUnlinkCalls, {"rm"});
    scan_calls(kMoveCalls, {"mv"});
    scan_calls(kCopyCalls, {"cp"});
    // AppleScript's do shell script "TEXT".
    if (lang == Language::kAppleScript) {
      std::size_t pos = 0;
      while ((pos = code.find("do shell script", pos)) !=
             std::string_view::npos) {
        pos += 15;
        std::vector<std::string> lits = code_literals(call_span(code, pos));
        if (!lits.empty()) follow_text(lits[0], ctx);
      }
    }
    // Perl's qx{TEXT}, qx(TEXT), qx/TEXT/.
    if (lang == Language::kPerl) {
      std::size_t pos = 0;
      while ((pos = code.find("qx", pos)) != std::string_view::npos) {
        pos += 2;
        while (pos < code.size() && (code[pos] == ' ' || code[pos] == '\t')) {
          ++pos;
        }
        if (pos >= code.size()) break;
        char open = code[pos];
        char close = open == '{'   ? '}'
                     : open == '(' ? ')'
                     : open == '[' ? ']'
                                   : open;
        if (std::isalnum(static_cast<unsigned char>(open))) {
          continue;
        }
        std::size_t end = code.find(close, pos + 1);
        if (end == std::string_view::npos) break;
        follow_text(code.substr(pos + 1, end - pos - 1), ctx);
        pos = end + 1;
      }
    }
    // Backticks run shell text in Perl, Ruby and PHP.
    if (lang == Language::kPerl || lang == Language::kRuby ||
        lang == Language::kPhp) {
      std::size_t pos = 0;
      while ((pos = code.find('`', pos)) != std::string_view::npos) {
        std::size_t end = code.find('`', pos + 1);
        if (end == std::string_view::npos) break;
        follow_text(code.substr(pos + 1, end - pos - 1), ctx);
        pos = end + 1;
      }
    }
    // awk: "cmd" | getline, and print ... | "cmd".
    if (lang == Language::kAwk) {
      // Printing into a shell makes every string printed a script.
      for (std::string_view shell_name :
           {"\"sh\"", "\"bash\"", "\"/bin/sh\"", "\"/bin/bash\"", "\"zsh\""}) {
        std::size_t at = code.find(shell_name);
        if (at == std::string_view::npos) continue;
        std::size_t b = code.find_last_not_of(" \t", at == 0 ? 0 : at - 1);
        if (b != std::string_view::npos && at > 0 &&
            (code[b] == '|' ||
             (code[b] == '&' && b > 0 && code[b - 1] == '|'))) {
          for (const std::string& lit : code_literals(code)) {
            if (!is_shell_program(program_name(word_of(lit)))) {
              follow_text(lit, ctx);
            }
          }
          break;
        }
      }
      std::vector<std::string> lits = code_literals(code);
      std::size_t pos = 0;
      for (const std::string& lit : lits) {
        std::size_t at = code.find(lit, pos);
        if (at == std::string_view::npos) break;
        std::size_t end = at + lit.size() + 1;
        std::string_view before = code.substr(0, at > 0 ? at - 1 : 0);
        std::string_view after = code.substr(std::min(end, code.size()));
        std::size_t a1 = after.find_first_not_of(" \t");
        std::size_t b1 = before.find_last_not_of(" \t");
        // "cmd" | getline runs cmd; print "text" | "cat" only prints.
        bool piped_from =
            a1 != std::string_view::npos && after[a1] == '|' &&
            after.substr(a1 + 1, 16).find("getline") != std::string_view::npos;
        bool piped_to = b1 != std::string_view::npos &&
                        (before[b1] == '|' || (before[b1] == '&' && b1 > 0 &&
                                               before[b1 - 1] == '|'));
        if (piped_to && is_shell_program(program_name(word_of(lit)))) {
          // print ... | "sh": what is printed is the script.
          for (const std::string& other : lits) {
            if (&other != &lit) follow_text(other, ctx);
          }
        } else if (piped_from || piped_to) {
          follow_text(lit, ctx);
        }
        pos = end;
      }
    }
    // Every literal that could name a file, as an argument of the
    // interpreter itself: the checks for files it may read or write. Only
    // when the code opens, reads, copies or sends something: a path that
    // is only tested for (os.path.exists) exposes nothing.
    static constexpr std::string_view kUses[] = {
        "open",  "read",    "getline", "load",
        "copy",  "send",    "upload",  "post",
        "write", "File.",   "fs.",     "slurp",
        "cat",   "include", "require", "file_get_contents"};
    bool uses_files = false;
    for (std::string_view u : kUses) {
      uses_files = uses_files || code.find(u) != std::string_view::npos;
    }
    if (!uses_files) return;
    std::vector<Word> files{word_of(interpreter_name(ctx))};
    for (const std::string& lit : code_literals(code)) {
      if (lit.empty() || lit.size() > 512 ||
          lit.find('\n') != std::string::npos) {
        continue;
      }
      files.push_back(word_of(lit.starts_with("~/") && !facts_.home.empty()
                                  ? facts_.home + lit.substr(1)
                                  : lit));
      if (files.size() > 64) break;
    }
    if (files.size() > 1) {
      RunCommand extra;
      extra.from_code = true;
      push(std::move(files), ctx, nullptr, std::move(extra));
    }
  }

  static std::string interpreter_name(const Context& ctx) {
    // The via text ends with "<program> code".
    std::string_view v = ctx.via;
    std::size_t end = v.rfind(" code");
    if (end == std::string_view::npos) return "interpreter";
    std::size_t start = v.rfind(", ", end);
    start = start == std::string_view::npos ? 0 : start + 2;
    return std::string(v.substr(start, end - start));
  }

  // Where a download tool writes what it fetches: -o/-O FILE, a
  // redirection, or (curl -O, wget) the last component of the address.
  void note_download(const std::vector<Word>& argv, const Context& ctx,
                     const shell::Command& source) {
    const std::string p = program_name(argv[0]);
    std::string file;
    bool remote_name = p != "curl";  // wget and kin name the file by default
    std::string url;
    for (std::size_t k = 1; k < argv.size(); ++k) {
      const std::string& t = argv[k].text;
      bool next = k + 1 < argv.size();
      bool cluster = t.size() > 1 && t[0] == '-' && t[1] != '-';
      if ((p == "curl" &&
           (t == "-o" || t == "--output" || (cluster && t.back() == 'o'))) ||
          (p != "curl" && (t == "-O" || t == "--output-document"))) {
        if (next) file = argv[++k].text;
      } else if (p == "curl" && t.size() > 2 && t.starts_with("-o")) {
        file = t.substr(2);
      } else if (t.starts_with("--output-document=") ||
                 t.starts_with("--output=")) {
        file = t.substr(t.find('=') + 1);
      } else if (p == "curl" && (t == "-O" || t == "--remote-name" ||
                                 (t.size() > 1 && t[0] == '-' && t[1] != '-' &&
                                  t.find('O') != std::string::npos))) {
        remote_name = true;
      } else if (t.find("://") != std::string::npos) {
        url = t;
      }
    }
    for (const shell::Redirect& r : source.redirects) {
      if ((r.kind == shell::RedirectKind::kOutput ||
           r.kind == shell::RedirectKind::kAppend) &&
          r.fd <= 1 && !r.target.unknown) {
        file = r.target.text;
      }
    }
    if (file.empty() && remote_name && !url.empty()) {
      std::string_view u = url;
      u = u.substr(0, u.find_first_of("?#"));
      std::size_t scheme = u.find("://");
      u = scheme == std::string_view::npos ? std::string_view()
                                           : u.substr(scheme + 3);
      std::size_t slash = u.rfind('/');
      if (slash != std::string_view::npos && slash + 1 < u.size()) {
        file = std::string(u.substr(slash + 1));
      }
    }
    if (file.empty() || file == "-" ||
        file.find(shell::kUnknown) != std::string::npos) {
      return;
    }
    std::string path = shell::resolve_path(ctx.cwd, file);
    if (!path.empty() && downloads_.size() < 64) {
      downloads_.emplace_back(std::move(path), p);
    }
  }

  // The download tool that fetched the file `w` names, if any did.
  std::string downloaded_file(const Word& w, const Context& ctx) const {
    if (w.unknown || downloads_.empty()) return {};
    std::string path = shell::resolve_path(ctx.cwd, w.text);
    for (const auto& [file, tool] : downloads_) {
      if (file == path) return tool;
    }
    return {};
  }

  const FollowFacts& facts_;
  CommandSet& out_;
  int analyses_ = 0;
  int followed_ = 0;  // follow_command calls, against the budget
  std::vector<std::pair<std::string, std::string>> downloads_;
};

}  // namespace

std::string program_name(const Word& word) {
  if (word.unknown || word.text.empty()) return {};
  std::string_view t = word.text;
  while (t.size() > 1 && t.back() == '/') t.remove_suffix(1);
  std::size_t slash = t.rfind('/');
  return std::string(slash == std::string_view::npos ? t : t.substr(slash + 1));
}

bool is_download_program(std::string_view p) {
  static const std::unordered_set<std::string_view> kPrograms = {
      "curl",   "wget",        "wget2", "fetch",  "http", "https", "xh",
      "aria2c", "lwp-request", "GET",   "httpie", "lynx", "links"};
  return kPrograms.count(p) > 0;
}

bool is_shell_program(std::string_view p) {
  static const std::unordered_set<std::string_view> kPrograms = {
      "bash", "sh",   "zsh", "dash", "ksh",  "mksh", "ash",
      "fish", "tcsh", "csh", "yash", "posh", "rbash"};
  return kPrograms.count(p) > 0;
}

CommandSet follow(std::string_view text, const FollowFacts& facts) {
  CommandSet out;
  Follower follower(facts, out);
  Follower::Context ctx;
  ctx.cwd = facts.cwd;
  follower.follow_text(text, ctx);
  return out;
}

}  // namespace twk::core
