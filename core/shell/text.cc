// Backslash escapes, as $'...', echo -e and printf decode them.
#include "shell/text.h"

#include <cstdint>

#include "twk/text.h"
#include "twk/utf8.h"

namespace twk::core::shell {
namespace {

// The character a one-letter escape such as \n stands for; '\0' when the
// letter is not one of them (no such escape stands for NUL).
char simple_escape(char c) {
  switch (c) {
    case 'n':
      return '\n';
    case 't':
      return '\t';
    case 'r':
      return '\r';
    case 'a':
      return '\a';
    case 'b':
      return '\b';
    case 'f':
      return '\f';
    case 'v':
      return '\v';
    case 'e':
    case 'E':
      return '\x1b';
    case '\\':
      return '\\';
    case '\'':
      return '\'';
    case '"':
      return '"';
    case '?':
      return '?';
    default:
      return '\0';
  }
}

// \xHH: up to two hex digits; without any, the text stays as written.
void decode_hex_escape(std::string_view s, std::size_t& i, std::string& out) {
  int v = 0, n = 0;
  while (n < 2 && i < s.size() && text::hex_value(s[i]) >= 0) {
    v = v * 16 + text::hex_value(s[i++]);
    ++n;
  }
  if (n == 0) {
    out += "\\x";
  } else {
    out += static_cast<char>(v);
  }
}

// \uHHHH and \UHHHHHHHH (`letter`): a code point, appended as UTF-8.
void decode_unicode_escape(std::string_view s, std::size_t& i, std::string& out,
                           char letter) {
  std::uint32_t v = 0;
  int n = 0, max = letter == 'u' ? 4 : 8;
  while (n < max && i < s.size() && text::hex_value(s[i]) >= 0) {
    v = v * 16 + static_cast<std::uint32_t>(text::hex_value(s[i++]));
    ++n;
  }
  if (n == 0) {
    out += '\\';
    out += letter;
  } else {
    utf8::append(out, v);
  }
}

// \NNN: up to three octal digits, the first of them `first`.
void decode_octal_escape(std::string_view s, std::size_t& i, std::string& out,
                         char first) {
  int v = first - '0', n = 1;
  while (n < 3 && i < s.size() && s[i] >= '0' && s[i] <= '7') {
    v = v * 8 + (s[i++] - '0');
    ++n;
  }
  out += static_cast<char>(v & 0xFF);
}

}  // namespace

void decode_escape(std::string_view s, std::size_t& i, std::string& out,
                   bool ansi_c) {
  if (i >= s.size()) {
    out += '\\';
    return;
  }
  char c = s[i++];
  if (char simple = simple_escape(c)) {
    out += simple;
    return;
  }
  if (c == 'x') {
    decode_hex_escape(s, i, out);
    return;
  }
  if (c == 'u' || c == 'U') {
    decode_unicode_escape(s, i, out, c);
    return;
  }
  if (c == 'c' && ansi_c && i < s.size()) {
    out += static_cast<char>(s[i++] & 0x1F);
    return;
  }
  if (c >= '0' && c <= '7') {
    decode_octal_escape(s, i, out, c);
    return;
  }
  out += '\\';
  out += c;
}

}  // namespace twk::core::shell
