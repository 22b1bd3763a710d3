// Character classes of Bash's grammar and the backslash escapes that
// $'...', echo -e and printf know: the smallest pieces the analyzer's
// reader and its known-output rules share.
#pragma once

#include <cstddef>
#include <initializer_list>
#include <string>
#include <string_view>

namespace twk::core::shell {

// Blanks separate words within a line.
inline bool is_blank(char c) { return c == ' ' || c == '\t'; }

// Classes of a byte, as bits: a table lookup instead of a chain of
// comparisons for every character of a command.
enum CharClass : unsigned char {
  kMetaChar = 1u << 0,     // ends an unquoted word: blank, newline, operator
  kSpecialChar = 1u << 1,  // quotes, expands or globs within a word
};
inline constexpr auto kCharClasses = [] {
  struct Table {
    unsigned char of[256] = {};
  } t;
  for (unsigned char c : std::string_view(" \t\n;&|<>()")) t.of[c] |= kMetaChar;
  for (unsigned char c : std::string_view("\\'\"$`~*?[{\x01")) {
    t.of[c] |= kSpecialChar;
  }
  return t;
}();
inline unsigned char char_class(char c) {
  return kCharClasses.of[static_cast<unsigned char>(c)];
}

// Characters that end an unquoted word: blanks, newlines and operators.
inline bool is_meta(char c) { return (char_class(c) & kMetaChar) != 0; }

// Characters a variable name may start with, and continue with.
inline bool is_name_start(char c) {
  return (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || c == '_';
}
inline bool is_digit(char c) { return c >= '0' && c <= '9'; }
inline bool is_name_char(char c) { return is_name_start(c) || is_digit(c); }

// True when `s` is one of `list`. Most words are none of a short list of
// names: their size and first character rule them out without a
// comparison of their bytes.
inline bool one_of(std::initializer_list<std::string_view> list,
                   std::string_view s) {
  for (std::string_view x : list) {
    if (x.size() == s.size() && (s.empty() || x[0] == s[0]) && x == s) {
      return true;
    }
  }
  return false;
}

// Backslash escapes as $'...', echo -e and printf know them. `i` points
// just past the backslash and is moved past the escape, whose value is
// appended to `out`; an escape it does not know is copied as written.
// `ansi_c` enables \cX, which only $'...' knows.
void decode_escape(std::string_view s, std::size_t& i, std::string& out,
                   bool ansi_c);

}  // namespace twk::core::shell
