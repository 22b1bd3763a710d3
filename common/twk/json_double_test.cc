#include "twk/json_double.h"

#include <gtest/gtest.h>

#include <bit>
#include <cmath>
#include <cstdint>
#include <limits>
#include <nlohmann/json.hpp>
#include <random>
#include <string>

namespace twk::json {
namespace {

// write_double() must give exactly what the library's dump() gives: the
// canonical writer uses the one, dump(parse(text)) the other.
void expect_as_library(double value, Decimal known = {}) {
  char text[kMaxDoubleText];
  std::string ours(text, write_double(text, value, known));
  ASSERT_EQ(ours, nlohmann::json(value).dump()) << std::hexfloat << value;
}

TEST(JsonDouble, EdgesAndLayouts) {
  using L = std::numeric_limits<double>;
  for (double v :
       {0.0, -0.0, 1.0, -1.5, 0.1, 1e15, 1e16, 123456789012345.6, 1e-4, 1e-5,
        0.00012, 1.2499999999999999e-05, 5708.5, -1709.85, 1e21, 1e22, 1e23,
        1e100, 1e-100, 2.5e-308, L::min(), L::denorm_min(), L::max(),
        L::lowest(), L::epsilon(), 9007199254740993.0, 0x1p-1022, 0x1p1023,
        // Doubles where the library's digits are not the shortest
        // or not the closest: they must come out as it writes them.
        0.005929143, 0.048058501, 0.0007093679699999999, 663342822032153.3,
        3.132231570226741e+16}) {
    expect_as_library(v);
  }
  // Decimals read from text that are longer than the shortest: only those
  // of up to 15 digits are taken as they are.
  expect_as_library(0.1, Decimal{10000000000000001, -17});
  expect_as_library(0.3, Decimal{2999999999999999889, -19});
  for (int e = -330; e <= 308; ++e) {
    expect_as_library(std::pow(10.0, e));
    expect_as_library(std::ldexp(1.0, e * 3));
  }
}

TEST(JsonDouble, RandomDoublesOfEveryKind) {
  std::mt19937_64 rng(20240501);
  for (int i = 0; i < 200'000; ++i) {
    std::uint64_t r = rng();
    // Arbitrary bit patterns; short decimals (what people write); and
    // mantissas of up to 17 digits near the exponents where the exact
    // check applies, whose digits are hardest to pick.
    double bits = std::bit_cast<double>(r);
    if (std::isfinite(bits)) expect_as_library(bits);
    // The short decimals also as read from text, which saves the search
    // for the shortest decimal; with trailing zeros now and then.
    std::uint64_t digits = r % 100'000'000;
    int exponent = -static_cast<int>(r >> 60);
    double decimal = static_cast<double>(digits) / std::pow(10.0, -exponent);
    expect_as_library(decimal);
    expect_as_library(decimal, Decimal{digits, exponent});
    expect_as_library(decimal, Decimal{digits * 1000, exponent - 3});
    expect_as_library(static_cast<double>(rng() % 100'000'000'000'000'000) *
                      std::pow(10.0, static_cast<int>(r >> 58) - 40));
  }
}

}  // namespace
}  // namespace twk::json
