// Matching tool calls against rules: order, tool names, hooks, input
// fields and their exceptions.
#include "rules.h"

#include <gtest/gtest.h>

#include <string>
#include <utility>
#include <vector>

namespace twk::core {
namespace {

Pattern pattern(std::string_view expression) {
  Result<Pattern> p = compile_pattern(expression);
  EXPECT_TRUE(p) << p.reason();
  return p ? *p : nullptr;
}

Rule rule(std::string name, Decision decision) {
  Rule r;
  r.name = std::move(name);
  r.decision = decision;
  return r;
}

ToolCall call(std::string_view tool, const nlohmann::json& input,
              std::string_view hook = "pre-tool-use") {
  return ToolCall{hook, tool, &input};
}

TEST(Rules, FirstMatchingRuleWinsAndTheDefaultCoversTheRest) {
  RuleSet set;
  Rule ask_git = rule("ask-git", Decision::kAsk);
  ask_git.tools = {"Bash"};
  ask_git.when = {{"command", pattern(R"(^git\b)")}};
  Rule deny_bash = rule("deny-bash", Decision::kDeny);
  deny_bash.tools = {"Bash"};
  set.rules = {ask_git, deny_bash};
  set.default_decision = Decision::kAllow;

  nlohmann::json git = {{"command", "git status"}};
  nlohmann::json ls = {{"command", "ls"}};
  Match m = evaluate(set, call("Bash", git));
  EXPECT_EQ(m.rule, 0u);
  EXPECT_EQ(m.decision, Decision::kAsk);
  m = evaluate(set, call("Bash", ls));
  EXPECT_EQ(m.rule, 1u);
  EXPECT_EQ(m.decision, Decision::kDeny);
  m = evaluate(set, call("Read", ls));
  EXPECT_FALSE(m.rule);
  EXPECT_EQ(m.decision, Decision::kAllow);
}

TEST(Rules, ToolNamesMatchExactlyOrByAWholePattern) {
  nlohmann::json input = nlohmann::json::object();
  Rule listed = rule("listed", Decision::kDeny);
  listed.tools = {"Read", "Write"};
  EXPECT_TRUE(rule_matches(listed, call("Write", input)));
  EXPECT_FALSE(rule_matches(listed, call("write", input)));
  EXPECT_FALSE(rule_matches(listed, call("WriteFile", input)));
  EXPECT_FALSE(rule_matches(listed, call("", input)));

  Rule by_pattern = rule("mcp", Decision::kAsk);
  by_pattern.tool_pattern = pattern("mcp__.*");
  EXPECT_TRUE(rule_matches(by_pattern, call("mcp__github__push", input)));
  // The whole name must match, not a part of it.
  EXPECT_FALSE(rule_matches(by_pattern, call("x_mcp__github", input)));

  Rule any_tool = rule("any", Decision::kAsk);
  EXPECT_TRUE(rule_matches(any_tool, call("Anything", input)));
}

TEST(Rules, HookFilter) {
  nlohmann::json input = nlohmann::json::object();
  Rule pre = rule("pre", Decision::kDeny);  // pre-tool-use by default
  Rule post = rule("post", Decision::kDeny);
  post.hook = HookFilter::kPostToolUse;
  Rule any = rule("any", Decision::kDeny);
  any.hook = HookFilter::kAny;
  EXPECT_TRUE(rule_matches(pre, call("Bash", input, "pre-tool-use")));
  EXPECT_FALSE(rule_matches(pre, call("Bash", input, "post-tool-use")));
  EXPECT_FALSE(rule_matches(post, call("Bash", input, "pre-tool-use")));
  EXPECT_TRUE(rule_matches(post, call("Bash", input, "post-tool-use")));
  EXPECT_TRUE(rule_matches(any, call("Bash", input, "post-tool-use")));
  EXPECT_FALSE(rule_matches(pre, call("Bash", input, "")));
}

TEST(Rules, InputFieldsAllMustMatchAndNoExceptionMay) {
  Rule r = rule("keys", Decision::kDeny);
  r.when = {{"file_path", pattern(R"(\.ssh/id_)")},
            {"mode", pattern("^read$")}};
  r.unless = {{"file_path", pattern(R"(\.pub$)")}};

  // Unanchored: a match anywhere in the value counts.
  EXPECT_TRUE(rule_matches(
      r, call("Read", {{"file_path", "/h/.ssh/id_rsa"}, {"mode", "read"}})));
  EXPECT_FALSE(rule_matches(
      r,
      call("Read", {{"file_path", "/h/.ssh/id_rsa.pub"}, {"mode", "read"}})));
  // One field not matching, or missing, is enough to miss.
  EXPECT_FALSE(rule_matches(
      r, call("Read", {{"file_path", "/h/.ssh/id_rsa"}, {"mode", "write"}})));
  EXPECT_FALSE(
      rule_matches(r, call("Read", {{"file_path", "/h/.ssh/id_rsa"}})));
  // No input, or input that is not an object, has no fields.
  EXPECT_FALSE(rule_matches(r, ToolCall{"pre-tool-use", "Read", nullptr}));
  nlohmann::json list = nlohmann::json::array({"/h/.ssh/id_rsa"});
  EXPECT_FALSE(rule_matches(r, call("Read", list)));
}

TEST(Rules, NonStringFieldsAreMatchedAsTheirJsonText) {
  Rule r = rule("long-timeout", Decision::kAsk);
  r.when = {{"timeout", pattern("^600000$")}};
  EXPECT_TRUE(rule_matches(r, call("Bash", {{"timeout", 600000}})));
  EXPECT_FALSE(rule_matches(r, call("Bash", {{"timeout", "6000000"}})));

  Rule edits = rule("edits", Decision::kAsk);
  edits.when = {{"edits", pattern(R"("old_string":"secret")")}};
  nlohmann::json input = {
      {"edits", {{{"old_string", "secret"}, {"new_string", "x"}}}}};
  EXPECT_TRUE(rule_matches(edits, call("MultiEdit", input)));
}

TEST(Rules, GroupedScansDecideAsPatternByPatternMatching) {
  RuleSet plain;
  Rule keys = rule("keys", Decision::kDeny);
  keys.tools = {"Read", "Write"};
  keys.when = {{"file_path", pattern(R"(\.ssh/id_)")}};
  keys.unless = {{"file_path", pattern(R"(\.pub$)")}};
  Rule rm = rule("rm", Decision::kDeny);
  rm.tools = {"Bash"};
  rm.when = {{"command", pattern(R"((?i)\brm\s+-rf\b)")}};
  Rule long_push = rule("long-push", Decision::kAsk);
  long_push.when = {{"command", pattern(R"(^git\s.*\bpush\b)")},
                    {"timeout", pattern("^[0-9]{6,}$")}};
  Rule edits = rule("edits", Decision::kAsk);
  edits.hook = HookFilter::kAny;
  edits.when = {{"edits", pattern(R"("old_string":"secret")")}};
  Rule anything = rule("anything-with-a-command", Decision::kAllow);
  anything.when = {{"command", pattern("")}};
  plain.rules = {keys, rm, long_push, edits, anything};
  plain.default_decision = Decision::kNone;

  RuleSet scanned = plain;
  prepare_scans(scanned);
  ASSERT_NE(scanned.scans, nullptr);

  const std::vector<std::pair<std::string, nlohmann::json>> calls = {
      {"Read", {{"file_path", "/h/.ssh/id_rsa"}}},
      {"Read", {{"file_path", "/h/.ssh/id_rsa.pub"}}},
      {"Write", {{"file_path", "/h/.ssh/id_ed25519"}, {"command", "x"}}},
      {"Bash", {{"command", "RM -RF build"}}},
      {"Bash", {{"command", "git push origin main"}, {"timeout", 600000}}},
      {"Bash", {{"command", "git push origin main"}, {"timeout", 60}}},
      {"Bash", {{"command", "ls"}}},
      {"Bash", {{"command", 42}}},
      {"MultiEdit", {{"edits", {{{"old_string", "secret"}}}}}},
      {"Bash", nlohmann::json::array({"rm -rf /"})},
      {"Bash", nlohmann::json::object()},
  };
  for (const auto& [tool, input] : calls) {
    for (std::string_view hook : {"pre-tool-use", "post-tool-use"}) {
      Match a = evaluate(plain, call(tool, input, hook));
      Match b = evaluate(scanned, call(tool, input, hook));
      EXPECT_EQ(a.rule, b.rule) << tool << " " << input << " " << hook;
      EXPECT_EQ(a.decision, b.decision) << tool << " " << input;
    }
  }
  // The pattern-by-pattern answers are the intended ones, too.
  EXPECT_EQ(evaluate(scanned, call("Read", calls[0].second)).rule, 0u);
  EXPECT_EQ(evaluate(scanned, call("Read", calls[1].second)).rule,
            std::nullopt);
  EXPECT_EQ(evaluate(scanned, call("Bash", calls[3].second)).rule, 1u);
  EXPECT_EQ(evaluate(scanned, call("Bash", calls[4].second)).rule, 2u);
  EXPECT_EQ(evaluate(scanned, call("Bash", calls[5].second)).rule, 4u);

  // Scans of another list of rules are not used.
  RuleSet changed = scanned;
  changed.rules.erase(changed.rules.begin());
  EXPECT_EQ(evaluate(changed, call("Bash", calls[3].second)).rule, 0u);
}

TEST(Rules, PatternsAreRe2) {
  EXPECT_TRUE(compile_pattern(R"((?i)^rm\s)"));
  // No backreferences or lookaround: those need a backtracking engine,
  // which is what makes matching take exponential time.
  EXPECT_FALSE(compile_pattern(R"((a)\1)"));
  Result<Pattern> lookahead = compile_pattern(R"(id_(?!.*\.pub))");
  ASSERT_FALSE(lookahead);
  EXPECT_FALSE(lookahead.reason().empty());
  EXPECT_FALSE(compile_pattern("("));
}

}  // namespace
}  // namespace twk::core
