#include "twk/json.h"

#include <gtest/gtest.h>

#include <string>

#include "twk/testing/library_json.h"

namespace twk::json {
namespace {

// Concatenation by appending: g++ 12 warns (-Wrestrict, wrongly) about
// "literal" + std::string.
template <class... Parts>
std::string cat(const Parts&... parts) {
  std::string s;
  (s.append(parts), ...);
  return s;
}

std::string canon(std::string_view text) {
  Result<std::string> out = canonicalize(text);
  return out ? *out : "<invalid>";
}

// What canonicalize() and parse() both make of `text`: "ok", or the reason
// they both give; both answers when they differ.
std::string verdict(std::string_view text, std::size_t max_depth = kMaxDepth) {
  Result<std::string> canonical = canonicalize(text, max_depth);
  Result<Value> tree = parse(text, max_depth);
  std::string c = canonical ? "ok" : canonical.reason(),
              p = tree ? "ok" : tree.reason();
  return c == p ? c : cat("canonicalize: ", c, ", parse: ", p);
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

// The reader and the library must agree on every text: both refuse it, or
// both take it, and the canonical form is byte for byte the library's dump
// of its value, which is the value parse() builds.
void expect_agrees(std::string_view text) {
  SCOPED_TRACE(::testing::PrintToString(std::string(text)));
  std::optional<Value> library = twk::testing::library_read(text).value;
  Result<std::string> canonical = canonicalize(text);
  Result<Value> tree = parse(text);
  ASSERT_EQ(canonical.ok(), library.has_value());
  ASSERT_EQ(tree.ok(), library.has_value());
  if (!library) return;
  EXPECT_EQ(*canonical, dump(*library));
  EXPECT_EQ(*tree, *library);
  EXPECT_EQ(dump(*tree), *canonical);
}

void expect_all_agree(std::initializer_list<std::string> texts) {
  for (const std::string& text : texts) expect_agrees(text);
}

TEST(JsonCanonicalize, AgreesWithTheLibraryDump) {
  // The hook and Core must write the same bytes for the same event as a
  // dump of the library's tree, or records and fingerprints would differ.
  expect_all_agree({
      R"({"b":[1,2.5,-3,1e100,0.1,-0.0,1.0],"a":"x\ty\u0000z","c":{}})",
      R"({"z":{"y":{"x":{"b":1,"a":[]}}},"e":true,"d":false,"c":null})",
      R"([18446744073709551615,-9223372036854775808,9223372036854775807])",
      R"("\ud83d\ude00 \u007f \/ \" \\ \b\f\n\r")",
      R"({"dup":1,"dup":{"b":2,"a":1}})", "123", "null", R"([[[[]]]])",
  });
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
    EXPECT_EQ(verdict(bad), kNotJson) << ::testing::PrintToString(bad);
  }
  // The library stops at a NUL byte; a valid prefix must not pass. A NUL
  // byte is the reason even where the text is broken or too deep before it.
  for (const std::string& with_nul :
       {cat("{\"a\":1}", std::string(1, '\0'), "garbage"),
        std::string("\"a\0b\"", 5), cat("[1,", std::string(1, '\0')),
        cat(std::string(200, '['), std::string(1, '\0'))}) {
    EXPECT_EQ(verdict(with_nul), kHasNul);
  }
}

TEST(JsonStrictRules, NestingLimitIs127Levels) {
  auto nested = [](std::size_t depth, char open = '[', char close = ']') {
    return std::string(depth, open) + std::string(depth, close);
  };
  EXPECT_EQ(verdict(nested(127)), "ok");
  EXPECT_EQ(verdict(nested(128)), kTooDeep);
  // A limit given in place of the default; Core's is one level more.
  EXPECT_EQ(verdict(nested(128), kMaxWriterDepth), "ok");
  EXPECT_EQ(verdict(nested(3, '{', '}'), 2), kNotJson);
  EXPECT_EQ(verdict(nested(3), 2), kTooDeep);

  std::string objects;
  for (int i = 0; i < 127; ++i) objects += "{\"a\":";
  objects += cat("1", std::string(127, '}'));
  EXPECT_EQ(verdict(objects), "ok");
  EXPECT_EQ(verdict(cat("[", objects, "]")), kTooDeep);

  // Far deeper than any stack could recurse: rejected, not a crash.
  EXPECT_EQ(verdict(std::string(1'000'000, '[')), kTooDeep);
}

TEST(JsonCanonicalize, NumbersAgreeWithTheLibrary) {
  expect_all_agree({
      // Integers that fit 64 bits are copied; -0 is the integer 0.
      "0", "-0", "[-0,0]", "9223372036854775807", "-9223372036854775808",
      "18446744073709551615", "9007199254740993",
      // Integers that do not fit become doubles.
      "18446744073709551616", "-9223372036854775809",
      "123456789012345678901234567890", cat("1", std::string(300, '0')),
      // Short mantissas with small exponents, and their edges.
      "0.5", "-0.0", "0.0", "0e0", "-0e-5", "1.0", "1.50", "12.5",
      "5708.5", "-1709.85", "0.1", "0.000001", "1E2", "1e22", "1e23",
      "1e-22", "1e-23", "9007199254740992.0", "9007199254740993.0",
      "9007199254740993e-1", "1234567890123456789.5",
      "0.30000000000000004",
      "3.141592653589793238462643383279502884197", "1e0000000000000000001",
      // The range ends: subnormals, underflow to zero, the largest.
      "4.9e-324", "2.4e-324", "2.2250738585072011e-308", "1e-400",
      "-1e-400", "1.7976931348623157e308", "1e-99999999999",
      cat("0.", std::string(400, '0'), "1"),
      // Too large for a double: invalid.
      "1e400", "-1e400", "1.7976931348623159e308", "1e99999999999",
      cat("1", std::string(400, '0')),
      // Not numbers.
      "-", "1.", ".5", "1e", "1e+", "-01", "01.5", "1.e5", "+1", "0x1",
      "1e5.5", "--1", "1ee5", "Infinity", "-Infinity",
  });
}

TEST(JsonCanonicalize, StringsAgreeWithTheLibrary) {
  expect_all_agree({
      // Escapes in every form, upper- and lower-case hex.
      R"("\u0000\u0001\u001F\u001f\u0020\u007F\u0080\u07FF\u0800")",
      R"("\uFFFF\uffff\uD83D\uDE00\ud83d\ude00\uDBFF\uDFFF\u0022\u005C")",
      R"("\u0008\u0009\u000A\u000C\u000D\u002F\/\b\f\n\r\t\"\\")",
      // Surrogates that do not pair, and broken escapes: invalid.
      R"("\uD800")", R"("\uD800x")", R"("\uD800\uD800")", R"("\uDC00")",
      R"("\uDFFF\uD800")", R"("\uD800\u0041")", R"("\uD800\n")",
      R"("\x41")", R"("\U0041")", R"("\u12")", R"("\u12G4")", R"("\)",
      R"("\u)", R"("\uD800\u)", "\"\\",
      // Raw bytes: DEL is fine, control characters are not.
      "\"\x7f\"", "\"\x1f\"", "\"\t\"", "\"\n\"",
      // UTF-8: the edges of every sequence length, then the ill-formed.
      "\"\xC2\x80\xDF\xBF\xE0\xA0\x80\xED\x9F\xBF\xEE\x80\x80\"",
      "\"\xEF\xBF\xBF\xF0\x90\x80\x80\xF4\x8F\xBF\xBF\"",
      "\"\xC0\x80\"", "\"\xC1\xBF\"", "\"\xE0\x9F\xBF\"",
      "\"\xED\xA0\x80\"", "\"\xF0\x8F\xBF\xBF\"", "\"\xF4\x90\x80\x80\"",
      "\"\xF5\x80\x80\x80\"", "\"\xFF\"", "\"\x80\"", "\"\xC3\"",
      "\"\xE2\x82\"", "\"\xF0\x9F\x98\"",
      "\"\xC3", "\"\xE2\x82", "\"\xC3\x28\"", "\"abc",
  });
}

TEST(JsonCanonicalize, StringsAgreeAtEveryBlockPosition) {
  // Strings are scanned in blocks of sixteen bytes: put each kind of
  // special byte at every position of strings around the block sizes, with
  // the closing quote and the end of the text at every position too.
  const std::string specials[] = {"\\n", "\\u00e9", "\\ud83d\\ude00", "\\/",
                                  "\xC3\xA9", "\xF0\x9F\x98\x80", "\x7f",
                                  "\x1f", "\xC3", "\\"};
  for (std::size_t length : {0, 1, 14, 15, 16, 17, 31, 32, 33, 48}) {
    for (std::size_t at = 0; at <= length; ++at) {
      for (const std::string& special : specials) {
        std::string body(length, 'x');
        body.insert(at, special);
        expect_agrees(cat("\"", body, "\""));
        expect_agrees(cat("[\"", body, "\",1]"));
        expect_agrees(cat("\"", body));  // the text ends inside the string
      }
    }
  }
}

TEST(JsonCanonicalize, LongStringsAgreeAcrossChunkEdges) {
  // Long strings are taken 64 bytes at a time once they are under way, with
  // backslash runs worked out per chunk: put runs of either parity, escaped
  // quotes, escapes that need decoding and multi-byte characters at every
  // position of the first chunks, so across each chunk edge.
  const std::string specials[] = {
      "\\n", "\\\\", "\\\\\\\"", "\\\\\\\\", "\\\\\\\\\\t", "\\\"",
      "\\u00e9", "\\\\\\u0041", "\\/", "\xC3\xA9", "\xE2\x82\xAC",
      "\xF0\x9F\x98\x80", "\x01", "\xC3", "\\x", "\\", "\""};
  std::string filler;
  while (filler.size() < 300) filler += "ab\\tcd \\\"q\\\" ";
  for (std::size_t at = 0; at <= 200; ++at) {
    for (const std::string& special : specials) {
      std::string body = filler;
      body.insert(at, special);
      expect_agrees(cat("\"", body, "\""));
      expect_agrees(cat("{\"k\":\"", body, "\",\"a\":1}"));
    }
  }
}

TEST(JsonCanonicalize, EscapedKeysSortByTheirBytes) {
  // "\u0001" is written with a backslash (0x5C) but is the byte 0x01, so it
  // sorts before "A"; the same key in two spellings is one key.
  EXPECT_EQ(canon(R"({"A":1,"\u0001":2})"), R"({"\u0001":2,"A":1})");
  EXPECT_EQ(canon(R"({"a":1,"\u0061":2})"), R"({"a":2})");
  EXPECT_EQ(canon(R"({"\u0062":1,"a":2})"), R"({"a":2,"b":1})");
  expect_all_agree({
      R"({"\n":1,"\t":2,"\"":3,"\\":4,"a":5,"\u0000":6,"\u001f":7})",
      R"({"b\u0000":1,"b":2,"\u00e9":3,"z":4,"\ud83d\ude00":5,)"
      R"("\u007f":6})",
      R"({"x":{"\"":1,"!":2,"#":3},"x":{"\"":4,"!":5}})",
      // Keys equal in their first eight bytes, and prefixes of others.
      R"({"abcdefghX":1,"abcdefgh":2,"abcdefghA":3,"abcdefg":4,"":5})",
      R"({"abcdefgh\u0000":1,"abcdefgh":2,"abcdefgh\u0001":3})",
      R"({"abcdefghij":1,"abcdefghij":2,"abcdefghi":3,)"
      R"("\u0061bcdefghij":4})",
  });
}

TEST(JsonCanonicalize, LargeObjectsAndExpandingNumbers) {
  // More members than the insertion sort takes, in reverse and with
  // duplicates.
  std::string many = "{";
  for (int i = 99; i >= 0; --i) {
    many += cat("\"k", std::to_string(i % 70), "\":", std::to_string(i), ",");
  }
  many.back() = '}';
  expect_agrees(many);

  // Objects too big to re-lay from one copy, with the largest member first,
  // in the middle and last, and a duplicate of it.
  std::string big = cat("\"", std::string(100'000, 'v'), "\"");
  expect_all_agree({
      cat("{\"m\":", big, ",\"z\":1,\"a\":2}"),
      cat("{\"z\":1,\"m\":", big, ",\"a\":2}"),
      cat("{\"z\":1,\"a\":2,\"m\":", big, "}"),
      cat("{\"m\":", big, ",\"b\":[1,2],\"m\":", big,
          ",\"a\":{\"y\":1,\"x\":2}}"),
      cat("{\"m\":", big, ",\"b\":", big, ",\"a\":3,\"b\":4}"),
  });

  // Numbers whose written form is longer than their text make the output
  // grow past the size of the input.
  std::string expanding = "[";
  for (int i = 0; i < 5000; ++i) expanding += "1e15,-1E-7,";
  expanding += "0]";
  expect_agrees(expanding);
  EXPECT_GT(canonicalize(expanding)->size(), expanding.size());
}

TEST(JsonCanonicalize, AppendKeepsWhatCameBefore) {
  std::string out = "{\"input\":";
  EXPECT_TRUE(append_canonical(out, R"( {"b":1,"a":[1.0,2]} )"));
  EXPECT_EQ(out, R"({"input":{"a":[1.0,2],"b":1})");
  std::string kept = out;
  for (std::string_view bad : {"{\"b\":1,\"a\":", "[1e400]", "\"\\ud800\""}) {
    EXPECT_FALSE(append_canonical(out, bad));
    EXPECT_EQ(out, kept);
  }
}

TEST(JsonFrame, BuildsOverTheTextOrInTheSpill) {
  // The memory is exactly as large as needed, so that the sanitizers see
  // any write past it.
  std::string spill;
  auto frame = [&spill](std::string_view head, std::string_view text,
                        std::size_t room) -> std::string {
    std::string memory = cat(std::string(room, '.'), text);
    Result<std::string_view> out = frame_canonical(
        memory.data(), room, text.size(), head, "}", spill);
    if (!out) return out.reason();
    bool in_memory = out->data() >= memory.data() &&
                     out->data() + out->size() <= memory.data() + memory.size();
    bool in_spill = out->data() == spill.data() && out->size() == spill.size();
    EXPECT_NE(in_memory, in_spill);
    return cat(in_spill ? "spill: " : "memory: ", *out);
  };
  const std::string head = "{\"input\":";
  EXPECT_EQ(frame(head, R"( {"b":[1, 2.50],"a":"\u00e9"} )", kFrameGap + 9),
            "memory: {\"input\":{\"a\":\"\xC3\xA9\",\"b\":[1,2.5]}}");
  EXPECT_EQ(frame(head, "[1,", kFrameGap + 9), kNotJson);
  EXPECT_EQ(frame(head, "[1e999]", kFrameGap + 9), kNotJson);
  EXPECT_EQ(frame(head, std::string(200, '['), kFrameGap + 9), kTooDeep);

  // Numbers written longer than they came catch up with the reading and
  // move the output to the spill string, with what was written so far.
  std::string expanding = R"({"z":"abc","a":[)";
  for (int i = 0; i < 200; ++i) expanding += "1e15,";
  expanding += "0]}";
  EXPECT_EQ(frame(head, expanding, kFrameGap + 9),
            cat("spill: ", head, *canonicalize(expanding), "}"));
  // Too little room in front for the head: built in the spill string.
  EXPECT_EQ(frame(head, "[1]", kFrameGap + 8), "spill: {\"input\":[1]}");
  EXPECT_EQ(frame("", "[1]", 0), "spill: [1]}");
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
