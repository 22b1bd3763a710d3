// UTF-8 helpers over byte strings: validation, lossy conversion for
// messages, and the Unicode White_Space set that the program splits and
// trims at (status lines, chunk sizes, "#!" lines).
#pragma once

#include <cstddef>
#include <string>
#include <string_view>
#include <vector>

namespace twk::utf8 {

// What a lead byte says of a multi-byte sequence: its length in bytes (0
// when the byte cannot lead one) and the range its second byte must be in
// (narrower than 80..BF where overlongs, surrogates or code points above
// U+10FFFF would otherwise follow).
struct Lead {
  std::size_t length;
  unsigned char lo, hi;
};
Lead lead_byte(unsigned char c);

// True when `s` is well-formed UTF-8 (no overlongs, no surrogates, nothing
// above U+10FFFF).
bool valid(std::string_view s);

// `s` with every ill-formed sequence replaced by U+FFFD, one replacement per
// maximal ill-formed subpart.
std::string lossy(std::string_view s);

// True for the characters with the Unicode White_Space property.
bool is_white_space(char32_t c);

// Splits valid UTF-8 at runs of white space; leading and trailing white
// space yield no empty words.
std::vector<std::string_view> split_white_space(std::string_view s);

// `s` without white space at either end (valid UTF-8 expected).
std::string_view trim_white_space(std::string_view s);

// Appends the UTF-8 encoding of `cp` to `out`; code points above U+10FFFF
// become U+FFFD.
void append(std::string& out, char32_t cp);

// append() writing to `out` (four bytes must be writable); returns the end.
char* encode(char32_t cp, char* out);

}  // namespace twk::utf8
