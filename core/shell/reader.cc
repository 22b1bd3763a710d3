// The shell analyzer's cursor: blanks, comments, newlines (which start
// here-document bodies), reserved words, and the nesting limit.
#include "shell/reader.h"

#include "shell/text.h"

namespace twk::core::shell {

// Reads a whole command text.
void Reader::run() {
  parse_list(Stop::kEnd);
  if (!sh_.stopped && i_ < s_.size()) {
    sh_.problem("unexpected \"" + std::string(1, s_[i_]) + "\"");
    sh_.stopped = true;
  }
}

bool Reader::enter() {
  if (depth_ + 1 > sh_.limits.max_nesting) {
    sh_.problem("nesting deeper than " +
                std::to_string(sh_.limits.max_nesting) + " levels");
    sh_.stopped = true;
    return false;
  }
  ++depth_;
  return true;
}

bool Reader::close_nested(std::size_t saved, std::string_view opener) {
  sh_.state.roll_back(saved);
  leave();
  if (at_end()) {
    sh_.stop("a \"" + std::string(opener) + "\" is never closed");
    return false;
  }
  ++i_;  // ')'
  return true;
}

void Reader::skip_blanks() {
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
void Reader::skip_blanks_and_comment() {
  skip_blanks();
  if (!at_end() && s_[i_] == '#') {
    while (i_ < s_.size() && s_[i_] != '\n') ++i_;
  }
}

void Reader::newline() {
  ++i_;
  read_here_docs();
}

void Reader::skip_newlines() {
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
std::string_view Reader::keyword() const {
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

void Reader::missing_command() {
  if (sh_.stopped) return;
  sh_.problem("the text ends where a command should follow");
  sh_.stopped = true;
}

bool Reader::at_case_end() const {
  return s_.substr(i_, 2) == ";;" || s_.substr(i_, 2) == ";&";
}

}  // namespace twk::core::shell
