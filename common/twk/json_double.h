// The text of a double, exactly as the JSON library's dump() writes it, so
// that the canonical writer and a dump of a parsed tree agree byte for byte.
#pragma once

#include <cstddef>
#include <cstdint>

namespace twk::json {

// The longest text write_double() produces (sign, 17 digits, point and a
// three-digit exponent, or "0.000" and 17 digits), with room to spare.
inline constexpr std::size_t kMaxDoubleText = 32;

// A decimal number, digits × 10^exponent.
struct Decimal {
  std::uint64_t digits = 0;
  int exponent = 0;
};

// Writes the finite `value` at `out` (kMaxDoubleText bytes must be
// writable) and returns the end of the text: the library's digits (about
// the shortest that read back as `value`) in its layout: "0.0", "-0.0",
// "1.0", "1500.0", "0.0001", "1e-05", "1.5e+16".
//
// `known`, when its digits are not 0, is the decimal `value` was read from
// (without its sign); it saves looking for the shortest decimal when it
// has at most 15 significant digits, since no other decimal that short
// reads as the same double.
char* write_double(char* out, double value, Decimal known = {});

}  // namespace twk::json
