#include "twk/text.h"

#include <gtest/gtest.h>

namespace twk::text {
namespace {

TEST(Text, DecimalNumbers) {
  constexpr auto kClamp = AboveLimit::kClamp;
  const std::string twenty_digits(20, '9');
  struct Case {
    std::string text;
    std::uint64_t limit;
    AboveLimit above;
    std::optional<std::uint64_t> value;
  } cases[] = {
      {"0", 10, AboveLimit::kFail, 0},
      {"007", 10, AboveLimit::kFail, 7},
      {"65535", 65535, AboveLimit::kFail, 65535},
      {"65536", 65535, AboveLimit::kFail, std::nullopt},
      {"65536", 65535, kClamp, 65535},
      {twenty_digits, UINT64_MAX, AboveLimit::kFail, std::nullopt},
      {twenty_digits, UINT64_MAX, kClamp, UINT64_MAX},
      {twenty_digits + "x", UINT64_MAX, kClamp, std::nullopt},
      {"", 10, kClamp, std::nullopt},
      {"+1", 10, kClamp, std::nullopt},
      {"-1", 10, kClamp, std::nullopt},
      {" 1", 10, kClamp, std::nullopt},
      {"1 ", 10, kClamp, std::nullopt},
  };
  for (const Case& c : cases) {
    EXPECT_EQ(parse_decimal(c.text, c.limit, c.above), c.value)
        << "\"" << c.text << "\"";
  }
}

TEST(Text, CaseFoldingIsAsciiOnly) {
  EXPECT_EQ(ascii_lowercase("Content-LENGTH"), "content-length");
  EXPECT_TRUE(ascii_iequals("Expect", "eXPECT"));
  // KELVIN SIGN (U+212A) is not a K, and bytes above 0x7f stay as they are.
  EXPECT_FALSE(ascii_iequals("\xe2\x84\xaa", "k"));
  EXPECT_EQ(ascii_lowercase("\xc3\x84"), "\xc3\x84");
  EXPECT_EQ(hex_value('F'), 15);
  EXPECT_EQ(hex_value('g'), -1);
}

}  // namespace
}  // namespace twk::text
