// Character classes of Bash's grammar and the backslash escapes that
// $'...', echo -e and printf know: the smallest pieces the analyzer's
// reader and its known-output rules share.
#pragma once

#include <cstddef>
#include <string>
#include <string_view>

namespace twk::core::shell {

// Blanks separate words within a line.
inline bool is_blank(char c) { return c == ' ' || c == '\t'; }

// Characters that end an unquoted word: blanks, newlines and operators.
inline bool is_meta(char c) {
  return c == ' ' || c == '\t' || c == '\n' || c == ';' || c == '&' ||
         c == '|' || c == '<' || c == '>' || c == '(' || c == ')';
}

// Characters a variable name may start with, and continue with.
inline bool is_name_start(char c) {
  return (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || c == '_';
}
inline bool is_digit(char c) { return c >= '0' && c <= '9'; }
inline bool is_name_char(char c) { return is_name_start(c) || is_digit(c); }

// Backslash escapes as $'...', echo -e and printf know them. `i` points
// just past the backslash and is moved past the escape, whose value is
// appended to `out`; an escape it does not know is copied as written.
// `ansi_c` enables \cX, which only $'...' knows.
void decode_escape(std::string_view s, std::size_t& i, std::string& out,
                   bool ansi_c);

}  // namespace twk::core::shell
