#include "twk/utf8.h"

#include <gtest/gtest.h>

namespace twk::utf8 {
namespace {

TEST(Utf8, ValidRejectsEveryIllFormedSequence) {
  EXPECT_TRUE(valid(""));
  EXPECT_TRUE(valid("plain ascii text that is longer than eight bytes"));
  EXPECT_TRUE(valid("\xC3\xA9\xE2\x82\xAC\xF0\x9F\x98\x80\xF4\x8F\xBF\xBF"));
  for (std::string_view bad :
       {"\x80", "\xC0\xAF", "\xC1\xBF", "\xE0\x80\xAF", "\xED\xA0\x80",
        "\xF0\x80\x80\xAF", "\xF4\x90\x80\x80", "\xF5\x80\x80\x80", "\xFF",
        "\xC3", "abcdefgh\xE2\x82", "\xE2\x28\xA1"}) {
    EXPECT_FALSE(valid(bad)) << testing::PrintToString(bad);
  }
}

TEST(Utf8, LossyReplacesEachMaximalIllFormedPart) {
  EXPECT_EQ(lossy("a\xFF" "b"), "a\xEF\xBF\xBD" "b");
  EXPECT_EQ(lossy("\xE2\x82" "A"), "\xEF\xBF\xBD" "A");  // truncated: one
  EXPECT_EQ(lossy("\xE0\x80\x80"),                        // overlong: three
            "\xEF\xBF\xBD\xEF\xBF\xBD\xEF\xBF\xBD");
  EXPECT_EQ(lossy("ok \xC3\xA9"), "ok \xC3\xA9");
}

TEST(Utf8, WhiteSpaceSplitAndTrim) {
  using V = std::vector<std::string_view>;
  EXPECT_EQ(split_white_space("  HTTP/1.1\t200 \xE3\x80\x80OK\xC2\x85x "),
            (V{"HTTP/1.1", "200", "OK", "x"}));
  EXPECT_EQ(split_white_space(" \t\n"), V{});
  // U+200B (zero width space) is not White_Space.
  EXPECT_EQ(split_white_space("a\xE2\x80\x8B" "b"), V{"a\xE2\x80\x8B" "b"});
  EXPECT_EQ(trim_white_space("\xE2\x80\xA8 5 ;\xC2\xA0"), "5 ;");
  EXPECT_EQ(trim_white_space("   "), "");
}

}  // namespace
}  // namespace twk::utf8
