// Small text helpers both programs share: ASCII case folding, hex digits,
// decimal numbers and quoting for messages, each with one set of rules.
// They work on bytes and know nothing of locales, so a look-alike such as
// KELVIN SIGN is never taken for a K.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

namespace twk::text {

// A to Z lowered; every other byte as it is.
constexpr char ascii_lower(char c) {
  return c >= 'A' && c <= 'Z' ? static_cast<char>(c - 'A' + 'a') : c;
}

// `s` with A to Z lowered.
std::string ascii_lowercase(std::string_view s);

// Equal once A to Z are lowered on both sides.
bool ascii_iequals(std::string_view a, std::string_view b);

// The value of one hex digit (either case), or -1.
constexpr int hex_value(char c) {
  if (c >= '0' && c <= '9') return c - '0';
  if (c >= 'a' && c <= 'f') return c - 'a' + 10;
  if (c >= 'A' && c <= 'F') return c - 'A' + 10;
  return -1;
}

// `s` between two `mark`s, as messages quote a name: enclosed("x", '`')
// is "`x`". Nothing inside is escaped; the caller's text is shown as it is.
std::string enclosed(std::string_view s, char mark);

// What parse_decimal does with a number above its limit.
enum class AboveLimit {
  kFail,   // nothing
  kClamp,  // the limit
};

// One or more ASCII digits and nothing else (no sign, no space, leading
// zeros allowed), with a value up to `limit`; a longer run of digits is
// still read to its end, so "99999999999999999999x" is not a number.
std::optional<std::uint64_t> parse_decimal(
    std::string_view text, std::uint64_t limit = UINT64_MAX,
    AboveLimit above = AboveLimit::kFail);

}  // namespace twk::text
