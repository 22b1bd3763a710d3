// check and explain, as a person editing a policy sees them.
#include "policy_tools.h"

#include <gtest/gtest.h>
#include <sys/stat.h>

#include <fstream>

#include "test_util.h"

namespace twk::core {
namespace {

using testing::Contains;
using testing::ScratchDir;
using testing::write_text;

TEST(PolicyTools, CheckListsTheRulesOfAGoodFile) {
  ScratchDir dir;
  std::string path = (dir / "policy.yaml");
  write_text(path,
             "rules:\n  - name: no-rm\n    tool: Bash\n    decision: deny\n");
  ToolResult r = check_policy(path, true);
  EXPECT_EQ(r.status, 0);
  EXPECT_EQ(r.out, path + ": OK, 1 rule\n  1. no-rm: deny\n  default: none\n"
                          "  checks: all on\n");
  write_text(path, "checks: {cloud: off, destructive-git: deny}\n");
  EXPECT_TRUE(
      Contains(check_policy(path, true).out,
               "  checks: destructive-git deny, cloud off; the others on\n"));
  EXPECT_EQ(r.err, "");
}

TEST(PolicyTools, CheckPrintsErrorsWithLineAndColumn) {
  ScratchDir dir;
  std::string path = (dir / "policy.yaml");
  write_text(path,
             "rules:\n  - tool: Bash\n    decision: deny\n"
             "    reasn: typo\n");
  ToolResult r = check_policy(path, true);
  EXPECT_EQ(r.status, 1);
  EXPECT_EQ(r.out, "");
  EXPECT_TRUE(r.err.starts_with(path + ":4:5: error: unknown key \"reasn\""))
      << r.err;

  r = check_policy((dir / "absent.yaml"), true);
  EXPECT_EQ(r.status, 1);
  EXPECT_TRUE(Contains(r.err, "no such file"));
}

TEST(PolicyTools, CheckWithoutAFileDescribesTheBuiltinPolicy) {
  ScratchDir dir;
  ToolResult r = check_policy((dir / "policy.yaml"), false);
  EXPECT_EQ(r.status, 0);
  EXPECT_TRUE(Contains(r.out, "built-in default policy"));
  EXPECT_TRUE(Contains(r.out, "checks: all on"));

  // A machine's managed policy is checked beside it; its errors count.
  std::string managed = (dir / "managed.yaml");
  testing::write_text(managed, "default: ask\n");
  r = check_policy((dir / "policy.yaml"), false, managed);
  EXPECT_EQ(r.status, 0);
  EXPECT_TRUE(r.out.starts_with("Managed policy")) << r.out;
  testing::write_text(managed, "default: maybe\n");
  r = check_policy((dir / "policy.yaml"), false, managed);
  EXPECT_EQ(r.status, 1);
  EXPECT_TRUE(Contains(r.err, managed + ":1:10:"));
}

TEST(PolicyTools, ExplainShowsTheMatchingRuleAndTheHookOutput) {
  ScratchDir dir;
  CheckFacts facts;
  facts.home = "/home/someone";
  ToolResult r = explain_event(
      (dir / "policy.yaml"), false, std::nullopt,
      R"({"session_id":"s","hook_event_name":"PreToolUse","tool_name":"Bash",)"
      R"("cwd":"/home/someone/src/app",)"
      R"("tool_input":{"command":"cd .. && sudo bash -c 'rm -rf ~'"}})",
      facts);
  EXPECT_EQ(r.status, 0) << r.err;
  // The commands as they run, and the check that decided.
  EXPECT_TRUE(Contains(r.out,
                       "commands:\n  cd .. (in /home/someone/src/app)\n"
                       "  rm -rf /home/someone (through bash -c, as root, "
                       "in /home/someone/src)\n"));
  EXPECT_TRUE(Contains(r.out,
                       "built-in policy: check \"recursive-delete\" finds: "
                       "deny"));
  EXPECT_TRUE(Contains(r.out,
                       "twk-hook prints:\n{\"hookSpecificOutput\":{"
                       "\"hookEventName\":\"PreToolUse\","
                       "\"permissionDecision\":\"deny\""));

  // A post-tool-use event, and one nothing matches: no output.
  r = explain_event((dir / "policy.yaml"), false, std::nullopt,
                    R"({"hook_event_name":"PostToolUse","tool_name":"Bash",)"
                    R"("tool_input":{"command":"rm -rf ~"}})");
  EXPECT_TRUE(Contains(r.out, "event: post-tool-use"));
  EXPECT_TRUE(Contains(r.out, "twk-hook prints nothing"));
}

TEST(PolicyTools, ExplainAppliesAProjectPolicyAndTheRequestForm) {
  ScratchDir dir;
  std::string project = (dir / "project");
  ASSERT_EQ(::mkdir(project.c_str(), 0700), 0);
  ASSERT_EQ(::mkdir((project + "/.tarnwick").c_str(), 0700), 0);
  write_text(project + "/.tarnwick/policy.yaml",
             "rules:\n  - name: no-make\n    tool: Bash\n    decision: ask\n"
             "  - tool: Read\n    decision: allow\n");
  const std::string event =
      R"({"tool_name":"Bash","tool_input":{"command":"make"}})";
  ToolResult r = explain_event((dir / "policy.yaml"), false, project, event);
  EXPECT_EQ(r.status, 0) << r.err;
  EXPECT_TRUE(Contains(
      r.out, "project policy " + project +
                 "/.tarnwick/policy.yaml: rule 1 \"no-make\" matches: ask"));
  EXPECT_TRUE(Contains(r.out, "decision: ask"));

  // The hook's own request body, with the project in its context.
  r = explain_event((dir / "policy.yaml"), false, std::nullopt,
                    R"({"agent":"claude-code","context":{"projectDir":")" +
                        project +
                        R"("},"hook":"pre-tool-use","input":{"tool_name":)"
                        R"("Read","tool_input":{}}})");
  EXPECT_TRUE(
      Contains(r.out, "allow (ignored: a project policy cannot allow)"));
  EXPECT_TRUE(Contains(r.out, "twk-hook prints nothing"));
}

TEST(PolicyTools, ExplainFailsOnBrokenInput) {
  ScratchDir dir;
  std::string path = (dir / "policy.yaml");
  write_text(path, "rules: [\n");
  ToolResult r = explain_event(path, true, std::nullopt,
                               R"({"tool_name":"Bash","tool_input":{}})");
  EXPECT_EQ(r.status, 1);
  EXPECT_TRUE(Contains(r.out, "BROKEN (line 2, column 1"));
  EXPECT_TRUE(Contains(r.out, "asks about every call until it is fixed"));
  EXPECT_TRUE(Contains(r.out, "\"permissionDecision\":\"ask\""));

  r = explain_event((dir / "none.yaml"), false, std::nullopt, "{not json");
  EXPECT_EQ(r.status, 1);
  EXPECT_TRUE(Contains(r.err, "isn't a JSON object"));
  r = explain_event((dir / "none.yaml"), false, (dir / "no-such-dir"),
                    "{}");
  EXPECT_EQ(r.status, 1);
}

}  // namespace
}  // namespace twk::core
