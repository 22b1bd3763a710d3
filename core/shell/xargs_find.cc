// The follower's fan-out: xargs, parallel, find -exec and fd -x run a
// command once per input, with the input in place of a placeholder or
// appended. The inputs are followed when they can be known (the output of
// the stage before, a here-document, ::: arguments); the paths a find
// feeds stand for what it selects below its roots.
#include <algorithm>

#include "shell/follower.h"

namespace twk::core::commands {

// fd PATTERN [PATH...] -x/-X CMD: like find -exec.
void Follower::follow_fd(const std::vector<Word>& argv, const Context& ctx,
                         const shell::Analysis& a, std::size_t i) {
  std::vector<Word> positional;
  std::size_t m = 1;
  for (; m < argv.size(); ++m) {
    std::string_view t = argv[m].text;
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

// find's starting points (". " when none) and the -name patterns that
// select what its actions get; the index of its expression. Where the
// expression can select other names (!, -o, -path, -iname and their kin)
// the names are one empty pattern: any name.
std::size_t Follower::read_find(const std::vector<Word>& argv,
                                std::vector<Word>& roots,
                                std::vector<std::string>& names) {
  std::size_t j = 1;
  while (j < argv.size() &&
         (argv[j].text == "-H" || argv[j].text == "-L" ||
          argv[j].text == "-P" || argv[j].text.starts_with("-O"))) {
    ++j;
  }
  if (j < argv.size() && argv[j].text == "-D") j += 2;
  while (j < argv.size() && !argv[j].text.starts_with('-') &&
         argv[j].text != "(" && argv[j].text != "!") {
    roots.push_back(argv[j]);
    ++j;
  }
  if (roots.empty()) roots.push_back(word_of("."));
  bool any_name = false;
  for (std::size_t m = j; m < argv.size(); ++m) {
    const std::string& t = argv[m].text;
    if (t == "-name" && m + 1 < argv.size()) {
      names.push_back(argv[++m].text);
    } else if (has({"!", "-not", "-o", "-or", "-path", "-ipath",
                    "-wholename", "-iwholename", "-iname", "-regex",
                    "-iregex", ","},
                   t)) {
      any_name = true;
    }
  }
  if (any_name && !names.empty()) names.assign(1, std::string());
  return j;
}

// find ROOTS... EXPRESSION: each -exec, -execdir, -ok and -okdir command
// runs on what find selects; "{}" stands for those paths.
void Follower::follow_find(const std::vector<Word>& argv, const Context& ctx,
                           const shell::Analysis& a, std::size_t i) {
  std::vector<Word> roots;
  std::vector<std::string> names;
  std::size_t j = read_find(argv, roots, names);
  for (std::size_t m = j; m < argv.size(); ++m) {
    if (!has({"-exec", "-execdir", "-ok", "-okdir"}, argv[m].text)) continue;
    std::vector<Word> sub;
    std::size_t e = m + 1;
    for (; e < argv.size(); ++e) {
      std::string_view t = argv[e].text;
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
std::vector<std::string> Follower::fed_words(const shell::Analysis& a,
                                             std::size_t i, bool lines,
                                             bool& known) const {
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

// One fed input as a word: unknown where it holds kUnknown.
Word Follower::fed_word(const std::string& text) {
  Word w = word_of(text);
  w.unknown = text.find(shell::kUnknown) != std::string::npos;
  return w;
}

// Every `from` in the word replaced by `to` (xargs -I, parallel {}).
void Follower::replace_all(Word& w, std::string_view from,
                           const std::string& to) {
  // A replace string Core can't read (xargs -I "$R") would be matched
  // against whatever else is unknown: the words stay as they are.
  if (from.empty() || from.find(shell::kUnknown) != std::string_view::npos) {
    return;
  }
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
  w.unknown = w.text.find(shell::kUnknown) != std::string::npos;
}

// xargs [options] CMD...: CMD runs with the words of its input appended,
// or once per input line with -I (at most eight lines are followed).
void Follower::follow_xargs(std::vector<Word> argv, const Context& ctx,
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
    } else if (o == "-a" || o == "--arg-file" || o.starts_with("--arg-file=")) {
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
void Follower::find_feeding(const shell::Analysis& a, std::size_t i,
                            std::vector<Word>& roots,
                            std::vector<std::string>& names) const {
  const shell::Command& cmd = a.commands[i];
  if (!(cmd.place & shell::kInPipeline) || cmd.stage == 0) return;
  for (std::size_t k = i, steps = 0; k-- > 0 && steps < 64; ++steps) {
    const shell::Command& c = a.commands[k];
    if (c.pipeline != cmd.pipeline || c.group != cmd.group) continue;
    if (c.stage != cmd.stage - 1) break;
    if (c.argv.empty() || program_name(c.argv[0]) != "find") return;
    read_find(c.argv, roots, names);
    return;
  }
}

// parallel [options] CMD ::: ARGS, or with its input: like xargs; without
// a command each input is a command line of its own.
void Follower::follow_parallel(std::vector<Word> argv, const Context& ctx,
                               const shell::Analysis& a, std::size_t i) {
  std::size_t j = skip_options(
      argv, 1, "jSPIEn",
      {"--jobs", "--sshlogin", "--delay", "--results", "--joblog", "--tmpdir",
       "--workdir", "--timeout", "--retries", "--colsep", "--load", "--memfree",
       "--basefile", "--return", "--env"});
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

}  // namespace twk::core::commands
