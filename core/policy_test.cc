// The layered decision: user (or built-in) policy, project policy on top,
// broken files, and the hook output built from the verdict.
#include "policy.h"

#include <gtest/gtest.h>
#include <pwd.h>
#include <stdio.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <fstream>
#include <vector>

#include "shell/shell.h"
#include "test_util.h"

namespace twk::core {
namespace {

using testing::Contains;
using testing::replace_text;
using testing::ScratchDir;
using testing::write_text;

nlohmann::json event(const std::string& command,
                     std::optional<std::string> project = std::nullopt,
                     const std::string& hook = "pre-tool-use") {
  nlohmann::json context = nlohmann::json::object();
  if (project) context["projectDir"] = *project;
  return {{"agent", "claude-code"},
          {"context", context},
          {"hook", hook},
          {"input",
           {{"session_id", "s1"},
            {"hook_event_name", "PreToolUse"},
            {"tool_name", "Bash"},
            {"tool_input", {{"command", command}}}}}};
}

class PolicyTest : public ::testing::Test {
 protected:
  PolicyTest() {
    ::mkdir(project_dir().c_str(), 0700);
    ::mkdir((project_dir() + "/.tarnwick").c_str(), 0700);
  }
  std::string user_path() const { return (dir_ / "policy.yaml"); }
  std::string project_dir() const { return (dir_ / "project"); }
  std::string project_path() const {
    return project_dir() + "/.tarnwick/policy.yaml";
  }
  Policy make(bool given = false) {
    PolicyConfig config;
    config.user_path = user_path();
    config.user_path_given = given;
    config.facts.home = "/home/someone";
    return Policy(std::move(config));
  }

  ScratchDir dir_;
};

constexpr char kUserRules[] = R"(default: allow
rules:
  - name: no-rm
    tool: Bash
    input: {command: '^rm '}
    decision: deny
    reason: No deleting.
  - name: ask-push
    tool: Bash
    input: {command: '^git push'}
    decision: ask
)";

TEST_F(PolicyTest, AnswersPreToolUseWithThePermissionDecision) {
  write_text(user_path(), kUserRules);
  Policy policy = make();
  Verdict v = policy.decide(event("rm x"));
  EXPECT_EQ(v.decision, Decision::kDeny);
  EXPECT_EQ(v.output.dump(),
            R"({"hookSpecificOutput":{"hookEventName":"PreToolUse",)"
            R"("permissionDecision":"deny",)"
            R"("permissionDecisionReason":"No deleting."}})");
  ASSERT_NE(v.decider(), nullptr);
  EXPECT_EQ(v.decider()->layer, Layer::kUser);
  EXPECT_EQ(v.decider()->rule_index, 0u);
  EXPECT_EQ(v.decider()->rule_name, "no-rm");

  // A rule without a reason gets one that names it.
  v = policy.decide(event("git push"));
  EXPECT_EQ(v.output["hookSpecificOutput"]["permissionDecision"], "ask");
  EXPECT_TRUE(Contains(v.reason, "\"ask-push\""));

  // The default applies when nothing matches.
  v = policy.decide(event("ls"));
  EXPECT_EQ(v.output["hookSpecificOutput"]["permissionDecision"], "allow");
  EXPECT_FALSE(v.decider()->rule_index);
}

TEST_F(PolicyTest, PostToolUseAndNoDecisionAnswerNull) {
  write_text(user_path(),
             "rules:\n  - tool: Bash\n    hook: any\n"
             "    input: {command: rm}\n    decision: deny\n");
  Policy policy = make();
  Verdict v = policy.decide(event("rm x", std::nullopt, "post-tool-use"));
  EXPECT_EQ(v.decision, Decision::kDeny);  // recorded in the audit log...
  EXPECT_TRUE(v.output.is_null());         // ...but nothing for the agent
  v = policy.decide(event("ls"));
  EXPECT_EQ(v.decision, Decision::kNone);
  EXPECT_TRUE(v.output.is_null());
  // Events the hook would never send still get an answer.
  for (const char* body : {R"({})", R"({"hook":"pre-tool-use","input":7})",
                           R"({"hook":1,"input":{"tool_name":["x"]}})"}) {
    v = policy.decide(nlohmann::json::parse(body));
    EXPECT_TRUE(v.output.is_null()) << body;
  }
  EXPECT_TRUE(Policy().decide(event("rm -rf ~")).output.is_null());

  // A default is about calls still to come: after the call, it says nothing.
  replace_text(user_path(), "default: ask\n");
  v = policy.decide(event("ls", std::nullopt, "post-tool-use"));
  EXPECT_EQ(v.decision, Decision::kNone);
  EXPECT_EQ(policy.decide(event("ls")).decision, Decision::kAsk);
}

TEST_F(PolicyTest, WithoutAUserFileTheBuiltinPolicyApplies) {
  Policy policy = make();
  Verdict v = policy.decide(event("rm -rf ~"));
  EXPECT_EQ(v.decision, Decision::kDeny);
  EXPECT_EQ(v.decider()->layer, Layer::kBuiltin);
  EXPECT_EQ(policy.decide(event("ls")).decision, Decision::kNone);

  // A file named on the command line must exist: a typo in the name would
  // otherwise quietly swap the user's rules for the built-in ones.
  Policy named = make(/*given=*/true);
  v = named.decide(event("ls"));
  EXPECT_EQ(v.decision, Decision::kAsk);
  EXPECT_TRUE(Contains(v.reason, "no such file"));
}

TEST_F(PolicyTest, AProjectCanTightenButNeverLoosen) {
  write_text(user_path(), kUserRules);
  write_text(project_path(), R"(default: allow
rules:
  - name: allow-rm
    tool: Bash
    input: {command: '^rm '}
    decision: allow
  - name: deny-curl
    tool: Bash
    input: {command: '^curl '}
    decision: deny
    reason: Not in this repository.
  - name: ask-make
    tool: Bash
    input: {command: '^make'}
    decision: ask
  - name: ask-push
    tool: Bash
    input: {command: '^git push'}
    decision: ask
)");
  Policy policy = make();
  const std::string project = project_dir();

  // The user's deny stands against the project's allow.
  Verdict v = policy.decide(event("rm x", project));
  EXPECT_EQ(v.decision, Decision::kDeny);
  EXPECT_EQ(v.decider()->layer, Layer::kUser);
  ASSERT_EQ(v.layers.size(), 2u);
  EXPECT_EQ(v.layers[1].decision, Decision::kAllow);  // said, but ignored

  // The project's deny and ask beat the user's default allow.
  v = policy.decide(event("curl x", project));
  EXPECT_EQ(v.decision, Decision::kDeny);
  EXPECT_EQ(v.reason, "Not in this repository.");
  EXPECT_EQ(v.decider()->layer, Layer::kProject);
  EXPECT_EQ(v.decider()->path, project_path());
  EXPECT_EQ(policy.decide(event("make all", project)).decision, Decision::kAsk);

  // Equal strictness: the user's rule is the one reported.
  v = policy.decide(event("git push", project));
  EXPECT_EQ(v.decision, Decision::kAsk);
  EXPECT_EQ(v.decider()->layer, Layer::kUser);

  // The project's default allow doesn't loosen anything either: with a
  // user policy that has no opinion, there stays none.
  replace_text(user_path(), "default: none\n");
  EXPECT_EQ(policy.decide(event("ls", project)).decision, Decision::kNone);
  EXPECT_TRUE(policy.decide(event("ls", project)).output.is_null());

  // Other projects, and events without one, are not affected.
  EXPECT_EQ(policy.decide(event("curl x", dir_.path())).decision,
            Decision::kNone);
  EXPECT_EQ(policy.decide(event("curl x")).decision, Decision::kNone);
  // Nor are relative project directories, which would be resolved against
  // wherever Core runs.
  EXPECT_EQ(policy.decide(event("curl x", "project")).decision,
            Decision::kNone);
}

TEST_F(PolicyTest, ABrokenUserFileAsksAboutEverythingButKeepsItsDenials) {
  write_text(user_path(), kUserRules);
  Policy policy = make();
  ASSERT_EQ(policy.decide(event("ls")).decision, Decision::kAllow);

  replace_text(user_path(), std::string(kUserRules) + "  - oops: [\n");
  Verdict v = policy.decide(event("ls"));
  EXPECT_EQ(v.decision, Decision::kAsk);  // was allow
  EXPECT_TRUE(Contains(v.reason, "is broken (line "));
  EXPECT_TRUE(Contains(v.reason, user_path()));
  EXPECT_EQ(v.output["hookSpecificOutput"]["permissionDecision"], "ask");
  EXPECT_EQ(policy.decide(event("rm x")).decision, Decision::kDeny);

  replace_text(user_path(), kUserRules);
  EXPECT_EQ(policy.decide(event("ls")).decision, Decision::kAllow);
}

TEST_F(PolicyTest, APolicyThatNeverLoadedAsksAboutEverything) {
  // Not even the built-in policy's allow-nothing: every call is asked about,
  // and what the built-in checks deny is still denied. An empty file (a
  // touch, or a save caught between truncate and write) is broken too, not
  // "no rules".
  for (const char* text : {"default: allow\nrules: {\n", " \n"}) {
    SCOPED_TRACE(text);
    replace_text(user_path(), text);
    Policy policy = make();
    for (const char* command : {"ls", "rm -rf build", "git status"}) {
      Verdict v = policy.decide(event(command));
      EXPECT_EQ(v.decision, Decision::kAsk) << command;
      EXPECT_EQ(v.output["hookSpecificOutput"]["permissionDecision"], "ask");
    }
    EXPECT_EQ(policy.decide(event("rm -rf ~")).decision, Decision::kDeny);
  }
  EXPECT_TRUE(Contains(make().decide(event("ls")).reason, "empty"));
}

TEST_F(PolicyTest, ABrokenProjectFileAsksInThatProjectOnly) {
  write_text(user_path(), kUserRules);
  write_text(project_path(), "rules:\n  - tool: Bash\n    decision: nope\n");
  Policy policy = make();
  Verdict v = policy.decide(event("ls", project_dir()));
  EXPECT_EQ(v.decision, Decision::kAsk);
  EXPECT_TRUE(Contains(v.reason, "project's policy file"));
  EXPECT_TRUE(Contains(v.reason, "line 3, column 15"));
  EXPECT_EQ(policy.decide(event("rm x", project_dir())).decision,
            Decision::kDeny);
  EXPECT_EQ(policy.decide(event("ls")).decision, Decision::kAllow);
}

TEST_F(PolicyTest, AManagedPolicyDecidesFirstAndOnlyTightens) {
  // The administrator's file denies pushes and allows reading; the user's
  // own file allows everything and asks about rm. The user can add the ask,
  // but not loosen the managed deny; the project can tighten both.
  std::string managed = (dir_ / "managed.yaml");
  write_text(managed,
             "rules:\n  - {tool: Bash, input: {command: '^git push'}, "
             "decision: deny, reason: Pushes go through CI.}\n"
             "  - {tool: Bash, input: {command: '^cat '}, decision: allow}\n");
  write_text(user_path(),
             "default: allow\nrules:\n  - {tool: Bash, input: {command: "
             "'^rm '}, decision: ask}\n");
  write_text(project_path(),
             "rules:\n  - {tool: Bash, input: {command: '^cat '}, "
             "decision: ask}\n");
  PolicyConfig config;
  config.managed_path = managed;
  config.user_path = user_path();
  Policy policy(std::move(config));
  struct Case {
    const char* command;
    bool in_project;
    Decision decision;
    Layer decider;
  } cases[] = {
      {"git push origin main", false, Decision::kDeny, Layer::kManaged},
      {"rm x", false, Decision::kAsk, Layer::kUser},
      {"cat notes.txt", false, Decision::kAllow, Layer::kManaged},
      {"cat notes.txt", true, Decision::kAsk, Layer::kProject},
  };
  for (const Case& c : cases) {
    Verdict v = policy.decide(
        event(c.command, c.in_project ? std::optional(project_dir())
                                      : std::nullopt));
    EXPECT_EQ(v.decision, c.decision) << c.command;
    ASSERT_NE(v.decider(), nullptr) << c.command;
    EXPECT_EQ(v.decider()->layer, c.decider) << c.command;
  }
  EXPECT_EQ(policy.decide(event("git push")).reason, "Pushes go through CI.");

  // Broken, it asks about everything but keeps its denials, whatever the
  // user's file allows.
  replace_text(managed, "rules: [\n");
  EXPECT_EQ(policy.decide(event("ls")).decision, Decision::kAsk);
  EXPECT_TRUE(
      Contains(policy.decide(event("ls")).reason, "managed policy file"));
}

TEST_F(PolicyTest, ARelativeUserPathIsNeverTheUsersPolicy) {
  // Without HOME the state directory is relative, i.e. inside whatever
  // project Core was started in: a cloned repository's file there must not
  // become the user's policy, only a project layer that tightens.
  ::mkdir((dir_ / "cwd").c_str(), 0700);
  ::mkdir((dir_ / "cwd/.tarnwick").c_str(), 0700);
  write_text((dir_ / "cwd/.tarnwick/policy.yaml"), "default: allow\n");
  char old_cwd[4096];
  ASSERT_NE(::getcwd(old_cwd, sizeof old_cwd), nullptr);
  ASSERT_EQ(::chdir((dir_ / "cwd").c_str()), 0);
  PolicyConfig config;
  config.user_path = ".tarnwick/policy.yaml";
  std::vector<std::string> log;
  config.log = [&](std::string_view line) { log.emplace_back(line); };
  Policy policy(std::move(config));
  Verdict v = policy.decide(event("git reset --hard", (dir_ / "cwd")));
  ASSERT_EQ(::chdir(old_cwd), 0);
  EXPECT_NE(v.decision, Decision::kAllow);
  ASSERT_FALSE(v.layers.empty());
  EXPECT_EQ(v.layers.front().layer, Layer::kBuiltin);
  ASSERT_FALSE(log.empty());
  EXPECT_TRUE(Contains(log.front(), "is not read"));
}

TEST_F(PolicyTest, AHomeProjectDoesNotApplyTheUsersFileTwice) {
  // The project policy of a project at the state directory's parent would
  // be the user's own file; it must count once, as the user's.
  std::string home = (dir_ / "home");
  ::mkdir(home.c_str(), 0700);
  ::mkdir((home + "/.tarnwick").c_str(), 0700);
  PolicyConfig config;
  config.user_path = home + "/.tarnwick/policy.yaml";
  write_text(config.user_path, kUserRules);
  Policy policy(std::move(config));
  Verdict v = policy.decide(event("ls", home));
  EXPECT_EQ(v.layers.size(), 1u);
  EXPECT_EQ(v.decision, Decision::kAllow);
}

}  // namespace
}  // namespace twk::core

namespace twk::core {
namespace {

// Where HOME is missing or names another directory, the account's home
// from the password database still counts: its hook settings are guarded.
TEST(ProcessCheckFacts, TheAccountsHomeCountsWhateverHomeSays) {
  const passwd* entry = ::getpwuid(::getuid());
  if (entry == nullptr || entry->pw_dir == nullptr || entry->pw_dir[0] != '/' ||
      std::string(entry->pw_dir) == "/") {
    GTEST_SKIP() << "this account has no home in the password database";
  }
  const std::string account = shell::resolve_path("/", entry->pw_dir);
  const char* saved = std::getenv("HOME");
  std::string saved_home = saved != nullptr ? saved : "";

  ::unsetenv("HOME");
  EXPECT_EQ(process_check_facts("").home, account);

  ::setenv("HOME", "/nonexistent/elsewhere", 1);
  CheckFacts f = process_check_facts("");
  EXPECT_EQ(f.home, "/nonexistent/elsewhere");
  EXPECT_NE(std::find(f.protected_files.begin(), f.protected_files.end(),
                      account + "/.claude/settings.json"),
            f.protected_files.end());

  if (saved != nullptr) {
    ::setenv("HOME", saved_home.c_str(), 1);
  } else {
    ::unsetenv("HOME");
  }
}

}  // namespace
}  // namespace twk::core
