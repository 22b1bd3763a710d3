// The follower's interpreters: python, node, perl, ruby, php, awk and
// osascript, with the code they are given in their words (-c, -e, -r, an
// awk program), in a script file, or on standard input. The code itself is
// read by code_scan.cc.
#include <algorithm>

#include "shell/follower.h"

namespace twk::core::commands {
namespace {

// What an interpreter's words give it to run.
struct CodeWords {
  std::string code;       // the code given in the words
  bool has_code = false;  // some code was given in the words
  bool script = false;    // argv[j] names a script file (or -m a module)
  std::size_t j = 1;      // where reading the words stopped
};

// awk's words: the program (its first operand), or -f FILE.
void read_awk_words(const std::vector<Word>& argv, CodeWords& w) {
  std::size_t& j = w.j;
  for (; j < argv.size(); ++j) {
    const std::string& o = argv[j].text;
    if (o == "-f" || o.starts_with("--file")) {
      w.script = true;
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
  if (!w.script && j < argv.size()) {
    w.code = argv[j].text;
    w.has_code = true;
  }
}

// Other interpreters' words: the options that take code (-c, -e, -r and
// their kin), up to the script file or "-" (standard input).
void read_interpreter_words(const std::vector<Word>& argv, Language lang,
                            CodeWords& cw) {
  // In a cluster of short options, the first that takes code takes the
  // rest of the word (python -c'...', perl -ne'...') or, when nothing
  // follows it, the next word. Letters that take the rest of the word as
  // their value end the cluster first; those that take only digits (perl
  // -l, -0: perl -lne, -0pe) skip them and go on.
  struct Cluster {
    Language lang;
    std::string_view code_letters, valued, numbered;
  };
  static constexpr Cluster kClusters[] = {
      {Language::kPython, "c", "mWX", ""},
      {Language::kPerl, "eE", "IMmiFxdDC", "l0"},
      {Language::kRuby, "e", "IrCEFKxi", "0TW"},
      {Language::kPhp, "rBRE", "cdfzt", ""},
  };
  std::string_view code_letters, valued, numbered;
  for (const Cluster& c : kClusters) {
    if (c.lang == lang) {
      code_letters = c.code_letters;
      valued = c.valued;
      numbered = c.numbered;
    }
  }
  std::size_t& j = cw.j;
  for (; j < argv.size(); ++j) {
    const Word& w = argv[j];
    if (!is_option(w)) {
      cw.script = w.text != "-";
      break;
    }
    const std::string& o = w.text;
    std::size_t at = std::string::npos;
    if (!code_letters.empty() && o.size() > 1 && o[1] != '-') {
      for (std::size_t c = 1; c < o.size(); ++c) {
        if (code_letters.find(o[c]) != std::string_view::npos) {
          at = c;
          break;
        }
        if (valued.find(o[c]) != std::string_view::npos) break;
        if (numbered.find(o[c]) != std::string_view::npos) {
          while (c + 1 < o.size() && o[c + 1] >= '0' && o[c + 1] <= '9') ++c;
        }
      }
    } else if ((lang == Language::kNode &&
                has({"-e", "--eval", "-p", "--print", "-pe"}, o)) ||
               (lang == Language::kAppleScript && o == "-e")) {
      at = o.size() - 1;
    }
    if (at != std::string::npos && (at + 1 < o.size() || j + 1 < argv.size())) {
      if (cw.has_code) cw.code += '\n';
      if (at + 1 < o.size()) {
        cw.code += o.substr(at + 1);
      } else {
        cw.code += argv[++j].text;
      }
      cw.has_code = true;
      if (lang == Language::kPython) break;  // the rest is sys.argv
      continue;
    }
    // node's options that take the next word: not the script.
    if (lang == Language::kNode &&
        has({"-r", "--require", "--import", "--loader", "--experimental-loader",
             "-C", "--conditions", "--input-type", "--title", "--env-file"},
            o)) {
      ++j;
      continue;
    }
    if (lang == Language::kPython && (o == "-m" || o == "-W" || o == "-X")) {
      if (o == "-m") {
        cw.script = true;
        break;
      }
      ++j;
    }
  }
}

}  // namespace

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

// The code of an interpreter one-liner, and what it runs.
std::string Follower::follow_interpreter(const std::vector<Word>& argv,
                                         Language lang, const Context& ctx,
                                         const shell::Analysis& a,
                                         std::size_t i) {
  CodeWords words;
  if (lang == Language::kAwk) {
    read_awk_words(argv, words);
  } else {
    read_interpreter_words(argv, lang, words);
  }
  const std::string& code = words.code;
  bool has_code = words.has_code;
  bool script = words.script;
  std::size_t j = words.j;
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

std::string Follower::interpreter_name(const Context& ctx) {
  // The via text ends with "<program> code".
  std::string_view v = ctx.via;
  std::size_t end = v.rfind(" code");
  if (end == std::string_view::npos) return "interpreter";
  std::size_t start = v.rfind(", ", end);
  start = start == std::string_view::npos ? 0 : start + 2;
  return std::string(v.substr(start, end - start));
}

}  // namespace twk::core::commands
