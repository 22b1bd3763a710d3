#include "core_exchange.h"

#include <gtest/gtest.h>

namespace twk {
namespace {

// The line the hook prints for `out`, or "(none)" when there is no output.
std::string line_for(const HookOutput& out) {
  return out ? hook_output_line(out) : "(none)";
}

// The ask line for an unchecked call, with `reason` as written in JSON.
std::string ask(const std::string& reason) {
  std::string m = "Vantorel couldn't check this call (" + reason +
                  "). Approve it only if you expect it.";
  return R"({"hookSpecificOutput":{"hookEventName":"PreToolUse",)"
         R"("permissionDecision":"ask","permissionDecisionReason":")" +
         m + R"("},"systemMessage":")" + m + "\"}\n";
}

// The body for `input`, held as the hook holds what it read, or the reason
// there is none.
std::string body_for(std::string_view hook, std::string_view input,
                     const std::optional<std::string>& project_dir = {}) {
  HookInput in(input);
  Result<std::string_view> body =
      policy_request_body("claude-code", hook, in, project_dir);
  return body ? std::string(*body) : "error: " + body.reason();
}

TEST(PolicyRequestBody, FourMembersInKeyOrder) {
  EXPECT_EQ(body_for("pre-tool-use", R"( {"tool_input":{"b":1,"a":2}} )"),
            R"({"agent":"claude-code","context":{},"hook":"pre-tool-use",)"
            R"("input":{"tool_input":{"a":2,"b":1}}})");
  EXPECT_EQ(body_for("post-tool-use", "null", "/p/\"q\""),
            R"({"agent":"claude-code","context":{"projectDir":"/p/\"q\""},)"
            R"("hook":"post-tool-use","input":null})");
  for (std::string_view bad : {"", "{", "[1,]", "1 2"}) {
    EXPECT_EQ(body_for("pre-tool-use", bad),
              "error: the hook input wasn't JSON");
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
      std::string expected = R"({"agent":"claude-code","context":{)";
      if (dir) expected += R"("projectDir":")" + *dir + "\"";
      expected += R"(},"hook":"post-tool-use","input":)";
      expected += json::dump(*json::parse(input)) + "}";
      EXPECT_EQ(body_for("post-tool-use", input, dir), expected);
    }
  }
  HookInput empty;
  EXPECT_FALSE(policy_request_body("claude-code", "pre-tool-use", empty,
                                   std::nullopt));
}

// The line the hook prints for Core's `answer` to pre-tool-use; after
// post-tool-use there is no output, whatever the answer.
std::string pre_tool_use_line(const http::Response& answer) {
  EXPECT_EQ(line_for(judge_core_answer("post-tool-use", answer)), "(none)")
      << answer.status << " " << answer.body;
  return line_for(judge_core_answer("pre-tool-use", answer));
}

TEST(JudgeCoreAnswer, PassesOutputThroughForPreToolUseOnly) {
  EXPECT_EQ(pre_tool_use_line({200, R"({"output":{"b":1,"a":2},"x":3})"}),
            "{\"a\":2,\"b\":1}\n");
  EXPECT_EQ(pre_tool_use_line({200, R"({"output":"text"})"}), "\"text\"\n");
  EXPECT_EQ(pre_tool_use_line({200, R"({"output":[1,false]})"}),
            "[1,false]\n");
  EXPECT_EQ(pre_tool_use_line({200, R"({"output":null})"}), "(none)");
}

TEST(JudgeCoreAnswer, UnusableAnswersBecomeAsk) {
  for (std::string body : {"{}", "[]", "", "not json", R"({"Output":1})",
                           R"("output")", R"({"output":1} x)"}) {
    EXPECT_EQ(pre_tool_use_line({200, body}),
              ask("Core's answer wasn't valid"))
        << body;
  }
  for (std::uint16_t status : {201, 204, 404, 500, 0, 65535}) {
    EXPECT_EQ(pre_tool_use_line({status, R"({"output":{"a":1}})"}),
              ask("Core answered " + std::to_string(status)));
  }
}

TEST(UncheckedCallOutput, ExactAskLineWithEscapedReason) {
  auto line = [](std::string_view hook, std::string_view reason) {
    return line_for(unchecked_call_output(hook, reason));
  };
  EXPECT_EQ(line("pre-tool-use", "no Core binary was found"),
            ask("no Core binary was found"));
  // Quotes and line breaks are escaped identically in both copies.
  EXPECT_EQ(line("pre-tool-use", "a \"b\"\nc\\"), ask(R"(a \"b\"\nc\\)"));
  EXPECT_EQ(line("post-tool-use", "x"), "(none)");
  EXPECT_EQ(line("pre-tool-use-", "x"), "(none)");
  EXPECT_EQ(hook_output_line(std::nullopt), "");
}

}  // namespace
}  // namespace twk
