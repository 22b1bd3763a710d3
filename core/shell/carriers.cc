// The follower's carriers: programs whose words or input are more shell
// text or commands (shells, eval, source, ssh, trap, script, docker and
// kubectl exec, database clients), and the dispatch to the other
// carriers (find, fd, interpreters).
#include <algorithm>

#include "shell/follower.h"
#include "twk/text.h"

namespace twk::core::commands {

// Follows what carrier `p` runs, with argv[0] the program; fills in
// `extra` with what the command itself should carry (the download it
// runs, the text on its standard input).
void Follower::follow_carrier(const std::vector<Word>& argv,
                              const std::string& p, const Context& ctx,
                              const shell::Analysis& a, std::size_t i,
                              RunCommand& extra) {
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
    for (std::size_t m = 1; m < argv.size(); ++m) {
      if (hidden_code(argv[m])) {
        problem(ctx, "eval runs the value of a variable Core can't know");
        break;
      }
    }
    follow_text(join_words(argv, 1), nested(ctx, "eval"));
  } else if (p == "source" || p == ".") {
    if (argv.size() > 1) extra.runs_download = download_in_word(a, argv[1]);
    if (extra.runs_download.empty() && argv.size() == 1) {
      extra.runs_download = download_feeding(a, i);
    }
    if (argv.size() > 1 && named_from_outside(argv[1])) {
      unseen(ctx, p + " runs a file named by a variable Core can't know");
    }
    if (argv.size() > 1) {
      if (std::string file = file_read_into(a, argv[1]); !file.empty()) {
        unseen(ctx, p + " runs the script in " + file);
      }
    }
  } else if (p == "ssh") {
    follow_ssh(argv, ctx);
  } else if (p == "crontab" || p == "at" || p == "batch") {
    extra.runs_download = follow_scheduled(argv, ctx, a, i);
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
  } else if (p == "tar" || p == "gtar") {
    follow_tar(argv, ctx);
  } else if (has({"psql", "mysql", "mariadb", "sqlite3", "redis-cli", "mongosh",
                  "mongo", "clickhouse-client"},
                 p)) {
    extra.stdin_text = known_stdin(a, i);
  } else if (Language lang = language_of(p); lang != Language::kNone) {
    extra.runs_download = follow_interpreter(argv, lang, ctx, a, i);
  }
}

// What command `i` (a database client, crontab) reads on standard input:
// a known here-document or here-string, or the known output of the stage
// before.
std::optional<std::string> Follower::known_stdin(const shell::Analysis& a,
                                                    std::size_t i) const {
  if (const Word* in = stdin_word(a.commands[i]);
      in != nullptr && !in->unknown &&
      std::any_of(a.commands[i].redirects.begin(),
                  a.commands[i].redirects.end(), [&](const shell::Redirect& r) {
                    return &r.target == in &&
                           r.kind != shell::RedirectKind::kInput;
                  })) {
    return in->text;
  } else {
    return shell::piped_input(a, i);
  }
}

// bash/sh/... : the script of -c, a script file, or standard input.
// Returns the download the shell runs, if any.
std::string Follower::follow_shell(const std::vector<Word>& argv,
                                   const Context& ctx, const shell::Analysis& a,
                                   std::size_t i) {
  std::string p = program_name(argv[0]);
  if (p.empty()) p = located_program(argv[0], a);
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
    if (w.text[1] == '-') {
      if (has({"--rcfile", "--init-file"}, w.text)) ++j;
      continue;
    }
    // A cluster of letters (+ turns them off). -o and -O take an option
    // name: the rest of the word (zsh's -onotify) or the next word.
    bool name_follows = false;
    for (std::size_t c = 1; c < w.text.size(); ++c) {
      char letter = w.text[c];
      if (letter == 'o' || letter == 'O') {
        name_follows = c + 1 == w.text.size();
        break;
      }
      if (w.text[0] != '-') continue;
      if (letter == 'n') return {};  // -n: read the script, run nothing
      if (letter == 's') has_s = true;
      if (letter == 'c') has_c = true;
    }
    if (name_follows) ++j;
  }
  if (has_c) {
    if (j >= argv.size()) return {};
    std::vector<std::string> positional;
    for (std::size_t m = j + 1; m < argv.size(); ++m) {
      if (argv[m].unknown) break;
      positional.push_back(argv[m].text);
    }
    if (hidden_code(argv[j])) {
      problem(ctx, p + " -c runs the value of a variable Core can't know");
    }
    follow_text(argv[j].text, nested(ctx, p + " -c"), positional);
    return download_in_word(a, argv[j]);
  }
  if (j < argv.size() && !has_s) {
    // A script file: its text is not known, unless it is a download. A
    // script named in the command is the user's to know; one named by a
    // variable set elsewhere could be anything.
    if (named_from_outside(argv[j])) {
      unseen(ctx, p + " runs a script named by a variable Core can't know");
    }
    if (has({"/dev/stdin", "/dev/fd/0", "/proc/self/fd/0"}, argv[j].text)) {
      return follow_stdin(a, i, ctx, p);
    }
    if (std::string file = file_read_into(a, argv[j]); !file.empty()) {
      unseen(ctx, p + " runs the script in " + file);
    }
    std::string d = download_in_word(a, argv[j]);
    return d.empty() ? downloaded_file(argv[j], ctx) : d;
  }
  return follow_stdin(a, i, ctx, p);
}

// The file whose text a process substitution word gives (<(cat f),
// <(head -n 50 f)), or "" when it gives something else.
std::string Follower::file_read_into(const shell::Analysis& a, const Word& w) {
  if (!w.process || w.substitutions.empty()) return {};
  const shell::Command* last = nullptr;
  for (const shell::Command& c : a.commands) {
    if (c.group == w.substitutions.front()) last = &c;
  }
  if (last == nullptr || last->argv.empty()) return {};
  std::string p = program_name(last->argv[0]);
  if (!has({"cat", "head", "tail", "tac", "less", "more", "zcat", "bzcat",
            "xzcat"},
           p)) {
    return {};
  }
  for (std::size_t k = last->argv.size(); k-- > 1;) {
    if (!is_option(last->argv[k])) return last->argv[k].text;
  }
  return {};
}

// crontab, at and batch store shell text that runs later. at and batch
// read a script on standard input, as a shell does; crontab's table (from
// standard input) holds a command after each line's schedule. A table
// Core can't see is code that runs unseen.
std::string Follower::follow_scheduled(const std::vector<Word>& argv,
                                       const Context& ctx,
                                       const shell::Analysis& a,
                                       std::size_t i) {
  const std::string p = program_name(argv[0]);
  const bool crontab = p == "crontab";
  bool from_stdin = !crontab;
  for (std::size_t k = 1; k < argv.size(); ++k) {
    const std::string& w = argv[k].text;
    if (crontab) {
      if (has({"-l", "-r", "-e", "-i"}, w)) return {};  // no new table
      if (w == "-u") {
        ++k;
      } else if (w == "-" || w == "/dev/stdin") {
        from_stdin = true;
      } else if (!w.starts_with('-')) {
        return {};  // a table from a file
      }
    } else {
      if (has({"-l", "-r", "-d", "-c"}, w)) return {};  // no new job
      if (w == "-f") {
        if (k + 1 < argv.size() && argv[k + 1].text != "/dev/stdin") return {};
        ++k;
      } else if (w == "-q" || w == "-t") {
        ++k;
      }
    }
  }
  if (!from_stdin) return {};
  if (!crontab) return follow_stdin(a, i, ctx, p);
  if (std::string d = download_feeding(a, i); !d.empty()) return d;
  std::optional<std::string> text = known_stdin(a, i);
  if (!text || text->find(shell::kUnknown) != std::string::npos) {
    unseen(ctx, "crontab installs a table Core can't see");
    return {};
  }
  Context later = nested(ctx, p);
  // cron starts each job in the home directory.
  later.cwd = facts_.home;
  std::string_view rest = *text;
  while (!rest.empty()) {
    std::size_t end = rest.find('\n');
    std::string_view line = rest.substr(0, end);
    rest = end == std::string_view::npos ? std::string_view()
                                         : rest.substr(end + 1);
    std::size_t at = line.find_first_not_of(" \t");
    if (at == std::string_view::npos || line[at] == '#') continue;
    line.remove_prefix(at);
    // NAME=value lines set the table's environment.
    std::size_t eq = line.find('='), blank = line.find_first_of(" \t");
    if (eq != std::string_view::npos && eq < blank) continue;
    // Five time fields, or one @reboot-style word.
    int fields = line.front() == '@' ? 1 : 5;
    for (int f = 0; f < fields && !line.empty(); ++f) {
      std::size_t gap = line.find_first_of(" \t");
      line = gap == std::string_view::npos ? std::string_view()
                                           : line.substr(gap);
      std::size_t next = line.find_first_not_of(" \t");
      line = next == std::string_view::npos ? std::string_view()
                                            : line.substr(next);
    }
    if (line.empty()) continue;
    // cron ends the command at the first unescaped %; what follows, its
    // other %s made line ends, is the command's standard input.
    std::string command, input;
    bool in_input = false;
    for (std::size_t k = 0; k < line.size(); ++k) {
      if (line[k] == '\\' && k + 1 < line.size() && line[k + 1] == '%') {
        (in_input ? input : command) += '%';
        ++k;
      } else if (line[k] == '%') {
        if (in_input) input += '\n';
        in_input = true;
      } else {
        (in_input ? input : command) += line[k];
      }
    }
    if (in_input) {
      command += " <<'CRON_INPUT'\n" + input + "\nCRON_INPUT\n";
    }
    follow_text(command, later);
  }
  return {};
}

// Code a shell reads from standard input.
std::string Follower::follow_stdin(const shell::Analysis& a, std::size_t i,
                                   const Context& ctx, const std::string& p) {
  const shell::Command& cmd = a.commands[i];
  if (const Word* in = stdin_word(cmd)) {
    std::string d = download_in_word(a, *in);
    if (!d.empty()) return d;
    bool doc = false;
    for (const shell::Redirect& r : cmd.redirects) {
      doc = doc || (&r.target == in && r.kind != shell::RedirectKind::kInput);
    }
    if (doc) {
      if (hidden_code(*in)) {
        problem(ctx, p + " reads the value of a variable Core can't know");
      }
      follow_text(in->text, nested(ctx, p + " <<"));
    } else if (in->text != "/dev/null") {
      unseen(ctx, p + " runs the script it reads from " +
                      (in->unknown ? std::string("a file") : in->text));
    }
    return {};
  }
  std::string d = download_feeding(a, i);
  if (!d.empty()) return d;
  if (std::optional<std::string> text = shell::piped_input(a, i)) {
    // echo "$X" | sh: what the stage before prints is known but for parts
    // Core can't know, which the shell runs as code.
    if (text->find(shell::kUnknown) != std::string::npos) {
      problem(ctx, p + " reads code Core can't know from the stage before");
    }
    follow_text(*text, nested(ctx, "| " + p));
    return {};
  }
  // echo $X | sh with nothing of the output known; cat script.sh | sh
  // and ./gen | sh run what Core can't see.
  const shell::Command& self = a.commands[i];
  if (self.stage == 0) {
    // In >(...), the shell runs whatever is written into it.
    if ((self.place & shell::kInProcess) != 0) {
      unseen(ctx, p + " runs what reaches it through a process substitution");
    }
    return {};
  }
  for (const shell::Command& before : a.commands) {
    if (before.pipeline != self.pipeline || before.stage + 1 != self.stage ||
        before.argv.empty()) {
      continue;
    }
    std::string printer = program_name(before.argv[0]);
    if ((printer == "echo" || printer == "printf") &&
        std::any_of(before.argv.begin() + 1, before.argv.end(), hidden_code)) {
      problem(ctx, p + " reads code Core can't know from the stage before");
    } else {
      unseen(ctx, p + " runs what " + printer + " prints");
    }
    break;
  }
  return {};
}

// docker exec/run and kubectl exec: the command runs in a container,
// where this machine's paths and home mean nothing.
void Follower::follow_container(const std::vector<Word>& argv,
                                const Context& ctx, const shell::Analysis& a,
                                std::size_t i) {
  const std::string p = program_name(argv[0]);
  std::size_t j = 1;
  // Global options with a value.
  while (j < argv.size() && is_option(argv[j])) {
    const std::string& o = argv[j].text;
    ++j;
    if (o.find('=') == std::string::npos &&
        has({"-H", "--host", "--context", "-c", "--config", "-n", "--namespace",
             "--kubeconfig", "--cluster", "--user", "-s", "--server", "-l",
             "--log-level"},
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
  std::vector<Word> inner(argv.begin() + static_cast<long>(start), argv.end());
  follow_command(std::move(inner), 0, c, a, i);
}

// ssh [options] HOST CMD...: the words after the host are shell text run
// on the other machine, where this one's directory means nothing.
void Follower::follow_ssh(const std::vector<Word>& argv, const Context& ctx) {
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

// tar runs shell commands given to some of its options: the checkpoint
// action exec=, the filter of --to-command, the compressor of -I and
// --use-compress-program, and the volume scripts. Long options may be
// shortened to any unambiguous prefix, down to the shortest given here.
void Follower::follow_tar(const std::vector<Word>& argv, const Context& ctx) {
  struct Runs {
    std::string_view name;
    std::size_t shortest;  // the shortest unambiguous prefix
    std::string_view value_prefix;  // what the command follows
  };
  static constexpr Runs kOptions[] = {
      {"--checkpoint-action", 14, "exec="},
      {"--to-command", 6, ""},
      {"--use-compress-program", 7, ""},
      {"--info-script", 5, ""},
      {"--new-volume-script", 6, ""},
  };
  auto run = [&](std::string_view value, std::string_view prefix) {
    if (!value.starts_with(prefix)) return;
    value.remove_prefix(prefix.size());
    if (!value.empty()) follow_text(value, nested(ctx, "tar"));
  };
  for (std::size_t m = 1; m < argv.size(); ++m) {
    std::string_view w = argv[m].text;
    if (w == "--") break;
    bool has_next = m + 1 < argv.size();
    if (w == "-I" || w == "-F") {
      if (has_next) run(argv[++m].text, "");
      continue;
    }
    if (!w.starts_with("--")) continue;
    std::size_t eq = w.find('=');
    std::string_view name = w.substr(0, eq);
    for (const Runs& o : kOptions) {
      if (name.size() < o.shortest || !o.name.starts_with(name)) continue;
      if (eq != std::string_view::npos) {
        run(w.substr(eq + 1), o.value_prefix);
      } else if (has_next) {
        run(argv[++m].text, o.value_prefix);
      }
      break;
    }
  }
}

// Settings git runs as commands (its SSH command, pager, editor,
// filters, helpers, aliases), given with -c for this call or stored by
// git config for later, are judged as they will run.
// (GIT_SSH_COMMAND is judged where it is assigned.)
void Follower::follow_git_settings(const std::vector<Word>& argv,
                                   const Context& ctx,
                                   const shell::Command& source) {
  // What git does with a setting's value, when it runs it: an alias as
  // the git command it stands for (or shell text after '!'), the
  // credential helper's '!' text, and these keys' values as shell text.
  auto stored = [&](std::string_view name, std::string_view v) {
    if (v.empty()) return;
    std::string key = text::ascii_lowercase(name);
    auto part = [&](std::string_view section, std::string_view last) {
      return key.starts_with(section) && key.ends_with(last) &&
             key.size() > section.size() + last.size();
    };
    if (key.starts_with("alias.") && key.size() > 6) {
      follow_text(v.starts_with('!') ? std::string(v.substr(1))
                                     : "git " + std::string(v),
                  nested(ctx, "git alias"));
    } else if (key == "credential.helper" || part("credential.", ".helper")) {
      if (v.starts_with('!')) follow_text(v.substr(1), nested(ctx, "git config"));
    } else if ((key == "core.fsmonitor" && v != "true" && v != "false") ||
               has({"core.sshcommand", "core.pager", "core.editor",
                    "sequence.editor", "diff.external", "gpg.program",
                    "core.askpass", "core.gitproxy"},
                   key) ||
               key.starts_with("pager.") || part("filter.", ".clean") ||
               part("filter.", ".smudge") || part("filter.", ".process") ||
               part("diff.", ".textconv") || part("diff.", ".command") ||
               part("merge.", ".driver")) {
      follow_text(v, nested(ctx, "git config"));
    }
  };
  // Given for this call: an alias is expanded where the call uses it
  // (by the git check), unless it is shell text.
  GitCall call = read_git_call(argv, &source.assignments);
  for (auto [name, value] : call.settings) {
    if (text::ascii_lowercase(name).starts_with("alias.") &&
        !value.starts_with('!')) {
      continue;
    }
    stored(name, value);
  }
  // git config [options] [set] NAME VALUE.
  std::size_t m = call.subcommand;
  if (m >= argv.size() || argv[m].text != "config") return;
  std::vector<const Word*> operands;
  for (++m; m < argv.size(); ++m) {
    std::string_view t = argv[m].text;
    if (t == "--file" || t == "-f" || t == "--type" || t == "--blob" ||
        t == "--comment" || t == "--value") {
      ++m;
    } else if (t.starts_with("--get") || t.starts_with("--unset") ||
               t == "--list" || t == "-l" || t.ends_with("-section")) {
      return;  // reads or removes what is stored
    } else if (!t.starts_with('-') || t == "-") {
      operands.push_back(&argv[m]);
    }
  }
  if (!operands.empty() && operands[0]->text == "set") {
    operands.erase(operands.begin());
  } else if (!operands.empty() &&
             has({"get", "unset", "list", "edit", "rename-section",
                  "remove-section"},
                 operands[0]->text)) {
    return;
  }
  if (operands.size() >= 2 && !operands[0]->unknown &&
      !operands[1]->unknown) {
    stored(operands[0]->text, operands[1]->text);
  }
}

}  // namespace twk::core::commands
