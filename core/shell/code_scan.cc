// What interpreter code runs: the calls in a one-liner that run shell text
// (os.system, child_process.exec, backticks, qx, awk's pipes, AppleScript's
// do shell script) are followed as shell text, and the calls that delete,
// move or copy files become the rm, mv or cp they amount to, with the
// code's string literals as operands. The code is not parsed: calls are
// found by name and their arguments by balanced parentheses.
#include <algorithm>
#include <array>
#include <cctype>
#include <optional>

#include "shell/follower.h"

namespace twk::core::commands {
namespace {

// The string literal whose opening quote is at code[i], decoded; `i`
// moves to its closing quote. Nothing when no quote closes it.
std::optional<std::string> read_literal(std::string_view code,
                                        std::size_t& i) {
  char q = code[i];
  std::string lit;
  std::size_t j = i + 1;
  for (; j < code.size() && code[j] != q; ++j) {
    if (code[j] == '\\' && j + 1 < code.size()) {
      char n = code[++j];
      auto digit = [&](std::size_t at, int base) {
        if (at >= code.size()) return -1;
        int c = std::tolower(static_cast<unsigned char>(code[at]));
        int v = c >= '0' && c <= '9' ? c - '0'
                : c >= 'a' && c <= 'f' ? c - 'a' + 10
                                       : -1;
        return v < base ? v : -1;
      };
      // \xHH and \NNN spell any byte, as every one of these languages
      // reads them: system("rm\x20-rf\x20/") is rm -rf /.
      if ((n == 'x' && digit(j + 1, 16) >= 0) || digit(j, 8) >= 0) {
        const bool hex = n == 'x';
        const int base = hex ? 16 : 8;
        std::size_t k = hex ? j + 1 : j;
        int value = 0;
        for (std::size_t end = k + (hex ? 2 : 3);
             k < end && digit(k, base) >= 0; ++k) {
          value = value * base + digit(k, base);
        }
        lit += static_cast<char>(value);
        j = k - 1;
      } else {
        lit += n == 'n' ? '\n' : n == 't' ? '\t' : n;
      }
    } else {
      lit += code[j];
    }
  }
  i = j;
  if (j >= code.size()) return std::nullopt;
  return lit;
}

bool is_quote(char c) { return c == '\'' || c == '"' || c == '`'; }

// String literals of interpreter code, in order.
std::vector<std::string> code_literals(std::string_view code) {
  std::vector<std::string> out;
  for (std::size_t i = 0; i < code.size(); ++i) {
    if (!is_quote(code[i])) continue;
    std::optional<std::string> lit = read_literal(code, i);
    if (!lit) break;
    out.push_back(std::move(*lit));
  }
  return out;
}

bool is_name_char(char c) {
  return c == '_' || c == '$' || std::isalnum(static_cast<unsigned char>(c));
}

// The string literals the code gives names (cmd = "...", const p = '...',
// my $c = "..."), each with where it is given: a call given the name runs
// or deletes what the literal says. One pass over the code.
CodeNames code_names(std::string_view code) {
  CodeNames out;
  for (std::size_t i = 0; i < code.size(); ++i) {
    if (is_quote(code[i])) {
      if (!read_literal(code, i)) break;
      continue;
    }
    if (!is_name_char(code[i])) continue;
    std::size_t j = i;
    while (j < code.size() && is_name_char(code[j])) ++j;
    std::string_view name = code.substr(i, j - i);
    i = j - 1;
    std::size_t k = code.find_first_not_of(" \t", j);
    if (k == std::string_view::npos || code[k] != '=' ||
        (k + 1 < code.size() && code[k + 1] == '=')) {
      continue;
    }
    k = code.find_first_not_of(" \t", k + 1);
    if (k == std::string_view::npos || !is_quote(code[k])) continue;
    std::size_t at = k;
    std::optional<std::string> lit = read_literal(code, k);
    if (!lit) break;
    out[name].emplace_back(at, std::move(*lit));
    i = k;
  }
  return out;
}

// True when the name before the bracket or parenthesis that ends just
// before `at` in `text` reads the environment: os.environ["HOME"],
// getenv('HOME'), ENV['HOME'], Deno.env.get("HOME").
bool reads_environment(std::string_view text, std::size_t at) {
  std::size_t k = at;
  while (k > 0 && (text[k - 1] == ' ' || text[k - 1] == '[' ||
                   text[k - 1] == '(')) {
    --k;
  }
  std::size_t start = k;
  while (start > 0 && (is_name_char(text[start - 1]) || text[start - 1] == '.')) {
    --start;
  }
  std::string_view name = text.substr(start, k - start);
  return k < at &&
         (name.ends_with("environ") || name.ends_with("getenv") ||
          name.ends_with("ENV") || name.ends_with("env.get") ||
          name.ends_with("environ.get") || name.ends_with("process.env"));
}

// The values a call's arguments give, in order: its string literals, and
// for each name the code gave a literal before the call, that literal.
// The home directory (`home`, when known) stands for the expressions that
// find it: os.homedir(), Path.home(), Dir.home, process.env.HOME,
// $ENV{HOME}, os.environ["HOME"], expanduser("~/x").
// `span` is a view into `code`; `names` is read when first needed.
std::vector<std::string> call_values(std::string_view code,
                                     std::string_view span,
                                     std::optional<CodeNames>& names,
                                     std::string_view home) {
  std::vector<std::string> out;
  const std::size_t call_at = static_cast<std::size_t>(span.data() - code.data());
  const bool expands = !home.empty() &&
                       (span.find("expanduser") != std::string_view::npos ||
                        span.find("expand_path") != std::string_view::npos);
  // After the home: where it ended in `span`, and whether it is an
  // argument of a join(...) still open there. The literals that follow
  // it through / (pathlib) or, in a join, through commas are parts of
  // one path below it: join(os.homedir(), ".cache") is ~/.cache.
  std::size_t home_end = std::string_view::npos;
  bool in_join = false;
  auto note_home = [&](std::size_t end, std::string value) {
    out.push_back(std::move(value));
    home_end = end;
    std::size_t js = span.rfind("join(", end);
    int depth = 0;
    if (js != std::string_view::npos) {
      for (std::size_t k = js + 4; k < end; ++k) {
        depth += span[k] == '(' ? 1 : span[k] == ')' ? -1 : 0;
      }
    }
    in_join = depth > 0;
  };
  for (std::size_t i = 0; i < span.size(); ++i) {
    if (is_quote(span[i])) {
      std::size_t open = i;
      std::optional<std::string> lit = read_literal(span, i);
      if (!lit) break;
      if (!home.empty() && *lit == "HOME" && reads_environment(span, open)) {
        note_home(i + 1, std::string(home));
        continue;
      }
      if (expands && (*lit == "~" || lit->starts_with("~/"))) {
        note_home(i + 1, std::string(home) + lit->substr(1));
        continue;
      }
      if (home_end != std::string_view::npos) {
        std::string_view gap = span.substr(home_end, open - home_end);
        bool joins =
            gap.find_first_not_of(" \t()/,+") == std::string_view::npos &&
            (gap.find('/') != std::string_view::npos ||
             (in_join && gap.find(',') != std::string_view::npos));
        home_end = std::string_view::npos;
        if (joins && !lit->empty() && !out.empty()) {
          std::string_view part = *lit;
          while (part.starts_with('/')) part.remove_prefix(1);
          out.back() += "/" + std::string(part);
          home_end = i + 1;
          continue;
        }
      }
      out.push_back(std::move(*lit));
      continue;
    }
    if (!is_name_char(span[i])) continue;
    std::size_t j = i;
    while (j < span.size() && is_name_char(span[j])) ++j;
    std::string_view name = span.substr(i, j - i);
    // Not a method or a call of its own (x.name, name(...)), nor a number.
    bool member = i > 0 && span[i - 1] == '.';
    bool called = j < span.size() && (span[j] == '(' || span[j] == '.');
    bool number = std::isdigit(static_cast<unsigned char>(span[i])) != 0;
    i = j - 1;
    if (!home.empty()) {
      bool braced = i + 1 > name.size() && j < span.size() &&
                    span[j - name.size() - 1] == '{' && span[j] == '}';
      bool finds_home =
          (name == "HOME" && (member || braced)) ||
          (name == "homedir" && called) ||
          (name == "home" && member &&
           (called || span.substr(0, j).ends_with("Dir.home")));
      if (finds_home) {
        note_home(j, std::string(home));
        continue;
      }
    }
    if (member || called || number) continue;
    if (!names) names = code_names(code);
    auto it = names->find(name);
    if (it == names->end()) continue;
    // The last literal given before the call.
    for (auto given = it->second.rbegin(); given != it->second.rend(); ++given) {
      if (given->first < call_at) {
        out.push_back(given->second);
        break;
      }
    }
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

constexpr std::array<std::string_view, 8> kUnlinkCalls = {
    "os.remove",   "os.unlink", "unlinkSync", "fs.unlink",
    "File.delete", "unlink(",   "os.rmdir",   "FileUtils.rm("};
constexpr std::array<std::string_view, 8> kMoveCalls = {
    "os.rename", "os.replace",  "shutil.move",  "renameSync",
    "fs.rename", "File.rename", "FileUtils.mv", "rename("};
constexpr std::array<std::string_view, 7> kCopyCalls = {
    "shutil.copytree", "shutil.copy",    "copyFileSync", "fs.copyFile",
    "FileUtils.cp",    "IO.copy_stream", "copy("};

// True when the exec, system or spawn that ends at `pos` is a method of
// some object that runs no command.
bool runs_no_command(std::string_view code, std::string_view call,
                     std::size_t pos, Language lang) {
  // A method of some other object ($db->exec, /x/.exec) runs no
  // command; node's child_process.exec does.
  std::size_t at = pos - call.size();
  bool method = at > 0 && (code[at - 1] == '.' || code[at - 1] == '>');
  // Modules whose exec and system do run commands.
  std::size_t start = at > 1 ? at - 1 : 0;
  while (start > 0 &&
         (std::isalnum(static_cast<unsigned char>(code[start - 1])) ||
          code[start - 1] == '_')) {
    --start;
  }
  std::string_view owner =
      at > 1 ? code.substr(start, at - 1 - start) : std::string_view();
  bool runner = owner == "Kernel" || owner == "os" || owner == "subprocess" ||
                owner == "Process" || owner == "IO" || owner == "Open3" ||
                owner == "pty" || owner == "posix" || owner == "cp" ||
                owner == "child_process" || owner == "childProcess";
  if (method && !runner &&
      (lang != Language::kNode ||
       code.find("child_process") == std::string_view::npos)) {
    return true;
  }
  return false;
}

}  // namespace

void Follower::scan_code(std::string_view code, Language lang,
                         const Context& ctx) {
  if (ctx.depth > facts_.max_depth) {
    problem(ctx, "code nested too deep");
    return;
  }
  // Calls that run shell text.
  // Each call is read once, however many of the names match it
  // (os.system and system).
  std::vector<const char*> seen;
  std::optional<CodeNames> names;  // read when a call needs them
  scan_calls(code, lang, ctx, kExecCalls, {}, seen, names);
  scan_calls(code, lang, ctx, kDeleteCalls, {"rm", "-rf"}, seen, names);
  scan_calls(code, lang, ctx, kUnlinkCalls, {"rm"}, seen, names);
  scan_calls(code, lang, ctx, kMoveCalls, {"mv"}, seen, names);
  scan_calls(code, lang, ctx, kCopyCalls, {"cp"}, seen, names);
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
  if (lang == Language::kPerl) scan_perl_qx(code, ctx);
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
  if (lang == Language::kAwk) scan_awk(code, ctx);
  note_code_files(code, ctx);
}

// The calls named in `calls` in `code`, each read once (`seen` holds the
// argument texts read so far). `as`: empty for calls that run shell text;
// otherwise the command the call amounts to, given the call's string
// literals as operands.
void Follower::scan_calls(std::string_view code, Language lang,
                          const Context& ctx,
                          std::span<const std::string_view> calls,
                          const std::vector<std::string_view>& as,
                          std::vector<const char*>& seen,
                          std::optional<CodeNames>& names) {
  bool deletes = !as.empty();
  for (std::string_view call : calls) {
    std::size_t pos = 0;
    while ((pos = code.find(call, pos)) != std::string_view::npos) {
      std::size_t after = pos + call.size();
      bool boundary = word_boundary_before(code, pos) ||
                      call.find('.') != std::string_view::npos;
      pos = after;
      if (!boundary) continue;
      if ((call == "exec" || call == "system" || call == "spawn") &&
          runs_no_command(code, call, pos, lang)) {
        continue;
      }

      std::string_view span = call_span(code, after);
      if (span.empty() ||
          std::find(seen.begin(), seen.end(), span.data()) != seen.end()) {
        continue;
      }
      if (seen.size() >= 256) return;  // enough calls read from one text
      seen.push_back(span.data());
      // os.system(cmd) after cmd = "...": the name's literal.
      std::vector<std::string> lits =
          call_values(code, span, names, facts_.home);
      if (lits.empty()) continue;
      if (deletes) {
        push_code_operation(as, lits, ctx);
        continue;
      }
      follow_call_text(lits, ctx);
    }
  }
}

// A call that deletes, moves or copies files, as the command `as` with the
// call's string literals `lits` as operands.
void Follower::push_code_operation(const std::vector<std::string_view>& as,
                                   const std::vector<std::string>& lits,
                                   const Context& ctx) {
  std::vector<Word> run;
  for (std::string_view w : as) run.push_back(word_of(std::string(w)));
  for (const std::string& lit : lits) {
    if (lit.size() > 512 || run.size() > 16) break;
    run.push_back(word_of(lit.starts_with("~/") && !facts_.home.empty()
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
    return;
  }
  push(std::move(run), ctx, nullptr, std::move(extra));
}

// A call that runs shell text: its string literals joined, or the script
// of spawn('sh', ['-c', TEXT]).
void Follower::follow_call_text(const std::vector<std::string>& lits,
                                const Context& ctx) {
  if (lits.size() >= 3 && is_shell_program(program_name(word_of(lits[0]))) &&
      lits[1] == "-c") {
    // spawn('sh', ['-c', TEXT]): the third is the script.
    follow_text(lits[2], ctx);
    return;
  }
  std::string text;
  for (const std::string& lit : lits) {
    if (!text.empty()) text += ' ';
    text += lit;
  }
  follow_text(text, ctx);
}

// Perl's qx{TEXT}, qx(TEXT), qx/TEXT/.
void Follower::scan_perl_qx(std::string_view code, const Context& ctx) {
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

// awk: "cmd" | getline, and print ... | "cmd".
void Follower::scan_awk(std::string_view code, const Context& ctx) {
  // system(cmd), system($0): shell text awk builds from data Core can't
  // see. A string literal is followed below.
  for (std::size_t at = code.find("system"); at != std::string_view::npos;
       at = code.find("system", at + 1)) {
    if (at > 0 && (std::isalnum(static_cast<unsigned char>(code[at - 1])) ||
                   code[at - 1] == '_')) {
      continue;  // filesystem(, my_system(
    }
    std::size_t open = code.find_first_not_of(" \t", at + 6);
    if (open == std::string_view::npos || code[open] != '(') continue;
    std::size_t arg = code.find_first_not_of(" \t", open + 1);
    if (arg != std::string_view::npos && code[arg] != '"' && code[arg] != ')') {
      problem(ctx, "awk runs shell text Core can't know");
      break;
    }
  }
  // Printing into a shell makes every string printed a script.
  for (std::string_view shell_name :
       {"\"sh\"", "\"bash\"", "\"/bin/sh\"", "\"/bin/bash\"", "\"zsh\""}) {
    std::size_t at = code.find(shell_name);
    if (at == std::string_view::npos) continue;
    std::size_t b = code.find_last_not_of(" \t", at == 0 ? 0 : at - 1);
    if (b != std::string_view::npos && at > 0 &&
        (code[b] == '|' || (code[b] == '&' && b > 0 && code[b - 1] == '|'))) {
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
                    (before[b1] == '|' ||
                     (before[b1] == '&' && b1 > 0 && before[b1 - 1] == '|'));
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
void Follower::note_code_files(std::string_view code, const Context& ctx) {
  static constexpr std::string_view kUses[] = {
      "open",  "read",    "getline", "load",
      "copy",  "send",    "upload",  "post",
      "write", "File.",   "fs.",     "slurp",
      "cat",   "include", "require", "file_get_contents"};
  bool uses_files = false;
  for (std::string_view u : kUses) {
    uses_files = uses_files || code.find(u) != std::string_view::npos;
  }
  // awk's print > "FILE" and print >> "FILE".
  for (std::size_t at = code.find('>'); !uses_files && at != code.npos;
       at = code.find('>', at + 1)) {
    std::size_t next = code.find_first_not_of(" \t>", at);
    uses_files = next != code.npos && code[next] == '"';
  }
  if (!uses_files) return;
  // Code that decodes base64 may name its files that way:
  // open(base64.b64decode('LmVudg==').decode()) opens .env.
  bool decodes = code.find("b64decode") != std::string_view::npos ||
                 code.find("atob") != std::string_view::npos ||
                 code.find("base64") != std::string_view::npos;
  std::vector<Word> files{word_of(interpreter_name(ctx))};
  auto add = [&](const std::string& lit) {
    if (lit.empty() || lit.size() > 512 ||
        lit.find('\n') != std::string::npos) {
      return;
    }
    files.push_back(word_of(lit.starts_with("~/") && !facts_.home.empty()
                                ? facts_.home + lit.substr(1)
                                : lit));
  };
  // Code that finds the home directory itself (os.homedir(),
  // expanduser, $ENV{HOME}) names files there with relative literals,
  // whole or in parts: path.join(os.homedir(), '.claude', 'settings.json').
  bool finds_home = false;
  for (std::string_view h : {"HOME", "homedir", "expanduser", "home()",
                             "Dir.home", "getpwuid"}) {
    finds_home = finds_home || code.find(h) != std::string_view::npos;
  }
  finds_home = finds_home && !facts_.home.empty();
  std::string previous;
  for (const std::string& lit : code_literals(code)) {
    add(lit);
    // "$ENV{HOME}/.x", "${HOME}/.x", "#{ENV['HOME']}/.x": the home's .x.
    if (std::size_t h = lit.find("HOME"); finds_home && h != lit.npos) {
      std::size_t slash = lit.find('/', h);
      if (slash != lit.npos) add(facts_.home + lit.substr(slash));
    }
    if (finds_home && !lit.empty() && lit.size() < 256 && lit[0] != '~' &&
        lit.find("://") == std::string::npos) {
      std::string_view rel = lit;
      while (rel.starts_with('/')) rel.remove_prefix(1);
      if (!rel.empty()) add(facts_.home + "/" + std::string(rel));
      if (!previous.empty() && !rel.empty()) {
        add(facts_.home + "/" + previous + "/" + std::string(rel));
      }
      previous = std::string(rel);
    }
    if (decodes && lit.size() >= 4) {
      std::optional<std::string> plain = shell::decode_base64(lit);
      if (plain && !plain->empty() &&
          std::all_of(plain->begin(), plain->end(),
                      [](char c) { return c >= ' ' && c <= '~'; })) {
        add(*plain);
      }
    }
    if (files.size() > 64) break;
  }
  if (files.size() > 1) {
    RunCommand extra;
    extra.from_code = true;
    push(std::move(files), ctx, nullptr, std::move(extra));
  }
}

}  // namespace twk::core::commands
