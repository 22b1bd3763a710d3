#include "json.h"

#include <gtest/gtest.h>

#include <string>

namespace twk::json {
namespace {

std::string canon(std::string_view text) {
  return canonicalize(text).value_or("<invalid>");
}

TEST(JsonCanonicalize, SortsKeysByBytesAtEveryDepthAndKeepsLastDuplicate) {
  EXPECT_EQ(canon(R"({"b":1,"a":{"d":[{"z":1,"y":2}],"c":null}})"),
            R"({"a":{"c":null,"d":[{"y":2,"z":1}]},"b":1})");
  // A key that is a prefix of another sorts first; bytes compare unsigned.
  EXPECT_EQ(canon(R"({"ab":1,"a":2,"\u00e9":3,"Z":4})"),
            "{\"Z\":4,\"a\":2,\"ab\":1,\"\xC3\xA9\":3}");
  EXPECT_EQ(canon(R"({"a":1,"b":2,"a":3})"), R"({"a":3,"b":2})");
  EXPECT_EQ(canon(R"({"a":{"x":1},"a":[2]})"), R"({"a":[2]})");
  EXPECT_EQ(canon(R"({"k":1,"k":2,"k":3})"), R"({"k":3})");
  // Sorting must not disturb arrays.
  EXPECT_EQ(canon(R"([3,1,2,{"b":0,"a":0}])"), R"([3,1,2,{"a":0,"b":0}])");
}

TEST(JsonCanonicalize, AgreesWithTheLibraryDump) {
  // The streaming writer and a dump of the parsed tree must produce the same
  // bytes, or the hook would send different text for the same event.
  for (std::string_view text : {
           R"({"b":[1,2.5,-3,1e100,0.1,-0.0,1.0],"a":"x\ty\u0000z","c":{}})",
           R"({"z":{"y":{"x":{"b":1,"a":[]}}},"e":true,"d":false,"c":null})",
           R"([18446744073709551615,-9223372036854775808,9223372036854775807])",
           R"("\ud83d\ude00 \u007f \/ \" \\ \b\f\n\r")",
           R"({"dup":1,"dup":{"b":2,"a":1}})", "123", "null", R"([[[[]]]])",
       }) {
    std::optional<Value> tree = parse(text);
    ASSERT_TRUE(tree) << text;
    EXPECT_EQ(canon(text), dump(*tree)) << text;
  }
}

TEST(JsonCanonicalize, NumbersAndEscapes) {
  EXPECT_EQ(canon("[1.0, 1.5e3, 18446744073709551615, -9223372036854775808]"),
            "[1.0,1500.0,18446744073709551615,-9223372036854775808]");
  EXPECT_EQ(canon("18446744073709551616"), "1.8446744073709552e+19");
  EXPECT_EQ(canon(R"(" \u0001 \u001f \/ \u00e9 )" "\x7f" R"(")"),
            "\" \\u0001 \\u001f / \xC3\xA9 \x7f\"");
  EXPECT_EQ(canon(R"("\b\t\n\f\r\"\\")"), R"("\b\t\n\f\r\"\\")");
  EXPECT_EQ(canon(" \t\r\n{ } \n"), "{}");
}

TEST(JsonStrictRules, RejectsWhatTheHookMustNotForward) {
  for (std::string_view bad : {
           "", " \n\t", "{", "[1,]", R"({"a":1,})", "{} {}", "1 2", "nul",
           "\xEF\xBB\xBF{}",                 // byte order mark
           "\"a\x01\"",                      // raw control character
           "\"\xC3\x28\"",                   // invalid UTF-8
           "\"\xED\xA0\x80\"",               // encoded surrogate
           "1e400", "-1e400", "NaN", "[Infinity]", "'a'", "{a:1}",
           "// c\n{}", "01", "+1", "0x10",
       }) {
    EXPECT_FALSE(canonicalize(bad)) << testing::PrintToString(bad);
    EXPECT_FALSE(parse(bad)) << testing::PrintToString(bad);
  }
  // The library stops at a NUL byte; a valid prefix must not pass.
  std::string with_nul = std::string("{\"a\":1}") + '\0' + "garbage";
  EXPECT_FALSE(canonicalize(with_nul));
  EXPECT_FALSE(parse(with_nul));
  EXPECT_FALSE(canonicalize(std::string("\"a\0b\"", 5)));
}

TEST(JsonStrictRules, NestingLimitIs127Levels) {
  auto nested = [](std::size_t depth, char open, char close) {
    return std::string(depth, open) + std::string(depth, close);
  };
  EXPECT_TRUE(canonicalize(nested(127, '[', ']')));
  EXPECT_TRUE(parse(nested(127, '[', ']')));
  EXPECT_FALSE(canonicalize(nested(128, '[', ']')));
  EXPECT_FALSE(parse(nested(128, '[', ']')));

  std::string objects;
  for (int i = 0; i < 127; ++i) objects += "{\"a\":";
  objects += "1" + std::string(127, '}');
  EXPECT_TRUE(canonicalize(objects));
  EXPECT_FALSE(canonicalize("[" + objects + "]"));

  // Far deeper than any stack could recurse: rejected, not a crash.
  std::string deep(1'000'000, '[');
  EXPECT_FALSE(canonicalize(deep));
  EXPECT_FALSE(parse(deep));
}

TEST(JsonWriter, EscapesStringsExactly) {
  std::string out;
  append_string(out, std::string("q\"b\\s/\x01\x1f\x7f\xC3\xA9\n", 12));
  EXPECT_EQ(out, "\"q\\\"b\\\\s/\\u0001\\u001f\x7f\xC3\xA9\\n\"");
  // dump() never throws, even for text that is not UTF-8.
  EXPECT_EQ(dump(Value("\xFF")), "\"\xEF\xBF\xBD\"");
}

}  // namespace
}  // namespace twk::json
