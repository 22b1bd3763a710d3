#include "cli.h"

#include <gtest/gtest.h>

namespace twk {
namespace {

TEST(Quoted, EscapesSoTheMessageStaysOneLine) {
  EXPECT_EQ(quote_argument("claude"), "\"claude\"");
  EXPECT_EQ(quote_argument("a\"b\\c"), "\"a\\\"b\\\\c\"");
  EXPECT_EQ(quote_argument(std::string("\0\t\r\n", 4)), "\"\\0\\t\\r\\n\"");
  EXPECT_EQ(quote_argument("\x1b[1m\x7f"), "\"\\u{1b}[1m\\u{7f}\"");
  EXPECT_EQ(quote_argument("\xC2\x85 \xE2\x80\xA8"), "\"\\u{85} \\u{2028}\"");
  // Printable non-ASCII text is shown as it is.
  EXPECT_EQ(quote_argument("caf\xC3\xA9 \xE6\x97\xA5"), "\"caf\xC3\xA9 \xE6\x97\xA5\"");
  EXPECT_EQ(quote_argument("\xFF"), "\"\xEF\xBF\xBD\"");
}

TEST(ParseArguments, MessagesForEveryWrongCall) {
  EXPECT_EQ(parse_arguments({}).error,
            "twk-hook: usage: twk-hook <agent> <hook>\n");
  EXPECT_EQ(parse_arguments({"claude-code"}).error,
            "twk-hook: usage: twk-hook <agent> <hook>\n");
  EXPECT_EQ(parse_arguments({"Claude-Code", "pre-tool-use"}).error,
            "twk-hook: Vantorel has no adapter for agent \"Claude-Code\"\n");
  EXPECT_EQ(parse_arguments({"claude-code", "PreToolUse"}).error,
            "twk-hook: claude-code has no \"PreToolUse\" hook that Vantorel "
            "handles\n");
  EXPECT_EQ(parse_arguments({"x\ny", "bad"}).error,
            "twk-hook: Vantorel has no adapter for agent \"x\\ny\"\n");

  Invocation ok =
      parse_arguments({"claude-code", "post-tool-use", "extra", "more"});
  EXPECT_EQ(ok.error, "");
  EXPECT_EQ(ok.agent, "claude-code");
  EXPECT_EQ(ok.hook, "post-tool-use");
}

}  // namespace
}  // namespace twk
