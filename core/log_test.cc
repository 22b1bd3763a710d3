// Tests for the log line format.
#include "log.h"

#include <gtest/gtest.h>

namespace twk::core {
namespace {

WallTime at_micros(std::int64_t micros) {
  return WallTime(std::chrono::duration_cast<WallTime::duration>(
      std::chrono::microseconds(micros)));
}

TEST(Log, TimestampsAreUtcWithMicroseconds) {
  EXPECT_EQ(log_timestamp(at_micros(0)), "1970-01-01T00:00:00.000000Z");
  EXPECT_EQ(log_timestamp(at_micros(1714564800123456)),
            "2024-05-01T12:00:00.123456Z");
  // Just before the epoch the fraction must count up from the second below.
  EXPECT_EQ(log_timestamp(at_micros(-1)), "1969-12-31T23:59:59.999999Z");
}

TEST(Log, FieldsCannotBreakOrForgeLines) {
  EXPECT_EQ(log_field("/v1/policy/hook"), "/v1/policy/hook");
  EXPECT_EQ(log_field(""), "-");
  EXPECT_EQ(log_field("/a\nGET /b 200"), "/a\\x0aGET\\x20/b\\x20200");
  EXPECT_EQ(log_field("a\\x0a"),
            "a\\x5cx0a");  // a literal escape stays distinct
  EXPECT_EQ(log_field("\r\t\x7f"), "\\x0d\\x09\\x7f");
  EXPECT_EQ(log_field("caf\xc3\xa9"), "caf\\xc3\\xa9");
  // Whole messages keep their spaces and text but lose line breaks and
  // terminal escapes.
  EXPECT_EQ(log_line_text("policy x is broken: unknown key \"a\nb\x1b[2J\""),
            "policy x is broken: unknown key \"a\\x0ab\\x1b[2J\"");
  EXPECT_EQ(log_line_text("caf\xc3\xa9 \\"), "caf\xc3\xa9 \\");
}

TEST(Log, RequestLineHasAllFields) {
  EXPECT_EQ(request_log_line(at_micros(0), "POST", "/v1/policy/hook", 200, 153),
            "1970-01-01T00:00:00.000000Z POST /v1/policy/hook 200 153us");
  EXPECT_EQ(request_log_line(at_micros(0), "", "", 400, std::nullopt),
            "1970-01-01T00:00:00.000000Z - - 400 -");
}

}  // namespace
}  // namespace twk::core
