// The shell analyzer's grammar above simple commands: lists, and-or
// lists, pipelines, subshells and the compound commands (for, select,
// case, if, while, until, function definitions, [[ ... ]]).
#include <algorithm>
#include <cstdint>

#include "shell/reader.h"
#include "shell/text.h"

namespace twk::core::shell {

// list: and-or lists separated by ; & or newlines.
void Reader::parse_list(Stop stop) {
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
    // &> FILE and &>> FILE start a command of redirections alone.
    if (c == ';' || (c == '&' && peek(1) != '>') || c == '|') {
      sh_.problem("unexpected \"" + std::string(1, c) + "\"");
      sh_.stopped = true;
      return;
    }
    std::size_t first = sh_.out.commands.size();
    std::size_t mark = sh_.state.mark();
    closed_mark_ = mark;
    parse_and_or();
    skip_blanks_and_comment();
    // The body's closing brace was read: what follows is the caller's.
    if (stop == Stop::kBrace && body_closed()) return;
    if (at_end()) return;
    c = s_[i_];
    if (c == '&' && peek(1) != '&' && peek(1) != '>') {
      ++i_;
      for (std::size_t k = first; k < sh_.out.commands.size(); ++k) {
        sh_.out.commands[k].place |= kBackground;
      }
      // It ran in a copy of the shell: what it assigned, the directory
      // it moved to and the functions it defined are not this shell's
      // (for a compound command, from where it began).
      sh_.state.roll_back(std::min(mark, closed_mark_));
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

void Reader::parse_and_or() {
  unsigned saved = place_;
  for (;;) {
    parse_pipeline();
    // f() { ...; } && next: next is the caller's, not the body's.
    if (body_closed()) break;
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

void Reader::parse_pipeline() {
  int id = sh_.next_pipeline++;
  int saved_pipeline = pipeline_, saved_stage = stage_;
  pipeline_ = id;
  stage_ = 0;
  std::size_t first = sh_.out.commands.size();
  std::size_t before = sh_.state.mark();
  // What a function body's pipeline of two or more stages does stays in
  // its stages' copies of the shell: none of it reaches the caller.
  std::vector<Command>* effects =
      function_.empty() ? nullptr : &sh_.function_effects[function_];
  std::size_t recorded = effects != nullptr ? effects->size() : 0;
  bool multi = false;
  for (;;) {
    std::size_t stage_first = sh_.out.commands.size();
    parse_command();
    if (body_closed()) break;
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
    if (effects != nullptr && effects->size() > recorded) {
      effects->resize(recorded);
    }
    for (std::size_t k = first; k < sh_.out.commands.size(); ++k) {
      if (sh_.out.commands[k].pipeline == id) {
        sh_.out.commands[k].place |= kInPipeline;
      }
    }
  }
  pipeline_ = saved_pipeline;
  stage_ = saved_stage;
}

void Reader::parse_command() {
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
      parse_subshell();
      return;
    }
    std::string_view kw = keyword();
    if (kw.empty()) {
      parse_simple();
      return;
    }
    i_ += kw.size();
    // Where the shell's state stood when a compound command began, should
    // it turn out to run in the background.
    bool opened = false;
    if (kw == "{" || kw == "if" || kw == "while" || kw == "until" ||
        kw == "for" || kw == "select" || kw == "case") {
      if (open_marks_.size() < 4096) {
        open_marks_.push_back(sh_.state.mark());
        open_dirs_.push_back(sh_.state.cwd());
        opened = true;
      }
    }
    if (kw == "for" || kw == "select") {
      parse_for(kw == "select", opened);
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
      if (kw == "done" && repeat_loop()) {
        // The cursor is back at the start of the body, a command of its
        // own: read on from there.
        if (at_end()) return;
        continue;
      }
      if (kw == "}" && braces_ > 0) --braces_;
      Dir began = sh_.state.cwd();
      if (!open_marks_.empty()) {
        closed_mark_ = std::min(closed_mark_, open_marks_.back());
        open_marks_.pop_back();
        began = open_dirs_.back();
        open_dirs_.pop_back();
      }
      parse_trailing_redirects(&began);
      return;
    }
    if (kw == "{") ++braces_;
    if (kw == "do") start_loop();
    // if, then, else, elif, do, while, until, {, !, time, coproc: what
    // follows is a command of its own.
    if (kw != "{" && kw != "!" && kw != "time" && kw != "coproc") {
      place_ |= kInCondition;
    }
    if (kw == "time") {
      // time [-p] [--] COMMAND
      for (std::string_view option : {"-p", "--"}) {
        skip_blanks();
        if (s_.substr(i_, 2) == option &&
            (i_ + 2 >= s_.size() || is_meta(s_[i_ + 2]))) {
          i_ += 2;
        }
      }
    }
    skip_newlines();
    if (at_end()) return;
    c = s_[i_];
    if (c == ';' || c == '&' || c == '|' || c == ')') return;
  }
}

// ( list ): the commands run in a copy of the shell, so what they change
// is rolled back at the closing parenthesis.
void Reader::parse_subshell() {
  ++i_;
  if (!enter()) return;
  std::size_t saved = sh_.state.mark();
  unsigned saved_place = place_;
  place_ |= kInSubshell;
  parse_list(Stop::kParen);
  place_ = saved_place;
  if (!close_nested(saved, "(")) return;
  parse_trailing_redirects();
}

// `while ...; done < .env` reads .env and `{ ...; } > f` writes f as
// surely as a simple command's redirections would: they are kept as a
// command with no words, which the checks judge like `> f` alone.
void Reader::parse_trailing_redirects(const Dir* cwd) {
  Command cmd = new_command();
  if (cwd != nullptr) cmd.cwd = *cwd;
  std::size_t index = sh_.out.commands.size();
  for (;;) {
    skip_blanks();
    if (at_end()) break;
    char c = s_[i_];
    bool may_redirect =
        is_digit(c) || c == '<' || c == '>' || c == '&' || c == '{';
    if (!may_redirect || !try_redirect(cmd, index)) break;
  }
  if (cmd.redirects.empty()) return;
  if (sh_.out.commands.size() != index) {
    fix_pending(index, sh_.out.commands.size());
  }
  emit(std::move(cmd));
}

void Reader::skip_arithmetic_command() {
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

// for NAME in WORDS: when every word is known, the body is read once for
// each, NAME bound to it, so that `for d in build ~; do rm -rf "$d"; done`
// is judged as the two deletes it is (a glob word binds NAME to one of its
// matches; see kPatternMark). Otherwise NAME is unknown in the body, which
// is read once. A loop's words are at most a few dozen, and loop_budget
// bounds the bodies read again in all.
void Reader::parse_for(bool select, bool opened) {
  constexpr std::size_t kMaxWords = 64;
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
  std::vector<Word> words;
  bool listed = false;
  if (s_.substr(i_, 2) == "in" &&
      (i_ + 2 >= s_.size() || is_meta(s_[i_ + 2]))) {
    i_ += 2;
    words = read_for_words();
    listed = true;
  }
  bool known = listed && !select && opened && !words.empty() &&
               words.size() <= kMaxWords;
  for (const Word& w : words) {
    known = known && !w.unknown && !w.process;
  }
  place_ |= kInCondition;
  // Unknown until its "do": a body in braces, or one that never comes,
  // is read once with the variable unknown.
  sh_.state.set_var(name, std::nullopt);
  header_.reset();
  if (!known || !pending_.empty()) return;
  Loop loop;
  loop.name = std::move(name);
  for (Word& w : words) {
    loop.values.push_back(w.glob ? kPatternMark + std::move(w.text)
                                 : std::move(w.text));
  }
  loop.marks = open_marks_.size();
  loop.depth = depth_;
  loop.braces = braces_;
  header_ = std::move(loop);
  header_commands_ = sh_.out.commands.size();
}

void Reader::start_loop() {
  if (!header_) return;
  Loop loop = std::move(*header_);
  header_.reset();
  // Only the "do" of the header's own loop: nothing ran in between.
  if (loop.marks != open_marks_.size() || loop.depth != depth_ ||
      loop.braces != braces_ || header_commands_ != sh_.out.commands.size() ||
      !pending_.empty()) {
    return;
  }
  loop.body = i_;
  sh_.state.set_marked(loop.name, loop.values.front());
  loops_.push_back(std::move(loop));
}

std::vector<Word> Reader::read_for_words() {
  std::vector<Word> out;
  for (;;) {
    skip_blanks();
    if (at_end() || s_[i_] == ';' || s_[i_] == '\n') break;
    Fields f(&out);
    read_word_parts(f, false, true, true);
    (void)f.finish();
    if (i_ < s_.size() && is_meta(s_[i_]) && !is_blank(s_[i_]) &&
        s_[i_] != ';' && s_[i_] != '\n') {
      break;
    }
  }
  return out;
}

bool Reader::repeat_loop() {
  // Loops whose "done" never came where they began (the text closed what
  // held them first): the shell would refuse such text.
  while (!loops_.empty() && loops_.back().marks > open_marks_.size()) {
    loops_.pop_back();
  }
  if (loops_.empty()) return false;
  Loop& loop = loops_.back();
  if (loop.marks != open_marks_.size() || loop.depth != depth_ ||
      loop.braces != braces_) {
    return false;
  }
  if (loop.next >= loop.values.size()) {
    loops_.pop_back();
    return false;
  }
  // A here-document the body starts on the line of its "done" would be
  // noted again with each reading.
  std::size_t cost = i_ - loop.body;
  if (!pending_.empty()) {
    sh_.stop("a here-document that starts on a loop's last line");
    return true;
  }
  if (cost > sh_.loop_budget) {
    sh_.stop("loops past their limit");
    return true;
  }
  sh_.loop_budget -= cost;
  sh_.state.set_marked(loop.name, loop.values[loop.next++]);
  i_ = loop.body;
  return true;
}

void Reader::parse_case() {
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
      sh_.stop("a case is never closed with esac");
      break;
    }
    if (keyword() == "esac") {
      i_ += 4;
      break;
    }
    if (peek() == '(') ++i_;
    parse_case_patterns();
    parse_list(Stop::kCase);
    if (at_case_end()) {
      i_ += 2;
      if (peek() == '&') ++i_;
    }
  }
  place_ = saved;
  parse_trailing_redirects();
}

// The patterns of a case item, up to the unquoted ")".
void Reader::parse_case_patterns() {
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
}

void Reader::parse_function_keyword() {
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
void Reader::parse_function_body(std::string name) {
  skip_newlines();
  if (!enter()) return;
  std::size_t saved = sh_.state.mark();
  unsigned saved_place = place_;
  std::string saved_function = std::move(function_);
  int saved_definition = definition_;
  sh_.function_effects[name].clear();  // a new definition replaces the old
  unsigned saved_function_place = function_place_;
  function_place_ = place_;
  std::string key = kFunctionMark + name;
  // Defined in a body, loop or branch: whether it is defined when a call
  // runs cannot be told from the order of the text.
  if (definition_ != 0 || (place_ & kInCondition) != 0) {
    sh_.uncertain_functions.insert(name);
  }
  function_ = std::move(name);
  definition_ = sh_.next_definition++;
  int definition = definition_;
  place_ |= kInFunction;
  if (keyword() == "{") {
    // The whole brace group is the body, not only its first command.
    int saved_stop = brace_stop_;
    brace_stop_ = braces_;
    parse_list(Stop::kBrace);
    brace_stop_ = saved_stop;
  } else {
    parse_command();
  }
  place_ = saved_place;
  function_ = std::move(saved_function);
  definition_ = saved_definition;
  function_place_ = saved_function_place;
  sh_.state.roll_back(saved);
  // Defined from here on, in this shell (not in the one a subshell ends).
  sh_.state.set_var(key, std::to_string(definition));
  leave();
}

// [[ ... ]]: words up to "]]", as a command named "[[".
void Reader::parse_test() {
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
    if (c == '&' || c == '|' || c == '(' || c == ')' || c == '<' || c == '>' ||
        c == ';') {
      ++i_;
      continue;
    }
    Fields f;
    read_word_parts(f, false, true);
    cmd.argv.push_back(f.joined());
  }
  emit(std::move(cmd));
}

}  // namespace twk::core::shell
