// Reading policies from YAML: the full format, and errors that point at
// the line and column of the fault.
#include "policy_yaml.h"

#include <gtest/gtest.h>

#include "test_util.h"

namespace twk::core {
namespace {

using testing::Contains;

RuleSet parse_ok(std::string_view text) {
  auto parsed = parse_policy(text);
  if (auto* error = std::get_if<PolicyError>(&parsed)) {
    ADD_FAILURE() << error_text(*error);
    return {};
  }
  return std::get<RuleSet>(std::move(parsed));
}

PolicyError parse_error(std::string_view text) {
  auto parsed = parse_policy(text);
  if (auto* error = std::get_if<PolicyError>(&parsed)) return *error;
  ADD_FAILURE() << "parsed without an error:\n" << text;
  return {};
}

TEST(PolicyYaml, ReadsEveryPartOfTheFormat) {
  RuleSet set = parse_ok(R"(version: 1
default: ask
default_reason: Unknown calls need a look.
rules:
  - name: block-keys
    hook: any
    tool: [Read, Write]
    input:
      file_path: '\.ssh/id_'
    unless:
      file_path: '\.pub$'
    decision: deny
    reason: No keys.
  - tool_matches: 'mcp__.*'
    decision: allow
  - tool: Bash
    hook: post-tool-use
    decision: ask
)");
  EXPECT_EQ(set.default_decision, Decision::kAsk);
  EXPECT_EQ(set.default_reason, "Unknown calls need a look.");
  ASSERT_EQ(set.rules.size(), 3u);

  const Rule& keys = set.rules[0];
  EXPECT_EQ(keys.name, "block-keys");
  EXPECT_EQ(keys.hook, HookFilter::kAny);
  EXPECT_EQ(keys.tools, (std::vector<std::string>{"Read", "Write"}));
  ASSERT_EQ(keys.when.size(), 1u);
  EXPECT_EQ(keys.when[0].field, "file_path");
  ASSERT_EQ(keys.unless.size(), 1u);
  EXPECT_EQ(keys.decision, Decision::kDeny);
  EXPECT_EQ(keys.reason, "No keys.");
  // Single quotes keep the backslash for the regular expression.
  nlohmann::json input = {{"file_path", "/home/me/.ssh/id_rsa"}};
  EXPECT_TRUE(rule_matches(keys, {"pre-tool-use", "Read", &input}));
  input["file_path"] = "/home/me/.ssh/id_rsa.pub";
  EXPECT_FALSE(rule_matches(keys, {"pre-tool-use", "Read", &input}));

  // Unnamed rules are named by their position.
  EXPECT_EQ(set.rules[1].name, "rule 2");
  EXPECT_TRUE(set.rules[1].tool_pattern);
  EXPECT_EQ(set.rules[1].hook, HookFilter::kPreToolUse);
  EXPECT_EQ(set.rules[2].hook, HookFilter::kPostToolUse);
}

TEST(PolicyYaml, EmptyTextIsAPolicyWithoutRules) {
  for (std::string_view text : {"", "# only a comment\n", "rules:\n"}) {
    RuleSet set = parse_ok(text);
    EXPECT_TRUE(set.rules.empty()) << text;
    EXPECT_EQ(set.default_decision, Decision::kNone) << text;
  }
}

TEST(PolicyYaml, ErrorsNameTheirLineAndColumn) {
  struct Case {
    std::string text;
    int line;
    int column;
    std::string mentions;
  };
  const Case cases[] = {
      // YAML syntax.
      {"rules:\n  - tool: [Bash\n", 3, 1, ""},
      {"rules:\n  - tool: \"\\s\"\n", 2, 14, "escape"},
      // A typo in a key must not silently drop the condition.
      {"rules:\n  - tool: Bash\n    inputs:\n      command: x\n"
       "    decision: deny\n",
       3, 5, "unknown key \"inputs\""},
      {"rules:\n  - tool: Bash\n    decision: block\n", 3, 15,
       "must be allow, ask or deny, not \"block\""},
      // "none" is a default, not something a rule can decide.
      {"rules:\n  - decision: none\n", 2, 15, "not \"none\""},
      {"rules:\n  - tool: Bash\n    input:\n      command: 'rm (-rf'\n"
       "    decision: deny\n",
       4, 16, "bad regular expression in input.command"},
      {"rules:\n  - tool: Bash\n    reason: why\n", 2, 5, "no decision"},
      {"rules:\n  - tool: Bash\n    tool_matches: B.*\n    decision: ask\n", 2,
       5, "not both"},
      {"rules:\n  - decision: ask\n    decision: deny\n", 3, 5,
       "appears twice"},
      {"rules:\n  - input:\n      command: a\n      command: b\n"
       "    decision: ask\n",
       4, 7, "appears twice"},
      {"rules:\n  - deny\n", 2, 5, "a rule needs to be a mapping"},
      {"rules:\n  - input: [command]\n    decision: ask\n", 2, 12,
       "mapping of input fields"},
      {"rules:\n  - hook: PreToolUse\n    decision: ask\n", 2, 11,
       "pre-tool-use, post-tool-use or any"},
      {"version: 2\n", 1, 10, "version 1"},
      {"- a\n- b\n", 1, 1, "the policy needs to be a mapping"},
      {"default: ask\n---\ndefault: deny\n", 3, 1, "one YAML document"},
      {"rules: " + std::string(3000, '[') + std::string(3000, ']') + "\n", 1,
       6008, "nested too deeply"},
  };
  for (const Case& c : cases) {
    PolicyError error = parse_error(c.text);
    EXPECT_EQ(error.line, c.line) << c.text << error_text(error);
    EXPECT_EQ(error.column, c.column) << c.text << error_text(error);
    EXPECT_TRUE(Contains(error.message, c.mentions));
    EXPECT_TRUE(error_text(error).starts_with("line " + std::to_string(c.line) +
                                              ", column " +
                                              std::to_string(c.column) + ": "))
        << error_text(error);
  }
}

// A cloned project's policy is read by Core on a request's thread: no file
// may make that expensive, by aliases or by patterns that compile large.
TEST(PolicyYaml, HostileFilesAreBoundedNotCompiledOverAndOver) {
  // One costly pattern repeated through an alias is compiled once.
  std::string repeated =
      "rules:\n  - {tool: Bash, input: {command: &r '\\pL{100}'}, "
      "decision: deny}\n";
  for (int i = 0; i < 400; ++i) {
    repeated += "  - {tool: Bash, input: {command: *r}, decision: deny}\n";
  }
  RuleSet set = parse_ok(repeated);
  ASSERT_EQ(set.rules.size(), 401u);
  EXPECT_EQ(set.rules[0].when[0].pattern, set.rules[400].when[0].pattern);

  // Different costly patterns run out of the file's budget.
  std::string varied = "rules:\n";
  for (int i = 0; i < 100; ++i) {
    varied += "  - {tool: Bash, input: {command: '\\pL{" +
              std::to_string(100 + i) + "}'}, decision: deny}\n";
  }
  EXPECT_TRUE(
      Contains(parse_error(varied).message, "patterns together need more"));

  // A long list expanded again and again through an alias.
  std::string tools;
  for (int i = 0; i < 600; ++i) tools += i ? ",Bash" : "Bash";
  std::string expanded = "rules:\n  - {tool: &t [" + tools + "], decision: deny}\n";
  for (int i = 0; i < 300; ++i) {
    expanded += "  - {tool: *t, decision: deny}\n";
  }
  EXPECT_TRUE(Contains(parse_error(expanded).message, "aliases are expanded"));
}

}  // namespace
}  // namespace twk::core
