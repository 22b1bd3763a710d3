// Doubles as the JSON library writes them, without its internals.
//
// The library picks its digits with a fast approximate search for the
// shortest decimal that reads back as the double. Nearly always that is the
// true shortest decimal, the closest to the double of its length, which is
// what std::to_chars gives. But in a few doubles in a thousand it writes a
// digit or two more (0.005929143 comes out as 0.0059291429999999996), or
// the other of two equally short decimals. The search works on 64-bit
// approximations of the double and of the ends of the range of decimals that
// read back as it, each off by less than 2^-61 of the value. So where
// std::to_chars' decimal lies farther than that inside the range, and is
// nearer the double than half its last digit by more than that, the search
// finds the same decimal: no shorter one is in the range, and it is the
// closest of its length. Those doubles (between about 10^-27 and 10^27
// and not too near a tie: 98% of the doubles of the benchmark's events)
// are written here; the others by the library's public dump().
#include "twk/json_double.h"

#include <bit>
#include <charconv>
#include <cmath>
#include <cstdint>
#include <cstring>
#include <limits>
#include <nlohmann/json.hpp>
#include <string>

namespace twk::json {
namespace {

// Below this, a decimal has at most 15 significant digits. Two decimals
// that short never read as the same normal double, so such a decimal is
// the only one of its length for its double, and so the shortest.
constexpr std::uint64_t kFifteenDigits = 1'000'000'000'000'000;

Decimal trimmed(Decimal d) {
  while (d.digits != 0 && d.digits % 10 == 0) {
    d.digits /= 10;
    ++d.exponent;
  }
  return d;
}

// The shortest decimal that reads back as `value` (positive and finite),
// and of those the closest to it.
Decimal shortest(double value) {
  char text[40];
  const char* end = std::to_chars(text, text + sizeof text, value,
                                  std::chars_format::scientific)
                        .ptr;
  // "d.ddde+XX" or "de-XX"; the shortest form has no trailing zeros.
  Decimal d;
  int count = 0;
  const char* p = text;
  for (; *p != 'e'; ++p) {
    if (*p == '.') continue;
    d.digits = d.digits * 10 + static_cast<unsigned>(*p - '0');
    ++count;
  }
  ++p;
  if (*p == '+') ++p;  // from_chars takes a minus sign only
  int power = 0;
  std::from_chars(p, end, power);
  d.exponent = power - (count - 1);
  return d;
}

// Powers of ten up to 10^27, which long double (64 significant bits) holds
// exactly: 10^27 = 2^27 * 5^27, and 5^27 < 2^64.
constexpr int kMaxExactPower = 27;

struct PowerTable {
  long double power[kMaxExactPower + 1] = {};
  constexpr PowerTable() {
    long double p = 1;
    for (int i = 0; i <= kMaxExactPower; ++i, p *= 10) power[i] = p;
  }
};
constexpr PowerTable kPowers;

// Whether the library's search provably ends at `d` for `value` (see the
// top of the file). Computed in long double: `value` in units of d's last
// digit is then off by at most 2^-64 of itself, far below the margin.
bool library_agrees(double value, const Decimal& d) {
  if constexpr (std::numeric_limits<long double>::digits < 64) return false;
  if (d.exponent < -kMaxExactPower || d.exponent > kMaxExactPower) {
    return false;  // rare in practice; not worth a wider computation
  }
  std::uint64_t bits = std::bit_cast<std::uint64_t>(value);
  double above = std::bit_cast<double>(bits + 1);
  double below = std::bit_cast<double>(bits - 1);
  if (!std::isfinite(above)) return false;

  const long double power = kPowers.power[std::abs(d.exponent)];
  auto units = [&](double x) -> long double {
    return d.exponent < 0 ? x * power : x / power;
  };
  const long double at = units(value);
  const long double off = at - static_cast<long double>(d.digits);
  // The range of decimals that read back as `value` reaches halfway to
  // each neighbour; differences of neighbouring doubles are exact.
  const long double up = units(above - value) / 2;
  const long double down = units(value - below) / 2;
  const long double margin = at * 0x1p-59L;
  bool inside = off >= 0 ? off < down - margin : -off < up - margin;
  return inside && std::fabs(off) < 0.5L - margin;
}

// The library's layout of `d`: plain notation from 1e-5 up to 1e15 (always
// with a decimal point), otherwise one digit before the point and an
// exponent with a sign and at least two digits.
char* layout(char* out, const Decimal& d) {
  char digits[24];
  const int k = static_cast<int>(
      std::to_chars(digits, digits + sizeof digits, d.digits).ptr - digits);
  const int point = k + d.exponent;  // where the decimal point goes
  auto copy = [&out](const char* from, int n) {
    std::memcpy(out, from, static_cast<std::size_t>(n));
    out += n;
  };
  auto zeros = [&out](int n) {
    std::memset(out, '0', static_cast<std::size_t>(n));
    out += n;
  };
  if (k <= point && point <= 15) {
    copy(digits, k);
    zeros(point - k);
    copy(".0", 2);
    return out;
  }
  if (0 < point && point <= 15) {
    copy(digits, point);
    *out++ = '.';
    copy(digits + point, k - point);
    return out;
  }
  if (-4 < point && point <= 0) {
    copy("0.", 2);
    zeros(-point);
    copy(digits, k);
    return out;
  }
  *out++ = digits[0];
  if (k > 1) {
    *out++ = '.';
    copy(digits + 1, k - 1);
  }
  int e = point - 1;
  *out++ = 'e';
  *out++ = e < 0 ? '-' : '+';
  e = std::abs(e);
  if (e >= 100) *out++ = static_cast<char>('0' + e / 100);
  *out++ = static_cast<char>('0' + e / 10 % 10);
  *out++ = static_cast<char>('0' + e % 10);
  return out;
}

// The library's own text, through its public interface.
char* library_text(char* out, double value) {
  std::string text = nlohmann::json(value).dump();
  std::memcpy(out, text.data(), text.size());
  return out + text.size();
}

}  // namespace

char* write_double(char* out, double value, Decimal known) {
  if (std::signbit(value)) {
    *out++ = '-';
    value = -value;
  }
  if (value == 0) {
    std::memcpy(out, "0.0", 3);
    return out + 3;
  }
  known = trimmed(known);
  Decimal d = known.digits != 0 && known.digits < kFifteenDigits &&
                      value >= std::numeric_limits<double>::min()
                  ? known
                  : shortest(value);
  if (!library_agrees(value, d)) return library_text(out, value);
  return layout(out, d);
}

}  // namespace twk::json
