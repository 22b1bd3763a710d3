// The lexical level of the strict reader: strings, escapes and numbers,
// each checked and written in canonical form as it is read. Only the JSON
// module's own files use this header; everyone else goes through json.h.
#pragma once

#include <cstddef>
#include <string>

#include "twk/json_double.h"

namespace twk::json::scan {

// Bytes that go into a string literal as they are: ASCII from the space
// on, but the quote and the backslash. A run of them ends at the closing
// quote, an escape, a control character (to be escaped, or invalid raw) or
// the lead byte of a multi-byte UTF-8 sequence (checked on its own).
struct PlainStringBytes {
  bool plain[256] = {};
  constexpr PlainStringBytes() {
    for (int c = 0x20; c < 0x80; ++c) plain[c] = true;
    plain[static_cast<unsigned char>('"')] = false;
    plain[static_cast<unsigned char>('\\')] = false;
  }
};
inline constexpr PlainStringBytes kPlainStringBytes;

// Where reading and writing stand. Positions are passed by value and
// returned, so that they stay in registers: every byte written through a
// char pointer could otherwise alias them, and they would be reloaded after
// each. After invalid input, p is null.
struct Pos {
  const char* p;
  char* o;
};
inline constexpr Pos kInvalid{nullptr, nullptr};

constexpr bool is_space(char c) {
  return c == ' ' || c == '\n' || c == '\r' || c == '\t';
}

// The string whose opening quote is at `at.p`, checked and written in
// canonical form at `at.o`: the short escapes for " \ \b \f \n \r \t,
// \u00xx for other control characters, everything else as its UTF-8 bytes.
// Sets `escaped` when the written text holds an escape. At least 64 bytes
// beyond what the string's text takes must be writable: text is copied in
// blocks.
Pos string(Pos at, const char* end, bool& escaped);

// The text of a number at p: -?(0|[1-9][0-9]*)(\.[0-9]+)?([eE][+-]?[0-9]+)?
// Its end, and whether it is an integer that fits the library's 64-bit
// integer types (unsigned when positive, signed when negative), whose text
// is then canonical as it is; end is null when the text is not a number.
struct NumberText {
  const char* end;
  bool fits;
};
NumberText number_text(const char* p, const char* end);

// The double nearest to the number text [first, last), as strtod gives it;
// false when that is not finite (such numbers are invalid). `decimal` is
// the text's decimal without its sign, when its digits fit 64 bits (else
// its digits are 0).
bool to_double(const char* first, const char* last, double& value,
               Decimal& decimal);

// Appends the bytes of the text between the quotes of a string in
// canonical form, [s, e): escapes are decoded. False (with part of it
// appended) when [s, e) holds an escape canonical text never has.
bool decode_canonical(const char* s, const char* e, std::string& to);

}  // namespace twk::json::scan
