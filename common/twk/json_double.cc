// Doubles as the JSON library writes them, without its internals.
//
// The library picks its digits with a fast approximate search for the
// shortest decimal that reads back as the double. Nearly always it finds
// the true shortest decimal, the closest to the double of its length. But
// in a few doubles in a thousand it writes a digit or two more
// (0.005929143 comes out as 0.0059291429999999996), or the other of two
// equally short decimals. Its search works on 64-bit approximations of the
// double and of the ends of the range of decimals that read back as it,
// each off by less than 2^-61 of the value. So where the shortest decimal
// lies farther than that inside the range, and is nearer the double than
// half its last digit by more than that, the search finds it: no shorter
// decimal is in the range, and it is the closest of its length.
//
// Here the shortest decimal is the one the double was read from, when that
// has at most 15 digits, or else found among the decimals of 15, 16 and 17
// digits nearest the double. All of it is computed in long double, whose
// 64 bits hold the powers of ten up to 10^27 exactly and leave errors far
// below the margin; whatever cannot be decided so (doubles far from
// 10^-11..10^43 without a short decimal, or too near a tie) is written by
// the library's public dump(): 2% of the doubles of the benchmark's events.
// std::to_chars could find the shortest decimals too, but its tables would
// cost every run of the statically linked hook page faults.
#include "twk/json_double.h"

#include <algorithm>
#include <bit>
#include <charconv>
#include <cmath>
#include <cstdint>
#include <cstring>
#include <limits>
#include <nlohmann/json.hpp>
#include <string>
#include <string_view>

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

// Where a decimal lies against the range of decimals that read back as a
// double, told apart only by more than the margin the library's
// approximations need; and whether it is the decimal of its length
// nearest the double by more than that margin too.
enum class Place { kInside, kOutside, kUnsure };
struct Check {
  Place place;
  bool nearest;
};

Check check(double value, const Decimal& d) {
  if constexpr (std::numeric_limits<long double>::digits < 64) {
    return {Place::kUnsure, false};
  }
  if (d.exponent < -kMaxExactPower || d.exponent > kMaxExactPower) {
    return {Place::kUnsure, false};
  }
  std::uint64_t bits = std::bit_cast<std::uint64_t>(value);
  double above = std::bit_cast<double>(bits + 1);
  double below = std::bit_cast<double>(bits - 1);
  if (!std::isfinite(above)) return {Place::kUnsure, false};

  const long double power = kPowers.power[std::abs(d.exponent)];
  auto units = [&](double x) -> long double {
    return d.exponent < 0 ? x * power : x / power;
  };
  // `value` in units of d's last digit, and how far d is from it.
  const long double at = units(value);
  const long double off = at - static_cast<long double>(d.digits);
  // The range reaches halfway to each neighbouring double; differences of
  // neighbouring doubles are exact.
  const long double reach =
      off >= 0 ? units(value - below) / 2 : units(above - value) / 2;
  const long double margin = at * 0x1p-59L;
  const long double distance = std::fabs(off);
  Place place = distance < reach - margin   ? Place::kInside
                : distance > reach + margin ? Place::kOutside
                                            : Place::kUnsure;
  return {place, distance < 0.5L - margin};
}

// value × 10^k in long double, with one rounding; false where 10^k is not
// held exactly.
bool scale(double value, int k, long double& at) {
  if (k < -kMaxExactPower || k > kMaxExactPower) return false;
  at = k >= 0 ? value * kPowers.power[k] : value / kPowers.power[-k];
  return true;
}

// The decimal of `n` significant digits (15 to 17) nearest to `value`;
// false where long double cannot tell which that is.
bool nearest(double value, int n, Decimal& d) {
  // n digits before the point; floor(log10(value)) is e10 or one more.
  int e10 = (std::ilogb(value) * 78913) >> 18;  // * log10(2)
  int k = n - 1 - e10;
  long double at;
  if (!scale(value, k, at)) return false;
  if (at < kPowers.power[n - 1] && !scale(value, ++k, at)) return false;
  if (at >= kPowers.power[n] && !scale(value, --k, at)) return false;
  if (at < kPowers.power[n - 1] || at >= kPowers.power[n]) return false;
  // `at` is off by at most 2^-64 of itself, below 0.01 for 17 digits.
  long double whole = std::floor(at);
  long double fraction = at - whole;
  if (std::fabs(fraction - 0.5L) < 0.01L) return false;
  d.digits = static_cast<std::uint64_t>(whole) + (fraction > 0.5L ? 1 : 0);
  d.exponent = -k;
  return true;
}

// The shortest decimal that reads back as `value`, and of those the
// nearest to it; false where that cannot be told for sure.
bool shortest(double value, Decimal& d) {
  // Above 15 digits, the nearest decimal of a length stands for all of it
  // only where the range is as wide on both sides, which it is not just
  // above a power of two.
  const bool lopsided = (std::bit_cast<std::uint64_t>(value) &
                         ((std::uint64_t{1} << 52) - 1)) == 0;
  for (int n = 15; n <= 17; ++n) {
    if (!nearest(value, n, d)) return false;
    Place place = check(value, d).place;
    if (place == Place::kInside) {
      d = trimmed(d);
      return true;
    }
    if (place == Place::kUnsure || lopsided) return false;
  }
  return false;
}

// The library's layout of `d`: plain notation from 1e-5 up to 1e15 (always
// with a decimal point), otherwise one digit before the point and an
// exponent with a sign and at least two digits.
char* layout(char* out, const Decimal& d) {
  char text[24] = {};
  const std::string_view digits(
      text, static_cast<std::size_t>(
                std::to_chars(text, text + sizeof text, d.digits).ptr - text));
  const int k = static_cast<int>(digits.size());
  const int point = k + d.exponent;  // where the decimal point goes
  auto put = [&out](std::string_view s) {
    out = std::copy(s.begin(), s.end(), out);
  };
  auto zeros = [&out](int n) { out = std::fill_n(out, n, '0'); };
  if (point <= -4 || point > 15) {
    put(digits.substr(0, 1));
    if (k > 1) put(".");
    put(digits.substr(1));
    int e = point - 1;
    put(e < 0 ? "e-" : "e+");
    if (std::abs(e) < 10) put("0");
    return std::to_chars(out, out + 3, std::abs(e)).ptr;
  }
  if (point <= 0) {
    put("0.");
    zeros(-point);
    put(digits);
  } else if (point >= k) {
    put(digits);
    zeros(point - k);
    put(".0");
  } else {
    put(digits.substr(0, static_cast<std::size_t>(point)));
    put(".");
    put(digits.substr(static_cast<std::size_t>(point)));
  }
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
  Decimal d = trimmed(known);
  bool found = d.digits != 0 && d.digits < kFifteenDigits &&
               value >= std::numeric_limits<double>::min();
  if (!found) found = shortest(value, d);
  if (!found) return library_text(out, value);
  Check c = check(value, d);
  if (c.place != Place::kInside || !c.nearest) return library_text(out, value);
  return layout(out, d);
}

}  // namespace twk::json
