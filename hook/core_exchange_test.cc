#include "core_exchange.h"

#include <gtest/gtest.h>

namespace twk {
namespace {

const char kAskPrefix[] =
    R"({"hookSpecificOutput":{"hookEventName":"PreToolUse","permissionDecision":"ask","permissionDecisionReason":")";

std::string line_for(const HookOutput& out) { return hook_output_line(out); }

std::string ask(const std::string& reason) {
  std::string m = "Vantorel couldn't check this call (" + reason +
                  "). Approve it only if you expect it.";
  return kAskPrefix + m + R"("},"systemMessage":")" + m + "\"}\n";
}

// The body for `input`, held as the hook holds what it read.
Result<std::string> body_for(std::string_view agent, std::string_view hook,
                             std::string_view input,
                             const std::optional<std::string>& project_dir) {
  HookInput in(input);
  Result<std::string_view> body =
      policy_request_body(agent, hook, in, project_dir);
  if (!body) return Failure{body.reason()};
  return std::string(*body);
}

TEST(PolicyRequestBody, FourMembersInKeyOrder) {
  Result<std::string> body = body_for(
      "claude-code", "pre-tool-use", R"( {"tool_input":{"b":1,"a":2}} )",
      std::nullopt);
  ASSERT_TRUE(body);
  EXPECT_EQ(*body,
            R"({"agent":"claude-code","context":{},"hook":"pre-tool-use",)"
            R"("input":{"tool_input":{"a":2,"b":1}}})");

  body = body_for("claude-code", "post-tool-use", "null",
                             std::string("/p/\"q\""));
  ASSERT_TRUE(body);
  EXPECT_EQ(*body,
            R"({"agent":"claude-code","context":{"projectDir":"/p/\"q\""},)"
            R"("hook":"post-tool-use","input":null})");

  for (std::string_view bad : {"", "{", "[1,]", "1 2"}) {
    Result<std::string> r =
        body_for("claude-code", "pre-tool-use", bad, std::nullopt);
    ASSERT_FALSE(r);
    EXPECT_EQ(r.reason(), "the hook input wasn't JSON");
  }
}

TEST(PolicyRequestBody, BuiltOverTheInputWhateverItsSize) {
  // The body is built in the input's memory; a start that does not fit in
  // front of it, and an input whose numbers outgrow it, are built apart.
  // All must give the same bytes.
  std::string numbers = "[";
  for (int i = 0; i < 100; ++i) numbers += "1e15,";
  numbers += "{\"b\":1,\"a\":2}]";
  const std::string long_dir(HookInput::kRoom, 'd');
  for (const std::optional<std::string>& dir :
       {std::optional<std::string>(), std::optional<std::string>("/p"),
        std::optional<std::string>(long_dir)}) {
    for (std::string_view input : {std::string_view(" {\"k\":[1,\"v\"]} "),
                                   std::string_view(numbers)}) {
      HookInput in(input);
      Result<std::string_view> body =
          policy_request_body("claude-code", "post-tool-use", in, dir);
      ASSERT_TRUE(body);
      std::string expected = R"({"agent":"claude-code","context":{)";
      if (dir) expected += R"("projectDir":")" + *dir + "\"";
      expected += R"(},"hook":"post-tool-use","input":)";
      expected += json::dump(*json::parse(input));
      expected += "}";
      EXPECT_EQ(*body, expected);
    }
  }
  HookInput empty;
  EXPECT_FALSE(policy_request_body("claude-code", "pre-tool-use", empty,
                                   std::nullopt));
}

TEST(JudgeCoreAnswer, PassesOutputThroughForPreToolUseOnly) {
  http::Response r{200, R"({"output":{"b":1,"a":2},"x":3})"};
  EXPECT_EQ(line_for(judge_core_answer("pre-tool-use", r)),
            "{\"a\":2,\"b\":1}\n");
  EXPECT_FALSE(judge_core_answer("post-tool-use", r));
  EXPECT_EQ(line_for(judge_core_answer("pre-tool-use", {200, R"({"output":"text"})"})),
            "\"text\"\n");
  EXPECT_EQ(line_for(judge_core_answer("pre-tool-use", {200, R"({"output":[1,false]})"})),
            "[1,false]\n");
  EXPECT_FALSE(judge_core_answer("pre-tool-use", {200, R"({"output":null})"}));
  EXPECT_FALSE(judge_core_answer("post-tool-use", {200, R"({"output":null})"}));
}

TEST(JudgeCoreAnswer, UnusableAnswersBecomeAsk) {
  for (std::string body : {"{}", "[]", "", "not json", R"({"Output":1})",
                           R"("output")", R"({"output":1} x)"}) {
    EXPECT_EQ(line_for(judge_core_answer("pre-tool-use", {200, body})),
              ask("Core's answer wasn't valid"))
        << body;
    EXPECT_FALSE(judge_core_answer("post-tool-use", {200, body}));
  }
  for (std::uint16_t status : {201, 204, 404, 500, 0, 65535}) {
    EXPECT_EQ(line_for(judge_core_answer("pre-tool-use",
                                         {status, R"({"output":{"a":1}})"})),
              ask("Core answered " + std::to_string(status)));
  }
}

TEST(UncheckedCallOutput, ExactAskLineWithEscapedReason) {
  EXPECT_EQ(line_for(unchecked_call_output("pre-tool-use", "no Core binary was found")),
            ask("no Core binary was found"));
  // Quotes and line breaks are escaped identically in both copies.
  std::string line =
      line_for(unchecked_call_output("pre-tool-use", "a \"b\"\nc\\"));
  std::string m = R"(Vantorel couldn't check this call (a \"b\"\nc\\). Approve it only if you expect it.)";
  EXPECT_EQ(line, kAskPrefix + m + R"("},"systemMessage":")" + m + "\"}\n");
  EXPECT_FALSE(unchecked_call_output("post-tool-use", "x"));
  EXPECT_FALSE(unchecked_call_output("pre-tool-use-", "x"));
  EXPECT_EQ(line_for(std::nullopt), "");
}

}  // namespace
}  // namespace twk
