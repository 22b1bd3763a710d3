// The follower's wrappers: programs such as sudo, env, nohup, timeout and
// flock that run the command given in their words. Each is taken off, with
// what it changes about how the command runs (root, directory), until the
// command itself is reached.
#include "shell/follower.h"

namespace twk::core::commands {

void Follower::follow_command(std::vector<Word> argv, std::size_t k,
                              Context ctx, const shell::Analysis& a,
                              std::size_t i) {
  // Every command is followed once, and each level of carried code
  // (xargs, find -exec, parallel, bash -c) counts against the depth; the
  // budget also bounds fan-out, as xargs -I inside xargs -I would be.
  if (too_deep(ctx)) return;
  if (++followed_ > 8192) {
    if (followed_ == 8193) problem(ctx, "too many commands to follow");
    return;
  }
  // Fan-out copies words (xargs -I inside xargs -I, find -exec inside
  // find -exec, each with the rest of a long line): the words followed are
  // counted too, so that the time stays linear in the text.
  words_followed_ += argv.size() - std::min(k, argv.size());
  if (words_followed_ > words_budget_) {
    if (!words_exceeded_) problem(ctx, "too many words to follow");
    words_exceeded_ = true;
    return;
  }
  const shell::Command* source = &a.commands[i];
  // The program at argv[named] and its traits: looked up once per word.
  std::string p;
  unsigned traits = 0;
  std::size_t named = argv.size();
  for (int guard = 0; guard < 32 && k < argv.size(); ++guard) {
    p = program_name(argv[k]);
    if (p.empty() && argv[k].unknown) p = located_program(argv[k], a);
    traits = program_traits(p);
    named = k;
    if ((traits & kWrapper) == 0) break;
    Unwrap step = unwrap(p, argv, k, ctx, a, i);
    if (step == Unwrap::kDone) return;
    if (step == Unwrap::kStop) break;
  }
  if (k >= argv.size()) {
    // env with no command prints the environment: a command of its own.
    if (p == "env" && named < argv.size()) {
      argv.erase(argv.begin(), argv.begin() + static_cast<long>(named));
      RunCommand extra;
      extra.program = std::move(p);
      push(std::move(argv), std::move(ctx), source, std::move(extra));
    }
    return;
  }
  // bash -c '$CMD': nested code whose program is a variable's value that
  // Core can't know runs code unseen, as eval "$CMD" does.
  if (ctx.depth > 0 && !ctx.unknown_text && hidden_code(argv[k])) {
    problem(ctx, "runs a program named by a variable Core can't know");
  }
  if (named != k) {
    p = program_name(argv[k]);
    if (p.empty() && argv[k].unknown) p = located_program(argv[k], a);
    traits = program_traits(p);
  }
  if (k > 0) argv.erase(argv.begin(), argv.begin() + static_cast<long>(k));
  // rimraf (npx rimraf DIR) is rm -rf by another name.
  if (p == "rimraf" && !argv.empty()) {
    argv[0] = word_of("rm");
    argv.insert(argv.begin() + 1, word_of("-rf"));
    p = "rm";
    traits = program_traits(p);
  }
  if (p.empty() && argv.size() > 2 && argv[1].text == "-c" &&
      !argv[2].unknown) {
    // $SHELL -c TEXT: a program Core can't name, given shell text.
    follow_text(argv[2].text, nested(ctx, "-c"));
  }
  if (traits & kDownload) note_download(argv, ctx, *source);
  if (p == "git") follow_git_settings(argv, ctx, *source);
  if ((traits & kCarrier) == 0) {
    RunCommand extra;
    extra.program = std::move(p);  // push would work it out again
    // ./install.sh after curl -o install.sh runs the download.
    if (argv[0].text.find('/') != std::string::npos) {
      extra.runs_download = downloaded_file(argv[0], ctx);
    }
    push(std::move(argv), std::move(ctx), source, std::move(extra));
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
  follow_carrier(argv, p, ctx, a, i, extra);
  extra.program = std::move(p);
  push(std::move(argv), std::move(ctx), source, std::move(extra));
}

// Takes wrapper `p`, at argv[k], off: moves `k` to the command it runs and
// notes in `ctx` what it changes.
Follower::Unwrap Follower::unwrap(const std::string& p,
                                  const std::vector<Word>& argv, std::size_t& k,
                                  Context& ctx, const shell::Analysis& a,
                                  std::size_t i) {
  if (p == "sudo" || p == "doas" || p == "pkexec" || p == "run0") {
    return unwrap_sudo(p, argv, k, ctx);
  }
  if (p == "env") return unwrap_env(argv, k, ctx, a, i);
  if (p == "command" || p == "builtin") {
    std::size_t j = k + 1;
    while (j < argv.size() && is_option(argv[j])) {
      if (argv[j].text == "-v" || argv[j].text == "-V") return Unwrap::kDone;
      ++j;
    }
    k = j;
    return Unwrap::kNext;
  }
  if (skip_wrapper(p, argv, k, ctx)) return Unwrap::kNext;
  if (p == "flock") return unwrap_flock(argv, k, ctx);
  if (p == "runuser" || p == "su") return unwrap_su(p, argv, k, ctx);
  if (Unwrap u = unwrap_runner(p, argv, k, ctx); u != Unwrap::kStop) return u;
  if (Unwrap u = unwrap_session(p, argv, k, ctx); u != Unwrap::kStop) return u;
  if (p == "watch") {
    std::size_t j = skip_options(argv, k + 1, "nqs",
                                 {"--interval", "--equexit", "--chgexit"});
    if (j < argv.size()) {
      follow_text(join_words(argv, j), nested(ctx, "watch"));
    }
    return Unwrap::kDone;
  }
  return Unwrap::kStop;
}

Follower::Unwrap Follower::unwrap_runner(const std::string& p,
                                         const std::vector<Word>& argv,
                                         std::size_t& k, const Context& ctx) {
  struct Runner {
    std::string_view program;
    std::string_view sub;           // the subcommand that runs; "" for none
    std::string_view short_values;  // short options that take the next word
    std::string_view long_values;   // long ones, space-separated
    int operands = 0;               // words before the command (a directory)
    bool after_dashes = false;      // the command comes only after "--"
  };
  static constexpr Runner kRunners[] = {
      {"uv", "run", "p",
       "--with --python --project --directory --package --env-file --extra "
       "--group --index --index-url --with-requirements --with-editable"},
      {"poetry", "run", "CP", "--directory --project"},
      {"pipenv", "run", "", ""},
      {"pdm", "run", "p", "--project"},
      {"rye", "run", "", ""},
      {"hatch", "run", "", ""},
      {"pixi", "run", "e", "--environment --manifest-path"},
      {"pixi", "exec", "s", "--spec"},
      {"conda", "run", "np", "--name --prefix --cwd"},
      {"mamba", "run", "np", "--name --prefix --cwd"},
      {"micromamba", "run", "np", "--name --prefix --cwd"},
      {"bundle", "exec", "", ""},
      // mise exec [TOOL@VERSION]... -- COMMAND
      {"mise", "exec", "CEj", "--cd --env --jobs", 0, true},
      {"mise", "x", "CEj", "--cd --env --jobs", 0, true},
      {"asdf", "exec", "", ""},
      {"direnv", "exec", "", "", 1},
      {"devbox", "run", "c", "--config"},
      {"npx", "", "p", "--package"},
      {"bunx", "", "p", "--package"},
      {"pnpx", "", "", ""},
      {"pnpm", "exec", "C", "--dir --filter"},
      {"pnpm", "dlx", "", "--package"},
      {"npm", "exec", "", "--package --workspace"},
      {"yarn", "exec", "", ""},
      {"yarn", "dlx", "p", "--package"},
      {"bun", "x", "", ""},
      {"dotenv", "", "efv", ""},
      {"doppler", "run", "pc", "--project --config --token --mount --name-transformer"},
      {"op", "run", "", "--env-file"},
      {"aws-vault", "exec", "", "--duration --region", 1},
      {"systemd-run", "", "upEM",
       "--unit --property --setenv --uid --gid --machine --slice "
       "--description --working-directory"},
      {"env-cmd", "", "fe", "--file --environments"},
      {"cross-env", "", "", ""},
  };
  // Shell text given to the tool: nix develop -c, nix-shell --run,
  // npx -c, doppler run --command.
  auto text_after = [&](std::initializer_list<std::string_view> names) {
    for (std::size_t j = k + 1; j + 1 < argv.size(); ++j) {
      if (argv[j].text == "--") break;
      if (has(names, argv[j].text)) return j + 1;
    }
    return argv.size();
  };
  if (p == "nix" || p == "nix-shell" || p == "npx" || p == "doppler") {
    std::size_t j = p == "nix"         ? text_after({"-c", "--command"})
                    : p == "nix-shell" ? text_after({"--run", "--command"})
                    : p == "npx"       ? text_after({"-c", "--call"})
                                       : text_after({"--command"});
    if (j < argv.size()) {
      if (p == "nix") {
        k = j;  // nix develop -c COMMAND ARGS...: the words themselves
        return Unwrap::kNext;
      }
      if (!argv[j].unknown) follow_text(argv[j].text, nested(ctx, p));
      return Unwrap::kDone;
    }
    if (p == "nix" || p == "nix-shell") return Unwrap::kStop;
  }
  for (const Runner& r : kRunners) {
    if (r.program != p) continue;
    std::size_t j = k + 1;
    if (!r.sub.empty()) {
      // Options may come before the subcommand: uv --quiet run.
      while (j < argv.size() && is_option(argv[j]) && argv[j].text != "--") ++j;
      if (j >= argv.size() || argv[j].text != r.sub) continue;
      ++j;
    }
    bool dashes = false;
    while (j < argv.size()) {
      const std::string& o = argv[j].text;
      if (o == "--") {
        dashes = true;
        ++j;
        break;
      }
      if (r.after_dashes) {
        ++j;  // tool versions and options alike, up to "--"
        continue;
      }
      if (p == "cross-env" && o.find('=') != std::string::npos &&
          !o.starts_with('-')) {
        ++j;  // VAR=value
        continue;
      }
      if (!is_option(argv[j])) break;
      ++j;
      if (o.starts_with("--")) {
        // One of the space-separated names in long_values.
        std::size_t at = r.long_values.find(o);
        bool takes = o.find('=') == std::string::npos &&
                     at != std::string_view::npos &&
                     (at == 0 || r.long_values[at - 1] == ' ') &&
                     (at + o.size() == r.long_values.size() ||
                      r.long_values[at + o.size()] == ' ');
        if (takes && j < argv.size()) ++j;
      } else if (o.size() == 2 && r.short_values.find(o[1]) !=
                                       std::string_view::npos) {
        ++j;
      }
    }
    if (r.after_dashes && !dashes) return Unwrap::kDone;  // runs no command
    if (!dashes) {
      // The operands (a profile, a directory), then the "--" that may
      // follow them.
      j += static_cast<std::size_t>(r.operands);
      if (j < argv.size() && argv[j].text == "--") ++j;
    }
    k = j;
    return k < argv.size() ? Unwrap::kNext : Unwrap::kDone;
  }
  return Unwrap::kStop;
}

Follower::Unwrap Follower::unwrap_session(const std::string& p,
                                          const std::vector<Word>& argv,
                                          std::size_t& k, const Context& ctx) {
  if (p == "gdb" || p == "lldb") {
    // gdb --args PROGRAM ARGS, lldb -- PROGRAM ARGS; a program named
    // alone is loaded, not run.
    std::string_view mark = p == "gdb" ? "--args" : "--";
    for (std::size_t j = k + 1; j < argv.size(); ++j) {
      if (argv[j].text == mark) {
        k = j + 1;
        return k < argv.size() ? Unwrap::kNext : Unwrap::kDone;
      }
    }
    return Unwrap::kStop;
  }
  if (p == "screen") {
    // screen -dmS NAME COMMAND ARGS; -X sends a command to a running
    // session, and -X stuff TEXT types TEXT into its shell.
    std::size_t j = k + 1;
    while (j < argv.size() && is_option(argv[j])) {
      const std::string& o = argv[j].text;
      ++j;
      if (o == "-X" || o == "-Q") {
        if (j + 1 < argv.size() && argv[j].text == "stuff" &&
            !argv[j + 1].unknown) {
          follow_text(argv[j + 1].text, nested(ctx, "screen -X stuff"));
        }
        return Unwrap::kDone;
      }
      if (o == "-Logfile" ||
          (o.size() >= 2 && o[1] != '-' &&
           std::string_view("ScTtphes").find(o.back()) != std::string_view::npos)) {
        ++j;
      }
    }
    k = j;
    return k < argv.size() ? Unwrap::kNext : Unwrap::kDone;
  }
  if (p != "tmux") return Unwrap::kStop;
  // tmux's own options; -c runs shell text as a shell would.
  std::size_t j = k + 1;
  while (j < argv.size() && is_option(argv[j])) {
    const std::string& o = argv[j].text;
    ++j;
    if (o == "-c" && j < argv.size()) {
      if (!argv[j].unknown) follow_text(argv[j].text, nested(ctx, "tmux -c"));
      return Unwrap::kDone;
    }
    if (o.size() == 2 && std::string_view("LSfT").find(o[1]) != std::string_view::npos) {
      ++j;
    }
  }
  if (j >= argv.size()) return Unwrap::kDone;
  const std::string& sub = argv[j].text;
  if (sub == "send-keys" || sub == "send") {
    // Keys typed into a pane's shell: the words as text, Enter a newline.
    std::string text;
    std::size_t m = skip_options(argv, j + 1, "tN");
    for (; m < argv.size(); ++m) {
      const std::string& key = argv[m].text;
      if (argv[m].unknown) return Unwrap::kDone;
      text += has({"Enter", "C-m", "KPEnter", "C-j"}, key) ? "\n" : key + " ";
    }
    follow_text(text, nested(ctx, "tmux send-keys"));
    return Unwrap::kDone;
  }
  if (!has({"new", "new-session", "new-window", "neww", "split-window",
            "splitw", "respawn-pane", "respawnp", "respawn-window",
            "respawnw", "run-shell", "run"},
           sub)) {
    return Unwrap::kDone;
  }
  // The rest is shell text, as tmux gives it to the shell. (-f and -d
  // take a value for some subcommands and not for others: read as
  // flags, and each word is also followed alone, in case it was the
  // text after such a value.)
  j = skip_options(argv, j + 1, "censtxyFl");
  if (j < argv.size()) follow_text(join_words(argv, j), nested(ctx, "tmux"));
  for (std::size_t m = j; j + 1 < argv.size() && m < argv.size(); ++m) {
    if (!argv[m].unknown) follow_text(argv[m].text, nested(ctx, "tmux"));
  }
  return Unwrap::kDone;
}

// The wrappers that take only options, and some an operand, before the
// command: moves `k` past them; false for other programs.
bool Follower::skip_wrapper(const std::string& p, const std::vector<Word>& argv,
                            std::size_t& k, Context& ctx) {
  if (p == "exec") {
    k = skip_options(argv, k + 1, "a");
    return true;
  }
  if (has({"nohup", "setsid", "nocache", "unbuffer", "caffeinate", "torsocks",
           "proxychains", "proxychains4", "fakeroot", "dbus-run-session",
           "xvfb-run", "catchsegv", "firejail", "valgrind", "then", "do",
           "else"},
          p)) {
    k = skip_options(argv, k + 1, "");
    return true;
  }
  if (p == "time") {
    k = skip_options(argv, k + 1, "fo", {"--format", "--output"});
    return true;
  }
  if (p == "ionice") {
    k = skip_options(argv, k + 1, "cnpP",
                     {"--class", "--classdata", "--pid", "--pgid"});
    return true;
  }
  if (p == "stdbuf") {
    k = skip_options(argv, k + 1, "ioe", {"--input", "--output", "--error"});
    return true;
  }
  if (p == "strace" || p == "ltrace") {
    k = skip_options(argv, k + 1, "eoOpPsSuUbIX");
    return true;
  }
  if (p == "busybox" || p == "toybox") {
    ++k;
    return true;
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
    return true;
  }
  if (p == "chrt") {
    std::size_t j = skip_options(argv, k + 1, "");
    if (j < argv.size()) ++j;  // priority
    k = j;
    return true;
  }
  if (p == "taskset") {
    std::size_t j = skip_options(argv, k + 1, "");
    if (j < argv.size()) ++j;  // mask
    k = j;
    return true;
  }
  if (p == "timeout" || p == "gtimeout") {
    std::size_t j =
        skip_options(argv, k + 1, "sk", {"--signal", "--kill-after"});
    if (j < argv.size()) ++j;  // the duration
    k = j;
    return true;
  }
  if (p == "chroot") {
    std::size_t j = skip_options(argv, k + 1, "", {"--userspec", "--groups"});
    if (j < argv.size()) ++j;  // the new root
    ctx.cwd.clear();
    k = j;
    return true;
  }
  return false;
}

// sudo and doas: the command runs as root; with -s or -i, through the
// user's shell, which reads it as shell text.
Follower::Unwrap Follower::unwrap_sudo(const std::string& p,
                                       const std::vector<Word>& argv,
                                       std::size_t& k, Context& ctx) {
  ctx.elevated = true;
  std::size_t j = k + 1;
  bool shell_login = false;
  while (j < argv.size() && (is_option(argv[j]) ||
                             argv[j].known_prefix().starts_with("--chdir="))) {
    const std::string& o = argv[j].text;
    if (o == "--") {
      ++j;
      break;
    }
    if (o == "-s" || o == "-i" || o == "--shell" || o == "--login") {
      shell_login = true;
    }
    // -D DIR and --chdir: the command runs there.
    if ((o == "-D" || o == "--chdir") && j + 1 < argv.size()) {
      change_dir(ctx, argv[j + 1]);
    } else if (o.starts_with("--chdir=")) {
      change_dir(ctx, argv[j], 8);
    }
    ++j;
    if (o.size() == 2 &&
        std::string_view("ugCDhprtUT").find(o[1]) != std::string_view::npos) {
      ++j;
    } else if (o.starts_with("--") && o.find('=') == std::string::npos &&
               has({"--user", "--group", "--chdir", "--host", "--prompt",
                    "--role", "--type", "--close-from", "--other-user",
                    "--command-timeout", "--nice", "--unit", "--property",
                    "--description", "--slice", "--setenv", "--machine",
                    "--background"},
                   o)) {
      ++j;
    }
  }
  while (j < argv.size() && is_assignment(argv[j])) ++j;
  if (shell_login && j < argv.size()) {
    // sudo -s CMD runs CMD through the user's shell.
    follow_text(join_words(argv, j), nested(ctx, p + " -s"));
    return Unwrap::kDone;
  }
  k = j;
  return Unwrap::kNext;
}

// The directory of `ctx` after a change to the text of `dir` from
// `from` on: unknown when that is.
void Follower::change_dir(Context& ctx, const Word& dir, std::size_t from) {
  std::string_view to = std::string_view(dir.text).substr(from);
  ctx.cwd = dir.unknown || to.empty() ? std::string()
                                      : shell::resolve_path(ctx.cwd, to);
}

// env: assignments and options before the command; -C changes the
// directory, and -S splits a string into more words.
Follower::Unwrap Follower::unwrap_env(const std::vector<Word>& argv,
                                      std::size_t& k, Context& ctx,
                                      const shell::Analysis& a, std::size_t i) {
  std::size_t j = k + 1;
  while (j < argv.size()) {
    const Word& w = argv[j];
    if (is_assignment(w) || w.text == "-") {
      ++j;  // "-" is -i
    } else if (w.unknown && (w.known_prefix().starts_with("--chdir=") ||
                             w.known_prefix().starts_with("-C"))) {
      change_dir(ctx, w);  // to a directory that can't be known
      ++j;
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
          for (std::string& part : shell::split_fields(argv[j + 1].text)) {
            again.push_back(word_of(std::move(part)));
          }
          if (j + 2 < argv.size()) {
            again.insert(again.end(), argv.begin() + static_cast<long>(j + 2),
                         argv.end());
          }
          follow_command(std::move(again), 0, nested(ctx, "env -S"), a, i);
        }
        return Unwrap::kDone;
      }
      if (o == "-P" || o == "--default-signal" || o == "--ignore-signal" ||
          o == "--block-signal") {
        j += o == "-P" ? 2 : 1;
        continue;
      }
      // --chdir, abbreviated down to --ch, with its value attached or next.
      std::size_t eq = o.find('=');
      std::string_view long_name = std::string_view(o).substr(0, eq);
      bool chdir = long_name.size() >= 4 &&
                   std::string_view("--chdir").starts_with(long_name);
      if (chdir) {
        if (eq != std::string::npos) {
          change_dir(ctx, argv[j], eq + 1);
        } else if (j + 1 < argv.size()) {
          change_dir(ctx, argv[++j]);
        }
        ++j;
        continue;
      }
      if (o == "--unset") {
        j += 2;
        continue;
      }
      // A cluster of short options (-iC DIR, -vC/): C and u take the rest
      // of the word or the next one.
      std::size_t value_at = o[1] == '-' ? std::string::npos
                                         : o.find_first_of("Cu", 1);
      if (value_at != std::string::npos) {
        if (value_at + 1 < o.size()) {
          if (o[value_at] == 'C') change_dir(ctx, argv[j], value_at + 1);
        } else if (j + 1 < argv.size()) {
          if (o[value_at] == 'C') change_dir(ctx, argv[j + 1]);
          ++j;
        }
      }
      ++j;
    } else {
      break;
    }
  }
  k = j;
  return Unwrap::kNext;
}

// flock [options] FILE CMD, or flock ... -c TEXT.
Follower::Unwrap Follower::unwrap_flock(const std::vector<Word>& argv,
                                        std::size_t& k, const Context& ctx) {
  std::size_t j =
      skip_options(argv, k + 1, "wEc", {"--timeout", "--conflict-exit-code"});
  for (std::size_t m = k + 1; m + 1 < argv.size(); ++m) {
    if (argv[m].text == "-c" || argv[m].text == "--command") {
      follow_text(argv[m + 1].text, nested(ctx, "flock -c"));
      return Unwrap::kDone;
    }
  }
  if (j < argv.size()) ++j;  // the lock file
  k = j;
  return Unwrap::kNext;
}

// runuser and su: as another user; -c TEXT runs shell text, and su without
// it starts a login shell.
Follower::Unwrap Follower::unwrap_su(const std::string& p,
                                     const std::vector<Word>& argv,
                                     std::size_t& k, Context& ctx) {
  ctx.elevated = true;
  for (std::size_t m = k + 1; m + 1 < argv.size(); ++m) {
    if (argv[m].text == "-c" || argv[m].text == "--command") {
      follow_text(argv[m + 1].text, nested(ctx, p + " -c"));
      return Unwrap::kDone;
    }
  }
  if (p == "su") return Unwrap::kDone;  // a login shell
  k = skip_options(argv, k + 1, "ugl", {"--user", "--group"});
  return Unwrap::kNext;
}

}  // namespace twk::core::commands
