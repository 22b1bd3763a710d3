// The whole way of a policy decision: Claude Code's event goes into the
// built twk-hook, which starts the real twk-backend beside it, and the
// backend's policy decides what the hook prints.
#include <gtest/gtest.h>
#include <sys/stat.h>

#include <chrono>
#include <filesystem>
#include <nlohmann/json.hpp>
#include <string>

#include "harness.h"

namespace twk::testing {
namespace {

// A PreToolUse event as Claude Code writes it to the hook's stdin.
std::string bash_event(const std::string& command,
                       const std::string& event = "PreToolUse",
                       const std::string& cwd = "/work/app") {
  nlohmann::json e = {
      {"session_id", "9f1c2d7e-e2e"},
      {"transcript_path", "/tmp/transcript.jsonl"},
      {"cwd", cwd},
      {"hook_event_name", event},
      {"tool_name", "Bash"},
      {"tool_input", {{"command", command}, {"description", "e2e"}}}};
  if (event == "PostToolUse") {
    e["tool_response"] = {{"stdout", ""}, {"stderr", ""}};
  }
  return e.dump();
}

class PolicyE2ETest : public ::testing::Test {
 protected:
  void SetUp() override { env_ = base_env(state_); }
  void TearDown() override { kill_cores_for(state_ / "endpoint.json"); }

  ScratchDir state_;
  std::map<std::string, std::string> env_;
};

// The hook starts the backend that the build put beside it, and that one
// backend answers the events that follow.
TEST_F(PolicyE2ETest, BackendBesideTheHookDeniesRecursiveDeleteOfHome) {
  const std::string beside =
      std::filesystem::path(hook_path()).parent_path() / "twk-backend";
  ASSERT_TRUE(exists(beside)) << "the build puts twk-backend beside twk-hook";
  expect_answer(
      run_hook(bash_event("rm -rf ~"), env_),
      "{\"hookSpecificOutput\":{\"hookEventName\":\"PreToolUse\","
      "\"permissionDecision\":\"deny\",\"permissionDecisionReason\":"
      "\"`rm -rf " + state_.path() + "` deletes the home directory " +
          state_.path() + ".\"}}\n");
  const std::string endpoint = state_ / "endpoint.json";
  std::optional<std::string> record = read_file(endpoint);
  ASSERT_TRUE(record);
  // The record holds the bearer token: its owner's alone.
  EXPECT_EQ(path_mode(endpoint), 0600);
  long long pid = record_pid(*record);
  ASSERT_GT(pid, 0) << *record;
  EXPECT_EQ(exe_of(static_cast<pid_t>(pid)),
            std::filesystem::canonical(beside).string());
  EXPECT_FALSE(exists(endpoint + ".start-lock"));
  EXPECT_TRUE(exists(state_ / "logs/backend.log"));

  // The same Core answers the next events: an ordinary command gets no
  // opinion, and post-tool-use never prints anything.
  expect_answer(run_hook(bash_event("rm -rf ./build"), env_), "");
  expect_answer(run_hook(bash_event("rm -rf ~", "PostToolUse"), env_,
                         {"claude-code", "post-tool-use"}),
                "");
  EXPECT_EQ(read_file(endpoint), record);
  EXPECT_FALSE(ends_within(static_cast<pid_t>(pid), std::chrono::seconds(0)))
      << "the backend outlives the hooks";

  // All three are in the audit log, with the rule that matched.
  std::optional<std::string> audit = read_file(state_ / "logs/audit.jsonl");
  ASSERT_TRUE(audit);
  std::vector<nlohmann::json> lines;
  std::size_t start = 0;
  for (std::size_t end; (end = audit->find('\n', start)) != std::string::npos;
       start = end + 1) {
    lines.push_back(nlohmann::json::parse(audit->substr(start, end - start)));
  }
  ASSERT_EQ(lines.size(), 3u) << *audit;
  EXPECT_EQ(lines[0]["decision"], "deny");
  EXPECT_EQ(lines[0]["rule"]["check"], "recursive-delete");
  EXPECT_EQ(lines[0]["session"], "9f1c2d7e-e2e");
  EXPECT_EQ(lines[1]["decision"], "none");
  EXPECT_EQ(lines[2]["hook"], "post-tool-use");
  EXPECT_TRUE(lines[2]["response"].contains("sha256"));
}

// A repository may ship a link that leads out of it: the real backend
// looks where each written path leads.
TEST_F(PolicyE2ETest, WritesThroughALinkInTheProjectAreJudgedWhereTheyLead) {
  ScratchDir home;
  env_["HOME"] = home.path();
  home.write(".claude/settings.json", "{}");
  std::string project = home.mkdir("src/app");
  home.symlink("../../.claude/settings.json", "src/app/notes.md");
  RunResult r = run_hook(bash_event("echo x >> notes.md", "PreToolUse", project),
                         env_);
  EXPECT_EQ(r.exit_status, 0);
  EXPECT_NE(r.out.find("\"permissionDecision\":\"deny\""), std::string::npos)
      << r.out;
  EXPECT_NE(r.out.find(".claude/settings.json"), std::string::npos) << r.out;
  r = run_hook(bash_event("echo x >> readme.md", "PreToolUse", project), env_);
  EXPECT_EQ(r.out, "");
}

TEST_F(PolicyE2ETest, UserRulesAndProjectRulesBothCount) {
  write_file(state_ / "policy.yaml",
             "rules:\n"
             "  - name: no-prod\n"
             "    tool: Bash\n"
             "    input: {command: 'kubectl .*--context[= ]prod'}\n"
             "    decision: deny\n"
             "    reason: Production is off limits.\n"
             "default: allow\n");
  std::string project = state_ / "project";
  ASSERT_EQ(::mkdir(project.c_str(), 0700), 0);
  ASSERT_EQ(::mkdir((project + "/.tarnwick").c_str(), 0700), 0);
  write_file(project + "/.tarnwick/policy.yaml",
             "rules:\n"
             "  - tool: Bash\n"
             "    input: {command: '^make deploy'}\n"
             "    decision: ask\n"
             "  - tool: Bash\n"
             "    decision: allow\n");
  env_["CLAUDE_PROJECT_DIR"] = project;

  auto decision = [&](const std::string& command) {
    RunResult r = run_hook(bash_event(command), env_);
    EXPECT_EQ(r.exit_status, 0);
    nlohmann::json out = nlohmann::json::parse(r.out, nullptr, false);
    if (!out.is_object()) return std::string("(no output)");
    return out["hookSpecificOutput"]["permissionDecision"].get<std::string>();
  };
  EXPECT_EQ(decision("kubectl delete pod x --context prod"), "deny");
  EXPECT_EQ(decision("make deploy"), "ask");
  EXPECT_EQ(decision("make test"), "allow");
}

TEST_F(PolicyE2ETest, ABrokenPolicyMakesEveryCallAsk) {
  write_file(state_ / "policy.yaml",
             "rules:\n  - tool: Bash\n  decision: deny\n");
  RunResult r = run_hook(bash_event("ls"), env_);
  nlohmann::json out = nlohmann::json::parse(r.out, nullptr, false);
  ASSERT_TRUE(out.is_object()) << r.out;
  EXPECT_EQ(out["hookSpecificOutput"]["permissionDecision"], "ask");
  EXPECT_NE(out["hookSpecificOutput"]["permissionDecisionReason"]
                .get<std::string>()
                .find("is broken (line 3, column 3"),
            std::string::npos)
      << r.out;
  std::optional<std::string> log = read_file(state_ / "logs/backend.log");
  ASSERT_TRUE(log);
  EXPECT_NE(log->find("policy.yaml is broken: line 3, column 3"),
            std::string::npos)
      << *log;
}

}  // namespace
}  // namespace twk::testing
