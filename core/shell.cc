// The shell analyzer: a recursive-descent reader of Bash's grammar that
// expands words as it goes, with the state a shell would carry from one
// command to the next (variables, the working directory).
//
// Every character is looked at a bounded number of times: nested text
// ($(...), ${...}, here-document bodies) is read by a child reader over the
// same bytes, which the parent then skips. Recursion is bounded by
// Limits::max_nesting.
#include "shell.h"

#include <cstdint>
#include <deque>
#include <memory>

#include "twk/utf8.h"

namespace twk::core::shell {
namespace {

bool is_blank(char c) { return c == ' ' || c == '\t'; }
bool is_meta(char c) {
  return c == ' ' || c == '\t' || c == '\n' || c == ';' || c == '&' ||
         c == '|' || c == '<' || c == '>' || c == '(' || c == ')';
}
bool is_name_start(char c) {
  return (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || c == '_';
}
bool is_digit(char c) { return c >= '0' && c <= '9'; }
bool is_name_char(char c) { return is_name_start(c) || is_digit(c); }

int hex_value(char c) {
  if (c >= '0' && c <= '9') return c - '0';
  if (c >= 'a' && c <= 'f') return c - 'a' + 10;
  if (c >= 'A' && c <= 'F') return c - 'A' + 10;
  return -1;
}

// Backslash escapes as $'...', echo -e and printf know them. `i` points
// just past the backslash and is moved past the escape.
void decode_escape(std::string_view s, std::size_t& i, std::string& out,
                   bool ansi_c) {
  if (i >= s.size()) {
    out += '\\';
    return;
  }
  char c = s[i++];
  switch (c) {
    case 'n':
      out += '\n';
      return;
    case 't':
      out += '\t';
      return;
    case 'r':
      out += '\r';
      return;
    case 'a':
      out += '\a';
      return;
    case 'b':
      out += '\b';
      return;
    case 'f':
      out += '\f';
      return;
    case 'v':
      out += '\v';
      return;
    case 'e':
    case 'E':
      out += '\x1b';
      return;
    case '\\':
      out += '\\';
      return;
    case '\'':
      out += '\'';
      return;
    case '"':
      out += '"';
      return;
    case '?':
      out += '?';
      return;
    case 'x': {
      int v = 0, n = 0;
      while (n < 2 && i < s.size() && hex_value(s[i]) >= 0) {
        v = v * 16 + hex_value(s[i++]);
        ++n;
      }
      if (n == 0) {
        out += "\\x";
      } else {
        out += static_cast<char>(v);
      }
      return;
    }
    case 'u':
    case 'U': {
      std::uint32_t v = 0;
      int n = 0, max = c == 'u' ? 4 : 8;
      while (n < max && i < s.size() && hex_value(s[i]) >= 0) {
        v = v * 16 + static_cast<std::uint32_t>(hex_value(s[i++]));
        ++n;
      }
      if (n == 0) {
        out += '\\';
        out += c;
      } else {
        utf8::append(out, v);
      }
      return;
    }
    case 'c':
      if (ansi_c && i < s.size()) {
        out += static_cast<char>(s[i++] & 0x1F);
        return;
      }
      break;
    default:
      if (c >= '0' && c <= '7') {
        int v = c - '0', n = 1;
        while (n < 3 && i < s.size() && s[i] >= '0' && s[i] <= '7') {
          v = v * 8 + (s[i++] - '0');
          ++n;
        }
        out += static_cast<char>(v & 0xFF);
        return;
      }
      break;
  }
  out += '\\';
  out += c;
}

// Builds the fields of one word as its parts are read.
class Fields {
 public:
  void literal(std::string_view text, bool quoted) {
    cur_.text += text;
    started_ = true;
    if (quoted) cur_.quoted = true;
    // Text an earlier analysis made holds its unknown parts as kUnknown,
    // quoted or not; they stay unknown here.
    if (text.find(kUnknown) != std::string_view::npos) cur_.unknown = true;
  }
  void glob(char c) {
    cur_.text += c;
    cur_.glob = true;
    started_ = true;
  }
  void unknown(bool quoted) {
    cur_.text += kUnknown;
    cur_.unknown = true;
    started_ = true;
    if (quoted) cur_.quoted = true;
  }
  // An expansion's value; unquoted values are split into fields.
  void value(const std::optional<std::string>& v, bool quoted, bool split) {
    if (!v) {
      unknown(quoted);
      return;
    }
    if (quoted || !split) {
      literal(*v, quoted);
      return;
    }
    for (char c : *v) {
      if (c == ' ' || c == '\t' || c == '\n') {
        if (started_) flush();
      } else if (c == '*' || c == '?' || c == '[') {
        glob(c);
      } else {
        cur_.text += c;
        started_ = true;
        if (c == kUnknown) cur_.unknown = true;
      }
    }
  }
  void substitution(int group) { cur_.substitutions.push_back(group); }
  void mark_process() { cur_.process = true; }
  bool started() const { return started_; }
  std::vector<Word> finish() {
    if (started_) flush();
    return std::move(fields_);
  }
  // All fields as one word, for places where no splitting happens.
  Word joined() {
    std::vector<Word> all = finish();
    Word out;
    for (std::size_t i = 0; i < all.size(); ++i) {
      if (i > 0) out.text += ' ';
      out.text += all[i].text;
      out.unknown = out.unknown || all[i].unknown;
      out.glob = out.glob || all[i].glob;
      out.quoted = out.quoted || all[i].quoted;
      out.process = out.process || all[i].process;
      out.substitutions.insert(out.substitutions.end(),
                               all[i].substitutions.begin(),
                               all[i].substitutions.end());
    }
    return out;
  }

 private:
  void flush() {
    fields_.push_back(std::move(cur_));
    cur_ = Word{};
    started_ = false;
  }
  std::vector<Word> fields_;
  Word cur_;
  bool started_ = false;
};

// The shell's variables and directory, with an undo log: subshells,
// substitutions and pipeline stages roll back what they changed instead of
// copying the whole state on the way in.
class ShellState {
 public:
  const std::string& cwd() const { return cwd_; }
  // Nothing when the text never assigned `name`; else its value, or
  // nothing inside when the value is unknown.
  const std::optional<std::string>* var(std::string_view name) const {
    auto it = vars_.find(name);
    return it == vars_.end() ? nullptr : &it->second;
  }
  void set_var(std::string_view name, std::optional<std::string> value) {
    auto it = vars_.find(name);
    Undo u;
    u.name = std::string(name);
    if (it != vars_.end()) {
      u.had = true;
      u.old_value = std::move(it->second);
      it->second = std::move(value);
    } else {
      vars_.emplace(std::string(name), std::move(value));
    }
    undo_.push_back(std::move(u));
  }
  void set_cwd(std::string cwd) {
    Undo u;
    u.is_cwd = true;
    u.old_value = std::move(cwd_);
    undo_.push_back(std::move(u));
    cwd_ = std::move(cwd);
  }
  std::size_t mark() const { return undo_.size(); }
  void roll_back(std::size_t mark) {
    while (undo_.size() > mark) {
      Undo& u = undo_.back();
      if (u.is_cwd) {
        cwd_ = std::move(*u.old_value);
      } else if (u.had) {
        vars_.find(u.name)->second = std::move(u.old_value);
      } else {
        vars_.erase(u.name);
      }
      undo_.pop_back();
    }
  }

 private:
  struct Undo {
    bool is_cwd = false;
    bool had = false;  // the variable existed before
    std::string name;
    std::optional<std::string> old_value;
  };
  std::map<std::string, std::optional<std::string>, std::less<>> vars_;
  std::string cwd_;
  std::vector<Undo> undo_;
};

// What every reader of one analysis shares.
struct Shared {
  const Environment& env;
  const Limits& limits;
  Analysis& out;
  ShellState state;
  std::deque<std::string> texts;  // bodies read by child readers
  int next_group = 1;
  int next_pipeline = 1;
  bool stopped = false;  // a limit was hit or the text cannot be followed

  void problem(std::string what) {
    if (out.problems.size() < 8) out.problems.push_back(std::move(what));
  }
};

enum class Mode {
  kShell,     // command text
  kFragment,  // the word of ${NAME:-word}: blanks are part of the word
  kHereDoc,   // an unquoted here-document body: only $, ` and \ act
};

class Reader {
 public:
  Reader(Shared& shared, std::string_view text, std::size_t depth,
         unsigned place, int group)
      : sh_(shared), s_(text), depth_(depth), place_(place), group_(group) {}

  // Reads a whole command text.
  void run() {
    parse_list(Stop::kEnd);
    if (!sh_.stopped && i_ < s_.size()) {
      sh_.problem("unexpected \"" + std::string(1, s_[i_]) + "\"");
      sh_.stopped = true;
    }
  }

  // Expands the whole text as one word (kFragment or kHereDoc).
  Word expand(Mode mode, bool quoted) {
    mode_ = mode;
    Fields f;
    if (mode == Mode::kHereDoc) {
      while (i_ < s_.size() && !sh_.stopped) {
        char c = s_[i_];
        if (c == '\\' && i_ + 1 < s_.size() &&
            (s_[i_ + 1] == '$' || s_[i_ + 1] == '`' || s_[i_ + 1] == '\\')) {
          f.literal(s_.substr(i_ + 1, 1), true);
          i_ += 2;
        } else if (c == '\\' && i_ + 1 < s_.size() && s_[i_ + 1] == '\n') {
          i_ += 2;
        } else if (c == '$') {
          read_dollar(f, true);
        } else if (c == '`') {
          read_backtick(f, true);
        } else {
          f.literal(s_.substr(i_, 1), true);
          ++i_;
        }
      }
      return f.joined();
    }
    read_word_parts(f, quoted, false);
    return f.joined();
  }

 private:
  enum class Stop { kEnd, kParen, kCase };

  bool at_end() const { return i_ >= s_.size() || sh_.stopped; }
  char peek(std::size_t ahead = 0) const {
    return i_ + ahead < s_.size() ? s_[i_ + ahead] : '\0';
  }

  bool enter() {
    if (depth_ + 1 > sh_.limits.max_nesting) {
      sh_.problem("nesting deeper than " +
                  std::to_string(sh_.limits.max_nesting) + " levels");
      sh_.stopped = true;
      return false;
    }
    ++depth_;
    return true;
  }
  void leave() { --depth_; }

  void skip_blanks() {
    while (!at_end()) {
      char c = s_[i_];
      if (is_blank(c)) {
        ++i_;
      } else if (c == '\\' && peek(1) == '\n') {
        i_ += 2;
      } else {
        break;
      }
    }
  }
  // Blanks and a comment up to (not including) the newline.
  void skip_blanks_and_comment() {
    skip_blanks();
    if (!at_end() && s_[i_] == '#') {
      while (i_ < s_.size() && s_[i_] != '\n') ++i_;
    }
  }
  void newline() {
    ++i_;
    read_here_docs();
  }
  void skip_newlines() {
    for (;;) {
      skip_blanks_and_comment();
      if (!at_end() && s_[i_] == '\n') {
        newline();
      } else {
        return;
      }
    }
  }

  // The reserved word at the cursor, if one is there in command position.
  std::string_view keyword() const {
    static constexpr std::string_view kWords[] = {
        "if",    "then",  "else", "elif",   "fi",   "do",    "done",
        "while", "until", "for",  "select", "case", "esac",  "function",
        "{",     "}",     "!",    "[[",     "time", "coproc"};
    if (i_ >= s_.size()) return {};
    // Most commands start with a letter no reserved word starts with.
    char c0 = s_[i_];
    if (std::string_view("tedfwusc{}![").find(c0) == std::string_view::npos &&
        c0 != 'i') {
      return {};
    }
    for (std::string_view w : kWords) {
      if (w[0] != c0 || s_.substr(i_, w.size()) != w) continue;
      std::size_t end = i_ + w.size();
      if (end >= s_.size()) return w;
      char n = s_[end];
      if (w == "{" || w == "!" || w == "[[") {
        if (is_blank(n) || n == '\n') return w;
      } else if (is_meta(n)) {
        return w;
      }
    }
    return {};
  }

  void missing_command() {
    if (sh_.stopped) return;
    sh_.problem("the text ends where a command should follow");
    sh_.stopped = true;
  }

  bool at_case_end() const {
    return s_.substr(i_, 2) == ";;" || s_.substr(i_, 2) == ";&";
  }

  // list: and-or lists separated by ; & or newlines.
  void parse_list(Stop stop) {
    for (;;) {
      skip_newlines();
      if (at_end()) return;
      char c = s_[i_];
      if (c == ')') {
        if (stop == Stop::kParen) return;
        sh_.problem("unexpected \")\"");
        sh_.stopped = true;
        return;
      }
      if (stop == Stop::kCase && (at_case_end() || keyword() == "esac")) {
        return;
      }
      if (c == ';' || c == '&' || c == '|') {
        sh_.problem("unexpected \"" + std::string(1, c) + "\"");
        sh_.stopped = true;
        return;
      }
      std::size_t first = sh_.out.commands.size();
      parse_and_or();
      skip_blanks_and_comment();
      if (at_end()) return;
      c = s_[i_];
      if (c == '&' && peek(1) != '&' && peek(1) != '>') {
        ++i_;
        for (std::size_t k = first; k < sh_.out.commands.size(); ++k) {
          sh_.out.commands[k].place |= kBackground;
        }
      } else if (c == ';' && !(stop == Stop::kCase && at_case_end())) {
        ++i_;
      } else if (c == '\n') {
        newline();
      } else if (c == ')' || (stop == Stop::kCase && at_case_end())) {
        continue;  // handled at the top
      } else {
        sh_.problem("unexpected \"" + std::string(1, c) + "\"");
        sh_.stopped = true;
        return;
      }
    }
  }

  void parse_and_or() {
    unsigned saved = place_;
    for (;;) {
      parse_pipeline();
      skip_blanks();
      if (at_end()) break;
      if ((peek() == '&' && peek(1) == '&') ||
          (peek() == '|' && peek(1) == '|')) {
        i_ += 2;
        place_ |= kInCondition;
        skip_newlines();
        if (at_end()) missing_command();
        continue;
      }
      break;
    }
    place_ = saved;
  }

  void parse_pipeline() {
    int id = sh_.next_pipeline++;
    int saved_pipeline = pipeline_, saved_stage = stage_;
    pipeline_ = id;
    stage_ = 0;
    std::size_t first = sh_.out.commands.size();
    std::size_t before = sh_.state.mark();
    bool multi = false;
    for (;;) {
      std::size_t stage_first = sh_.out.commands.size();
      parse_command();
      skip_blanks();
      if (at_end() || peek() != '|' || peek(1) == '|') break;
      bool with_stderr = peek(1) == '&';
      i_ += with_stderr ? 2 : 1;
      if (with_stderr) {
        for (std::size_t k = stage_first; k < sh_.out.commands.size(); ++k) {
          if (sh_.out.commands[k].pipeline == id) {
            sh_.out.commands[k].stderr_piped = true;
          }
        }
      }
      // Each stage of a pipeline runs in a subshell of its own.
      multi = true;
      sh_.state.roll_back(before);
      ++stage_;
      skip_newlines();
      if (at_end()) missing_command();
    }
    if (multi) {
      sh_.state.roll_back(before);
      for (std::size_t k = first; k < sh_.out.commands.size(); ++k) {
        if (sh_.out.commands[k].pipeline == id) {
          sh_.out.commands[k].place |= kInPipeline;
        }
      }
    }
    pipeline_ = saved_pipeline;
    stage_ = saved_stage;
  }

  void parse_command() {
    for (;;) {
      skip_blanks();
      if (at_end()) return;
      char c = s_[i_];
      if (c == '(') {
        if (peek(1) == '(') {
          skip_arithmetic_command();
          parse_trailing_redirects();
          return;
        }
        ++i_;
        if (!enter()) return;
        std::size_t saved = sh_.state.mark();
        unsigned saved_place = place_;
        place_ |= kInSubshell;
        parse_list(Stop::kParen);
        place_ = saved_place;
        sh_.state.roll_back(saved);
        leave();
        if (at_end()) {
          if (!sh_.stopped) sh_.problem("a \"(\" is never closed");
          sh_.stopped = true;
          return;
        }
        ++i_;  // ')'
        parse_trailing_redirects();
        return;
      }
      std::string_view kw = keyword();
      if (kw.empty()) {
        parse_simple();
        return;
      }
      i_ += kw.size();
      if (kw == "for" || kw == "select") {
        parse_for();
        return;
      }
      if (kw == "case") {
        parse_case();
        return;
      }
      if (kw == "function") {
        parse_function_keyword();
        return;
      }
      if (kw == "[[") {
        parse_test();
        return;
      }
      if (kw == "fi" || kw == "done" || kw == "esac" || kw == "}") {
        parse_trailing_redirects();
        return;
      }
      // if, then, else, elif, do, while, until, {, !, time, coproc: what
      // follows is a command of its own.
      if (kw != "{" && kw != "!" && kw != "time" && kw != "coproc") {
        place_ |= kInCondition;
      }
      if (kw == "time") {
        skip_blanks();
        if (s_.substr(i_, 2) == "-p" &&
            (i_ + 2 >= s_.size() || is_meta(s_[i_ + 2]))) {
          i_ += 2;
        }
      }
      skip_newlines();
      if (at_end()) return;
      c = s_[i_];
      if (c == ';' || c == '&' || c == '|' || c == ')') return;
    }
  }

  // Redirections after a compound command are read but belong to no
  // simple command: their targets still expand (and may run substitutions).
  void parse_trailing_redirects() {
    for (;;) {
      skip_blanks();
      if (at_end()) return;
      Command scratch;
      if (!try_redirect(scratch, SIZE_MAX)) return;
    }
  }

  void skip_arithmetic_command() {
    // (( ... )): arithmetic; its value is of no interest.
    int level = 0;
    while (i_ < s_.size()) {
      char c = s_[i_++];
      if (c == '(') {
        ++level;
      } else if (c == ')') {
        if (--level == 0) return;
      }
    }
    sh_.problem("a \"((\" is never closed");
    sh_.stopped = true;
  }

  void parse_for() {
    skip_blanks();
    std::size_t start = i_;
    while (i_ < s_.size() && is_name_char(s_[i_])) ++i_;
    std::string name(s_.substr(start, i_ - start));
    if (name.empty()) {
      // for (( ... )): arithmetic loop header.
      if (peek() == '(' && peek(1) == '(') {
        skip_arithmetic_command();
      }
      place_ |= kInCondition;
      return;
    }
    skip_newlines();
    if (s_.substr(i_, 2) == "in" &&
        (i_ + 2 >= s_.size() || is_meta(s_[i_ + 2]))) {
      i_ += 2;
      for (;;) {
        skip_blanks();
        if (at_end() || s_[i_] == ';' || s_[i_] == '\n') break;
        Fields f;
        read_word_parts(f, false, true);
        (void)f.finish();
        if (i_ < s_.size() && is_meta(s_[i_]) && !is_blank(s_[i_]) &&
            s_[i_] != ';' && s_[i_] != '\n') {
          break;
        }
      }
    }
    sh_.state.set_var(name, std::nullopt);
    place_ |= kInCondition;
  }

  void parse_case() {
    skip_blanks();
    {
      Fields f;
      read_word_parts(f, false, true);
      (void)f.finish();
    }
    skip_newlines();
    if (s_.substr(i_, 2) != "in") {
      sh_.problem("a case without \"in\"");
      sh_.stopped = true;
      return;
    }
    i_ += 2;
    unsigned saved = place_;
    place_ |= kInCondition;
    for (;;) {
      skip_newlines();
      if (at_end()) {
        if (!sh_.stopped) sh_.problem("a case is never closed with esac");
        sh_.stopped = true;
        break;
      }
      if (keyword() == "esac") {
        i_ += 4;
        break;
      }
      if (peek() == '(') ++i_;
      // The patterns, up to the unquoted ")".
      for (;;) {
        skip_blanks();
        if (at_end()) break;
        if (s_[i_] == ')') {
          ++i_;
          break;
        }
        if (s_[i_] == '|') {
          ++i_;
          continue;
        }
        std::size_t before = i_;
        Fields f;
        read_word_parts(f, false, true);
        (void)f.finish();
        if (i_ == before) {
          sh_.problem("a case pattern that cannot be read");
          sh_.stopped = true;
          break;
        }
      }
      parse_list(Stop::kCase);
      if (at_case_end()) {
        i_ += 2;
        if (peek() == '&') ++i_;
      }
    }
    place_ = saved;
    parse_trailing_redirects();
  }

  void parse_function_keyword() {
    skip_blanks();
    std::size_t start = i_;
    while (i_ < s_.size() && !is_meta(s_[i_])) ++i_;
    std::string name(s_.substr(start, i_ - start));
    skip_blanks();
    if (peek() == '(' && peek(1) == ')') i_ += 2;
    parse_function_body(std::move(name));
  }

  // The body is read where it is defined, in the state there; its commands
  // carry the function's name, so that callers of the analysis can tell
  // whether anything calls it.
  void parse_function_body(std::string name) {
    skip_newlines();
    if (!enter()) return;
    std::size_t saved = sh_.state.mark();
    unsigned saved_place = place_;
    std::string saved_function = std::move(function_);
    function_ = std::move(name);
    place_ |= kInFunction;
    parse_command();
    place_ = saved_place;
    function_ = std::move(saved_function);
    sh_.state.roll_back(saved);
    leave();
  }

  // [[ ... ]]: words up to "]]", as a command named "[[".
  void parse_test() {
    Command cmd = new_command();
    cmd.argv.push_back(Word{"[[", false, false, false, {}, false});
    for (;;) {
      skip_blanks();
      while (!at_end() && s_[i_] == '\n') newline();
      skip_blanks();
      if (at_end()) break;
      if (s_.substr(i_, 2) == "]]") {
        i_ += 2;
        break;
      }
      char c = s_[i_];
      if (c == '&' || c == '|' || c == '(' || c == ')' || c == '<' ||
          c == '>' || c == ';') {
        ++i_;
        continue;
      }
      Fields f;
      read_word_parts(f, false, true);
      cmd.argv.push_back(f.joined());
    }
    emit(std::move(cmd));
  }

  Command new_command() const {
    Command cmd;
    cmd.place = place_;
    cmd.group = group_;
    cmd.pipeline = pipeline_;
    cmd.stage = stage_;
    cmd.cwd = sh_.state.cwd();
    cmd.function = function_;
    return cmd;
  }

  void emit(Command cmd) {
    if (sh_.out.commands.size() >= sh_.limits.max_commands) {
      sh_.problem("more than " + std::to_string(sh_.limits.max_commands) +
                  " commands");
      sh_.stopped = true;
      return;
    }
    sh_.out.commands.push_back(std::move(cmd));
  }

  // NAME= or NAME+= at the cursor: the length up to and including '='.
  std::size_t assignment_length() const {
    if (i_ >= s_.size() || !is_name_start(s_[i_])) return 0;
    std::size_t j = i_ + 1;
    while (j < s_.size() && is_name_char(s_[j])) ++j;
    if (j < s_.size() && s_[j] == '=') return j + 1 - i_;
    if (j + 1 < s_.size() && s_[j] == '+' && s_[j + 1] == '=') {
      return j + 2 - i_;
    }
    return 0;
  }

  void parse_simple() {
    Command cmd = new_command();
    cmd.argv.reserve(4);
    std::size_t index = sh_.out.commands.size();
    // Filled in as here-documents are read; the command is emitted first so
    // that their bodies can find it.
    for (;;) {
      skip_blanks();
      if (at_end()) break;
      char c = s_[i_];
      if (c == '#' && cmd.argv.empty() && cmd.assignments.empty() &&
          cmd.redirects.empty()) {
        skip_blanks_and_comment();
        break;
      }
      if (c == '#') {
        skip_blanks_and_comment();
        break;
      }
      if ((c == '<' || c == '>') && peek(1) == '(') {
        Fields f;
        read_process_substitution(f);
        read_word_parts(f, false, true);
        for (Word& w : f.finish()) cmd.argv.push_back(std::move(w));
        continue;
      }
      if (try_redirect(cmd, index)) continue;
      if (is_meta(c)) {
        if (c == '(' && cmd.argv.size() == 1 && cmd.assignments.empty()) {
          // name () body: a function definition.
          std::size_t j = i_ + 1;
          while (j < s_.size() && is_blank(s_[j])) ++j;
          if (j < s_.size() && s_[j] == ')') {
            i_ = j + 1;
            parse_function_body(cmd.argv[0].text);
            return;
          }
        }
        break;
      }
      if (cmd.argv.empty()) {
        std::size_t len = assignment_length();
        if (len > 0) {
          std::string name(s_.substr(i_, len - 1));
          bool append = name.back() == '+';
          if (append) name.pop_back();
          i_ += len;
          Word value;
          if (peek() == '(') {
            skip_balanced_parens();
            value.text.assign(1, kUnknown);
            value.unknown = true;
          } else {
            Fields f;
            read_word_parts(f, false, false, /*tilde=*/true);
            value = f.joined();
          }
          if (append) {
            value.text.insert(0, 1, kUnknown);
            value.unknown = true;
          }
          cmd.assignments.emplace_back(std::move(name), std::move(value));
          continue;
        }
      }
      Fields f;
      read_word_parts(f, false, true, /*tilde=*/true);
      for (Word& w : f.finish()) cmd.argv.push_back(std::move(w));
    }
    apply_effects(cmd);
    if (!cmd.argv.empty() || !cmd.assignments.empty() ||
        !cmd.redirects.empty()) {
      // Here-documents recorded against `index` must land on this command.
      if (sh_.out.commands.size() != index) {
        fix_pending(index, sh_.out.commands.size());
      }
      emit(std::move(cmd));
    }
  }

  void fix_pending(std::size_t from, std::size_t to) {
    for (Pending& p : pending_) {
      if (p.command == from) p.command = to;
    }
  }

  // What a command does to the shell that runs it: assignments without a
  // command set variables; cd changes the directory.
  void apply_effects(const Command& cmd) {
    if (cmd.argv.empty()) {
      for (const auto& [name, value] : cmd.assignments) {
        if (value.unknown) {
          sh_.state.set_var(name, std::nullopt);
        } else {
          sh_.state.set_var(name, value.text);
        }
      }
      return;
    }
    std::size_t at = 0;
    while (at + 1 < cmd.argv.size() && !cmd.argv[at].unknown &&
           (cmd.argv[at].text == "builtin" || cmd.argv[at].text == "command")) {
      ++at;  // builtin cd, command cd
    }
    const Word& first = cmd.argv[at];
    if (first.unknown || first.text.empty()) return;
    // Only export, declare, typeset, local, readonly, cd, pushd and popd
    // change the shell; most commands start with another letter.
    if (std::string_view("edtlrcp").find(first.text[0]) ==
        std::string_view::npos) {
      return;
    }
    if (first.text == "export" || first.text == "declare" ||
        first.text == "typeset" || first.text == "local" ||
        first.text == "readonly") {
      // export NAME=value and its kin assign like NAME=value does.
      for (std::size_t k = at + 1; k < cmd.argv.size(); ++k) {
        const Word& w = cmd.argv[k];
        std::size_t eq = w.text.find('=');
        if (eq == std::string::npos || eq == 0 || w.text[0] == '-') continue;
        std::string_view name = std::string_view(w.text).substr(0, eq);
        if (name.back() == '+') continue;
        bool valid = is_name_start(name[0]);
        for (char c : name) valid = valid && is_name_char(c);
        if (!valid) continue;
        if (w.unknown || w.glob) {
          sh_.state.set_var(name, std::nullopt);
        } else {
          sh_.state.set_var(name, w.text.substr(eq + 1));
        }
      }
      return;
    }
    if (first.text == "cd" || first.text == "pushd") {
      const Word* target = nullptr;
      for (std::size_t k = at + 1; k < cmd.argv.size(); ++k) {
        const std::string& t = cmd.argv[k].text;
        if (t == "--") {
          if (k + 1 < cmd.argv.size()) target = &cmd.argv[k + 1];
          break;
        }
        if (t.size() > 1 && t[0] == '-') continue;
        target = &cmd.argv[k];
        break;
      }
      if (target == nullptr) {
        std::optional<std::string> home = lookup("HOME");
        sh_.state.set_cwd(home ? resolve_path("/", *home) : std::string());
      } else if (target->unknown || target->glob || target->text == "-") {
        sh_.state.set_cwd(std::string());
      } else {
        std::string cwd = resolve_path(sh_.state.cwd(), target->text);
        // A directory no system would accept is as good as unknown, and
        // keeps cd a; cd a; ... from growing every command's copy of it.
        if (cwd.size() > 4096) cwd.clear();
        sh_.state.set_cwd(std::move(cwd));
      }
    } else if (first.text == "popd") {
      sh_.state.set_cwd(std::string());
    }
  }

  // Steps over a balanced ( ... ) whose value is of no interest (an
  // arithmetic expression, an array); substitutions inside it still run
  // and are read as commands.
  void skip_balanced_parens() {
    int level = 0;
    while (i_ < s_.size() && !sh_.stopped) {
      char c = s_[i_];
      if (c == '\\') {
        i_ += 2;
        continue;
      }
      if ((c == '$' && peek(1) == '(' && peek(2) != '(') || c == '`') {
        Fields scratch;
        if (c == '$') {
          read_dollar(scratch, true);
        } else {
          read_backtick(scratch, true);
        }
        continue;
      }
      if (c == '\'' || c == '"') {
        Fields scratch;
        read_word_parts(scratch, false, false);
        continue;
      }
      ++i_;
      if (c == '(') {
        ++level;
      } else if (c == ')' && --level == 0) {
        return;
      }
    }
    sh_.problem("a \"(\" is never closed");
    sh_.stopped = true;
  }

  // A redirection at the cursor, added to `cmd`; false when there is none.
  bool try_redirect(Command& cmd, std::size_t index) {
    std::size_t j = i_;
    int fd = -1;
    if (j < s_.size() && is_digit(s_[j])) {
      std::size_t k = j;
      int v = 0;
      while (k < s_.size() && is_digit(s_[k]) && k - j < 4) {
        v = v * 10 + (s_[k] - '0');
        ++k;
      }
      if (k < s_.size() && (s_[k] == '<' || s_[k] == '>')) {
        fd = v;
        j = k;
      } else {
        return false;
      }
    } else if (j + 1 < s_.size() && s_[j] == '&' && s_[j + 1] == '>') {
      ++j;  // &> and &>>: output and errors
    } else if (j < s_.size() && s_[j] == '{') {
      // {varname}>file
      std::size_t k = j + 1;
      while (k < s_.size() && is_name_char(s_[k])) ++k;
      if (k > j + 1 && k + 1 < s_.size() && s_[k] == '}' &&
          (s_[k + 1] == '<' || s_[k + 1] == '>')) {
        j = k + 1;
      } else {
        return false;
      }
    }
    if (j >= s_.size() || (s_[j] != '<' && s_[j] != '>')) return false;
    std::string_view rest = s_.substr(j);
    RedirectKind kind;
    std::size_t len = 1;
    bool heredoc_strip = false;
    if (rest.starts_with("<<<")) {
      kind = RedirectKind::kHereString;
      len = 3;
    } else if (rest.starts_with("<<-")) {
      kind = RedirectKind::kHereDoc;
      heredoc_strip = true;
      len = 3;
    } else if (rest.starts_with("<<")) {
      kind = RedirectKind::kHereDoc;
      len = 2;
    } else if (rest.starts_with("<>")) {
      kind = RedirectKind::kReadWrite;
      len = 2;
    } else if (rest.starts_with("<&") || rest.starts_with(">&")) {
      kind = RedirectKind::kDuplicate;
      len = 2;
    } else if (rest.starts_with(">>")) {
      kind = RedirectKind::kAppend;
      len = 2;
    } else if (rest.starts_with(">|")) {
      kind = RedirectKind::kOutput;
      len = 2;
    } else if (rest[0] == '<') {
      kind = RedirectKind::kInput;
    } else {
      kind = RedirectKind::kOutput;
    }
    i_ = j + len;
    skip_blanks();
    if (at_end() || (is_meta(s_[i_]) &&
                     !((s_[i_] == '<' || s_[i_] == '>') && peek(1) == '('))) {
      sh_.problem("a redirection without a target");
      sh_.stopped = true;
      return true;
    }
    Redirect r;
    r.fd = fd;
    r.kind = kind;
    if (kind == RedirectKind::kHereDoc) {
      std::size_t start = i_;
      while (i_ < s_.size() && !is_meta(s_[i_])) {
        if (s_[i_] == '\'' || s_[i_] == '"') {
          char q = s_[i_++];
          while (i_ < s_.size() && s_[i_] != q) ++i_;
          if (i_ < s_.size()) ++i_;
        } else if (s_[i_] == '\\' && i_ + 1 < s_.size()) {
          i_ += 2;
        } else {
          ++i_;
        }
      }
      std::string_view raw = s_.substr(start, i_ - start);
      Pending p;
      p.quoted = raw.find_first_of("'\"\\") != std::string_view::npos;
      for (std::size_t k = 0; k < raw.size(); ++k) {
        char c = raw[k];
        if (c == '\'' || c == '"') continue;
        if (c == '\\' && k + 1 < raw.size()) c = raw[++k];
        p.delimiter += c;
      }
      p.strip = heredoc_strip;
      p.command = index;
      p.redirect = cmd.redirects.size();
      if (index != SIZE_MAX) pending_.push_back(std::move(p));
    } else if ((s_[i_] == '<' || s_[i_] == '>') && peek(1) == '(') {
      Fields f;
      read_process_substitution(f);
      r.target = f.joined();
    } else {
      Fields f;
      read_word_parts(f, false, false, /*tilde=*/true);
      r.target = f.joined();
      if (kind == RedirectKind::kHereString) r.target.text += '\n';
    }
    cmd.redirects.push_back(std::move(r));
    return true;
  }

  // Here-document bodies start on the line after their operator.
  void read_here_docs() {
    if (pending_.empty()) return;
    std::vector<Pending> pending = std::move(pending_);
    pending_.clear();
    for (Pending& p : pending) {
      std::string body;
      bool closed = false;
      while (i_ < s_.size()) {
        std::size_t eol = s_.find('\n', i_);
        std::size_t end = eol == std::string_view::npos ? s_.size() : eol;
        std::string_view line = s_.substr(i_, end - i_);
        i_ = eol == std::string_view::npos ? s_.size() : eol + 1;
        if (p.strip) {
          while (!line.empty() && line[0] == '\t') line.remove_prefix(1);
        }
        if (line == p.delimiter) {
          closed = true;
          break;
        }
        body += line;
        body += '\n';
      }
      (void)closed;  // bash takes an unclosed body to the end, and so do we
      Word target;
      if (p.quoted) {
        target.text = std::move(body);
        target.quoted = true;
        target.unknown = target.text.find(kUnknown) != std::string::npos;
      } else {
        sh_.texts.push_back(std::move(body));
        Reader child(sh_, sh_.texts.back(), depth_, place_ | kInHereDoc,
                     group_);
        if (!enter()) return;
        target = child.expand(Mode::kHereDoc, true);
        leave();
      }
      if (p.command < sh_.out.commands.size()) {
        Command& cmd = sh_.out.commands[p.command];
        if (p.redirect < cmd.redirects.size()) {
          cmd.redirects[p.redirect].target = std::move(target);
        }
      }
    }
  }

  std::optional<std::string> lookup(std::string_view name) const {
    if (const std::optional<std::string>* v = sh_.state.var(name)) return *v;
    if (name == "PWD" && !sh_.state.cwd().empty()) return sh_.state.cwd();
    auto env = sh_.env.variables.find(name);
    if (env != sh_.env.variables.end()) return env->second;
    return std::nullopt;
  }

  // Reads the parts of one word into `f`. `quoted` is set inside double
  // quotes; `split` says whether unquoted expansions split into fields.
  void read_word_parts(Fields& f, bool quoted, bool split, bool tilde = false) {
    bool at_start = true;
    while (!at_end()) {
      char c = s_[i_];
      if (mode_ == Mode::kShell && is_meta(c)) break;
      switch (c) {
        case '\\':
          if (peek(1) == '\n') {
            i_ += 2;
          } else if (i_ + 1 < s_.size()) {
            f.literal(s_.substr(i_ + 1, 1), true);
            i_ += 2;
          } else {
            f.literal("\\", false);
            ++i_;
          }
          break;
        case '\'': {
          std::size_t end = s_.find('\'', i_ + 1);
          if (end == std::string_view::npos) {
            sh_.problem("a single quote is never closed");
            sh_.stopped = true;
            f.literal(s_.substr(i_ + 1), true);
            i_ = s_.size();
            return;
          }
          f.literal(s_.substr(i_ + 1, end - i_ - 1), true);
          i_ = end + 1;
          break;
        }
        case '"':
          ++i_;
          if (!enter()) return;
          read_double_quoted(f);
          leave();
          break;
        case '$':
          read_dollar(f, quoted, split);
          break;
        case '`':
          read_backtick(f, quoted);
          break;
        case '~':
          if (at_start && tilde) {
            read_tilde(f);
          } else {
            f.literal("~", false);
            ++i_;
          }
          break;
        case '*':
        case '?':
          f.glob(c);
          ++i_;
          break;
        case '[':
          // A bracket expression only when a ']' closes it in this word.
          if (closes_bracket()) {
            f.glob(c);
          } else {
            f.literal("[", false);
          }
          ++i_;
          break;
        case '{':
          if (is_brace_expansion()) {
            f.glob('{');
          } else {
            f.literal("{", false);
          }
          ++i_;
          break;
        case kUnknown:
          // Text built by an earlier analysis: a part that was unknown there.
          f.unknown(quoted);
          ++i_;
          break;
        default:
          f.literal(s_.substr(i_, 1), false);
          ++i_;
          break;
      }
      at_start = false;
      // Tilde expansion also follows ':' and '=' in assignments.
      if (tilde && (c == ':' || c == '=')) at_start = true;
    }
  }

  bool closes_bracket() const {
    for (std::size_t j = i_ + 1; j < s_.size() && j - i_ < 256; ++j) {
      if (s_[j] == ']') return true;
      if (is_meta(s_[j])) return false;
    }
    return false;
  }

  bool is_brace_expansion() const {
    int level = 0;
    bool sep = false;
    for (std::size_t j = i_; j < s_.size() && j - i_ < 4096; ++j) {
      char c = s_[j];
      if (is_meta(c) || c == '\'' || c == '"') return false;
      if (c == '{') ++level;
      if (c == '}' && --level == 0) return sep;
      if (level == 1 &&
          (c == ',' || (c == '.' && j + 1 < s_.size() && s_[j + 1] == '.'))) {
        sep = true;
      }
    }
    return false;
  }

  void read_tilde(Fields& f) {
    std::size_t j = i_ + 1;
    while (j < s_.size() && !is_meta(s_[j]) && s_[j] != '/' && s_[j] != ':') {
      ++j;
    }
    std::string_view user = s_.substr(i_ + 1, j - i_ - 1);
    i_ = j;
    if (user.empty()) {
      std::optional<std::string> home = lookup("HOME");
      if (home) {
        f.literal(*home, true);
      } else {
        f.unknown(true);
      }
    } else if (user == "root") {
      f.literal("/root", true);
    } else if (user == "+") {
      f.value(sh_.state.cwd().empty() ? std::nullopt
                                      : std::optional(sh_.state.cwd()),
              true, false);
    } else {
      f.unknown(true);  // another user's home, or ~- and friends
    }
  }

  void read_double_quoted(Fields& f) {
    bool empty = true;
    while (i_ < s_.size() && !sh_.stopped) {
      char c = s_[i_];
      if (c == '"') {
        ++i_;
        if (empty) f.literal("", true);
        return;
      }
      empty = false;
      if (c == '\\') {
        char n = peek(1);
        if (n == '\n') {
          i_ += 2;
        } else if (n == '$' || n == '`' || n == '"' || n == '\\') {
          f.literal(s_.substr(i_ + 1, 1), true);
          i_ += 2;
        } else {
          f.literal("\\", true);
          ++i_;
        }
      } else if (c == '$') {
        read_dollar(f, true);
      } else if (c == '`') {
        read_backtick(f, true);
      } else {
        std::size_t j = i_;
        while (j < s_.size() && s_[j] != '"' && s_[j] != '\\' && s_[j] != '$' &&
               s_[j] != '`') {
          ++j;
        }
        f.literal(s_.substr(i_, j - i_), true);
        i_ = j;
      }
    }
    if (!sh_.stopped) sh_.problem("a double quote is never closed");
    sh_.stopped = true;
  }

  void read_dollar(Fields& f, bool quoted, bool split = true) {
    char n = peek(1);
    if (n == '\'' && !quoted) {
      // $'...': ANSI-C quoting.
      i_ += 2;
      std::string out;
      while (i_ < s_.size() && s_[i_] != '\'') {
        if (s_[i_] == '\\') {
          ++i_;
          decode_escape(s_, i_, out, true);
        } else {
          out += s_[i_++];
        }
      }
      if (i_ >= s_.size()) {
        sh_.problem("a $' quote is never closed");
        sh_.stopped = true;
      } else {
        ++i_;
      }
      f.literal(out, true);
      return;
    }
    if (n == '"' && !quoted) {
      i_ += 2;
      if (!enter()) return;
      read_double_quoted(f);
      leave();
      return;
    }
    if (n == '(' && peek(2) == '(') {
      // $(( ... )): arithmetic; the value is unknown, but substitutions
      // inside it still run.
      i_ += 1;
      std::size_t start = i_;
      skip_balanced_parens();
      (void)start;
      f.unknown(quoted);
      return;
    }
    if (n == '(') {
      i_ += 2;
      int group = 0;
      std::optional<std::string> value =
          substitution(kInSubstitution, Stop::kParen, group);
      if (group > 0) f.substitution(group);
      if (value) {
        while (!value->empty() && value->back() == '\n') value->pop_back();
      }
      f.value(value, quoted, split);
      return;
    }
    if (n == '{') {
      read_braced_parameter(f, quoted, split);
      return;
    }
    if (is_name_start(n)) {
      std::size_t j = i_ + 1;
      while (j < s_.size() && is_name_char(s_[j])) ++j;
      std::string_view name = s_.substr(i_ + 1, j - i_ - 1);
      i_ = j;
      f.value(lookup(name), quoted, split);
      return;
    }
    if (is_digit(n)) {
      i_ += 2;
      f.value(lookup(s_.substr(i_ - 1, 1)), quoted, split);
      return;
    }
    if (n == '@' || n == '*') {
      // The positional parameters, when the caller knows them (bash -c
      // TEXT ARG0 ARGS...); "$@" is taken as split, like $*.
      i_ += 2;
      std::string all;
      bool any = false;
      for (int k = 1; k < 64; ++k) {
        std::optional<std::string> v = lookup(std::to_string(k));
        if (!v) break;
        if (any) all += ' ';
        all += *v;
        any = true;
      }
      if (!any) {
        f.unknown(quoted);
      } else {
        f.value(all, false, split);
      }
      return;
    }
    if (n == '#' || n == '?' || n == '$' || n == '!' || n == '-') {
      i_ += 2;
      f.unknown(quoted);
      return;
    }
    f.literal("$", quoted);
    ++i_;
  }

  void read_braced_parameter(Fields& f, bool quoted, bool split) {
    // Find the closing brace, stepping over quotes and nested ${...}.
    std::size_t start = i_ + 2;
    std::size_t j = start;
    int level = 1;
    while (j < s_.size()) {
      char c = s_[j];
      if (c == '\\') {
        j += 2;
        continue;
      }
      if (c == '\'' && !quoted) {
        std::size_t end = s_.find('\'', j + 1);
        j = end == std::string_view::npos ? s_.size() : end + 1;
        continue;
      }
      if (c == '{') ++level;
      if (c == '}' && --level == 0) break;
      ++j;
    }
    if (j >= s_.size()) {
      sh_.problem("a \"${\" is never closed");
      sh_.stopped = true;
      i_ = s_.size();
      f.unknown(quoted);
      return;
    }
    std::string_view inner = s_.substr(start, j - start);
    i_ = j + 1;
    std::size_t k = 0;
    while (k < inner.size() && is_name_char(inner[k])) ++k;
    std::string_view name = inner.substr(0, k);
    bool valid_name = !name.empty() && (is_name_start(name[0]) ||
                                        name.find_first_not_of("0123456789") ==
                                            std::string_view::npos);
    if (!valid_name) {
      f.unknown(quoted);  // ${#x}, ${!x}, ${@...}
      return;
    }
    std::optional<std::string> value = lookup(name);
    std::string_view op = inner.substr(k);
    if (op.empty()) {
      f.value(value, quoted, split);
      return;
    }
    bool colon = op[0] == ':';
    std::string_view rest = colon ? op.substr(1) : op;
    char kind = rest.empty() ? '\0' : rest[0];
    if (kind != '-' && kind != '=' && kind != '?' && kind != '+') {
      f.unknown(quoted);  // substrings, pattern removal, case changes
      return;
    }
    std::string_view word_text = rest.substr(1);
    std::optional<std::string> word;
    {
      if (!enter()) return;
      Reader child(sh_, word_text, depth_, place_, group_);
      child.pipeline_ = pipeline_;
      child.stage_ = stage_;
      Word w = child.expand(Mode::kFragment, quoted);
      leave();
      for (int g : w.substitutions) f.substitution(g);
      if (!w.unknown) word = w.text;
    }
    bool set = value && (!colon || !value->empty());
    switch (kind) {
      case '-':
      case '=':
        if (value) {
          f.value(set ? value : word, quoted, split);
        } else {
          // Not known to be set: the default is what a check should see
          // (${ENVFILE:=.env}, ${DIR:-/}), and it stays unknown only when
          // the default is unknown too.
          f.value(word, quoted, split);
        }
        if (kind == '=' && !value) sh_.state.set_var(name, word);
        return;
      case '?':
        // Unset means the shell stops here; set means the value.
        f.value(value, quoted, split);
        return;
      default:  // '+'
        if (value) {
          f.value(set ? word : std::optional<std::string>(""), quoted, split);
        } else {
          f.unknown(quoted);
        }
        return;
    }
  }

  void read_backtick(Fields& f, bool quoted) {
    // The text up to the closing backtick, with \\, \` and \$ unescaped.
    std::string inner;
    std::size_t j = i_ + 1;
    bool closed = false;
    while (j < s_.size()) {
      char c = s_[j];
      if (c == '\\' && j + 1 < s_.size() &&
          (s_[j + 1] == '\\' || s_[j + 1] == '`' || s_[j + 1] == '$')) {
        inner += s_[j + 1];
        j += 2;
        continue;
      }
      if (c == '`') {
        closed = true;
        break;
      }
      inner += c;
      ++j;
    }
    i_ = closed ? j + 1 : s_.size();
    if (!closed) {
      sh_.problem("a backtick is never closed");
      sh_.stopped = true;
    }
    sh_.texts.push_back(std::move(inner));
    std::string_view text = sh_.texts.back();
    if (!enter()) return;
    int group = sh_.next_group++;
    std::size_t saved = sh_.state.mark();
    Reader child(sh_, text, depth_, place_ | kInSubstitution, group);
    std::size_t first = sh_.out.commands.size();
    child.run();
    sh_.state.roll_back(saved);
    leave();
    f.substitution(group);
    std::optional<std::string> value = group_output(first, group);
    if (value) {
      while (!value->empty() && value->back() == '\n') value->pop_back();
    }
    f.value(value, quoted, true);
  }

  void read_process_substitution(Fields& f) {
    i_ += 2;
    int group = 0;
    (void)substitution(kInProcess, Stop::kParen, group);
    if (group > 0) f.substitution(group);
    f.unknown(false);
    f.mark_process();
  }

  // Reads the commands of $( ... ) or <( ... ) in place, up to the closing
  // parenthesis; their known output, if any.
  std::optional<std::string> substitution(unsigned place, Stop stop,
                                          int& group) {
    if (!enter()) return std::nullopt;
    group = sh_.next_group++;
    std::size_t saved = sh_.state.mark();
    unsigned saved_place = place_;
    int saved_group = group_;
    int saved_pipeline = pipeline_, saved_stage = stage_;
    std::vector<Pending> saved_pending = std::move(pending_);
    pending_.clear();
    Mode saved_mode = mode_;
    mode_ = Mode::kShell;  // also inside a here-document or ${X:-...}
    place_ |= place;
    group_ = group;
    std::size_t first = sh_.out.commands.size();
    parse_list(stop);
    place_ = saved_place;
    group_ = saved_group;
    pipeline_ = saved_pipeline;
    stage_ = saved_stage;
    pending_ = std::move(saved_pending);
    mode_ = saved_mode;
    sh_.state.roll_back(saved);
    leave();
    if (at_end()) {
      if (!sh_.stopped) sh_.problem("a \"$(\" is never closed");
      sh_.stopped = true;
      return std::nullopt;
    }
    ++i_;  // ')'
    return group_output(first, group);
  }

  // The output of a substitution group that is one known pipeline.
  std::optional<std::string> group_output(std::size_t first, int group) {
    const auto& cmds = sh_.out.commands;
    std::optional<std::size_t> last;
    int pipeline = -1;
    for (std::size_t k = first; k < cmds.size(); ++k) {
      if (cmds[k].group != group) continue;
      if (pipeline == -1) pipeline = cmds[k].pipeline;
      if (cmds[k].pipeline != pipeline) return std::nullopt;
      last = k;
    }
    if (!last) return std::string();
    return known_output(sh_.out, *last);
  }

  struct Pending {
    std::string delimiter;
    bool quoted = false;
    bool strip = false;
    std::size_t command = 0;
    std::size_t redirect = 0;
  };

  Shared& sh_;
  std::string_view s_;
  std::size_t i_ = 0;
  std::size_t depth_;
  unsigned place_;
  int group_;
  int pipeline_ = 0;
  int stage_ = 0;
  Mode mode_ = Mode::kShell;
  std::string function_;  // the function whose body is being read
  std::vector<Pending> pending_;
};

// printf's format applied to `args`, as far as this analyzer follows it:
// %s, %b, %c, %d and %i, %%, and backslash escapes.
std::optional<std::string> format_printf(const std::vector<Word>& argv,
                                         std::size_t first) {
  if (first >= argv.size()) return std::nullopt;
  const std::string& format = argv[first].text;
  std::size_t arg = first + 1;
  std::string out;
  for (int round = 0; round < 64; ++round) {
    bool used = false;
    for (std::size_t i = 0; i < format.size();) {
      char c = format[i];
      if (c == '\\') {
        ++i;
        decode_escape(format, i, out, false);
        continue;
      }
      if (c != '%') {
        out += c;
        ++i;
        continue;
      }
      ++i;
      while (i < format.size() &&
             std::string_view("-+ #0123456789.").find(format[i]) !=
                 std::string_view::npos) {
        ++i;
      }
      if (i >= format.size()) break;
      char conv = format[i++];
      if (conv == '%') {
        out += '%';
        continue;
      }
      std::string value = arg < argv.size() ? argv[arg].text : std::string();
      if (arg < argv.size()) {
        ++arg;
        used = true;
      }
      if (conv == 's' || conv == 'd' || conv == 'i' || conv == 'q') {
        out += value;
      } else if (conv == 'b') {
        for (std::size_t k = 0; k < value.size();) {
          if (value[k] == '\\') {
            ++k;
            decode_escape(value, k, out, false);
          } else {
            out += value[k++];
          }
        }
      } else if (conv == 'c') {
        if (!value.empty()) out += value[0];
      } else {
        return std::nullopt;
      }
    }
    if (!used || arg >= argv.size()) break;
  }
  return out;
}

}  // namespace

std::string_view Word::known_prefix() const {
  std::string_view t = text;
  std::size_t cut = t.find(kUnknown);
  return cut == std::string_view::npos ? t : t.substr(0, cut);
}

Analysis analyze(std::string_view text, const Environment& env,
                 const Limits& limits) {
  Analysis out;
  Shared shared{env, limits, out, {}, {}, 1, 1, false};
  shared.state.set_cwd(env.cwd);
  Reader reader(shared, text, 0, 0, 0);
  reader.run();
  out.final_cwd = shared.state.cwd();
  return out;
}

std::optional<std::string> known_output(const Analysis& analysis,
                                        std::size_t index) {
  if (index >= analysis.commands.size()) return std::nullopt;
  const Command& cmd = analysis.commands[index];
  if (cmd.argv.empty()) return std::nullopt;
  for (const Word& w : cmd.argv) {
    if (w.unknown || w.glob) return std::nullopt;
  }
  // Standard input as a here-document or here-string gives.
  std::optional<std::string> input;
  for (const Redirect& r : cmd.redirects) {
    if (r.kind == RedirectKind::kHereDoc ||
        r.kind == RedirectKind::kHereString) {
      if (r.target.unknown) return std::nullopt;
      input = r.target.text;
    } else if (r.kind == RedirectKind::kInput) {
      input.reset();
    }
  }
  const std::string& name = cmd.argv[0].text;
  if (name == "echo") {
    std::size_t k = 1;
    bool newline = true, escapes = false;
    while (k < cmd.argv.size()) {
      const std::string& a = cmd.argv[k].text;
      if (a.size() < 2 || a[0] != '-' ||
          a.find_first_not_of("neE", 1) != std::string::npos) {
        break;
      }
      for (char c : a.substr(1)) {
        if (c == 'n') newline = false;
        if (c == 'e') escapes = true;
        if (c == 'E') escapes = false;
      }
      ++k;
    }
    std::string out;
    for (std::size_t j = k; j < cmd.argv.size(); ++j) {
      if (j > k) out += ' ';
      const std::string& a = cmd.argv[j].text;
      if (!escapes) {
        out += a;
        continue;
      }
      for (std::size_t i = 0; i < a.size();) {
        if (a[i] == '\\') {
          ++i;
          decode_escape(a, i, out, false);
        } else {
          out += a[i++];
        }
      }
    }
    if (newline) out += '\n';
    return out;
  }
  if (name == "printf") {
    std::size_t k = 1;
    if (k < cmd.argv.size() && cmd.argv[k].text == "--") ++k;
    return format_printf(cmd.argv, k);
  }
  if (name == "cat" && (cmd.argv.size() == 1 ||
                        (cmd.argv.size() == 2 && cmd.argv[1].text == "-"))) {
    if (input) return input;
    return piped_input(analysis, index);
  }
  if (name == "base64") {
    bool decode = false;
    for (std::size_t k = 1; k < cmd.argv.size(); ++k) {
      const std::string& a = cmd.argv[k].text;
      if (a == "-d" || a == "--decode" || a == "-D" || a == "-di" ||
          a == "-id") {
        decode = true;
      } else if (a == "-i" || a == "--ignore-garbage" || a == "-w0") {
      } else {
        return std::nullopt;  // a file, or options not followed
      }
    }
    if (!decode) return std::nullopt;
    if (!input) input = piped_input(analysis, index);
    if (!input) return std::nullopt;
    return decode_base64(*input);
  }
  return std::nullopt;
}

std::optional<std::string> piped_input(const Analysis& analysis,
                                       std::size_t index) {
  if (index >= analysis.commands.size()) return std::nullopt;
  const Command& cmd = analysis.commands[index];
  if (!(cmd.place & kInPipeline) || cmd.stage == 0) return std::nullopt;
  // The stage before is close behind: only its substitutions lie between.
  std::optional<std::size_t> before;
  for (std::size_t k = index, steps = 0; k-- > 0 && steps < 256; ++steps) {
    const Command& c = analysis.commands[k];
    if (c.pipeline != cmd.pipeline || c.group != cmd.group) continue;
    if (c.stage == cmd.stage - 1) {
      if (before) return std::nullopt;  // a compound stage: not followed
      before = k;
    } else if (c.stage < cmd.stage - 1) {
      break;
    }
  }
  if (!before) return std::nullopt;
  return known_output(analysis, *before);
}

std::vector<std::string> split_fields(std::string_view text) {
  std::vector<std::string> out;
  std::string cur;
  for (char c : text) {
    if (c == ' ' || c == '\t' || c == '\n') {
      if (!cur.empty()) out.push_back(std::move(cur));
      cur.clear();
    } else {
      cur += c;
    }
  }
  if (!cur.empty()) out.push_back(std::move(cur));
  return out;
}

std::optional<std::string> decode_base64(std::string_view text) {
  std::string out;
  std::uint32_t acc = 0;
  int bits = 0;
  bool padding = false;
  for (char c : text) {
    int v;
    if (c >= 'A' && c <= 'Z') {
      v = c - 'A';
    } else if (c >= 'a' && c <= 'z') {
      v = c - 'a' + 26;
    } else if (c >= '0' && c <= '9') {
      v = c - '0' + 52;
    } else if (c == '+' || c == '-') {
      v = 62;
    } else if (c == '/' || c == '_') {
      v = 63;
    } else if (c == '=') {
      padding = true;
      continue;
    } else if (c == ' ' || c == '\n' || c == '\r' || c == '\t') {
      continue;
    } else {
      return std::nullopt;
    }
    if (padding) return std::nullopt;
    acc = (acc << 6) | static_cast<std::uint32_t>(v);
    bits += 6;
    if (bits >= 8) {
      bits -= 8;
      out += static_cast<char>((acc >> bits) & 0xFF);
    }
  }
  return out;
}

std::string resolve_path(std::string_view cwd, std::string_view path) {
  std::string joined;
  if (path.starts_with('/')) {
    joined = path;
  } else {
    if (cwd.empty() || !cwd.starts_with('/')) return {};
    joined = cwd;
    joined += '/';
    joined += path;
  }
  std::vector<std::string_view> parts;
  std::string_view rest = joined;
  while (!rest.empty()) {
    std::size_t slash = rest.find('/');
    std::string_view part = rest.substr(0, slash);
    rest = slash == std::string_view::npos ? std::string_view()
                                           : rest.substr(slash + 1);
    if (part.empty() || part == ".") continue;
    if (part == "..") {
      if (!parts.empty()) parts.pop_back();
      continue;
    }
    parts.push_back(part);
  }
  std::string out;
  for (std::string_view p : parts) {
    out += '/';
    out += p;
  }
  return out.empty() ? "/" : out;
}

}  // namespace twk::core::shell
