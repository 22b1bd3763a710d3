// run()'s order of steps against a scripted Core: which failure starts
// Core, that a policy request is never retried, and which reason reaches
// the agent when there is no decision.
#include "hook.h"

#include <gtest/gtest.h>

#include <deque>

namespace twk {
namespace {

const char kInput[] = R"({"tool_name":"Bash"})";
const char kAllow[] =
    R"({"output":{"hookSpecificOutput":{"hookEventName":"PreToolUse",)"
    R"("permissionDecision":"allow"}}})";

http::RequestResult answered(std::string body) {
  return http::Response{200, std::move(body)};
}
http::RequestResult refused() { return http::HttpError{http::Refused{}}; }
http::RequestResult failed(std::string text) {
  return http::HttpError{http::Message{std::move(text)}};
}

Endpoint endpoint(std::string token) {
  Endpoint e;
  e.token = std::move(token);
  return e;
}

// What a scripted Core answers at each step.
struct Script {
  Status binary = Ok{};
  std::optional<Endpoint> live{};
  Result<Endpoint> started = Endpoint{};
  std::deque<http::RequestResult> answers{};
};

// A Core whose answers are set in advance; it records every step run()
// takes, in order.
class ScriptedCore : public CoreAccess {
 public:
  explicit ScriptedCore(Script script = {}) : script(std::move(script)) {}
  Script script;
  std::string steps;

  Status find_binary() override { return step("binary", script.binary); }
  std::optional<Endpoint> live_endpoint() override {
    return step("live", script.live);
  }
  Result<Endpoint> start() override { return step("start", script.started); }
  http::RequestResult ask(const Endpoint& endpoint,
                          std::string_view body) override {
    steps += "ask:" + endpoint.token + " ";
    EXPECT_NE(body.find(R"("input":{"tool_name":"Bash"})"),
              std::string_view::npos);
    if (script.answers.empty()) {
      ADD_FAILURE() << "asked more often than scripted";
      return failed("nothing scripted");
    }
    http::RequestResult r = script.answers.front();
    script.answers.pop_front();
    return r;
  }

 private:
  template <class T>
  T step(const char* name, const T& answer) {
    steps += std::string(name) + " ";
    return answer;
  }
};

// The reason in an unchecked-call output, or the decision Core gave.
std::string outcome(const HookOutput& out) {
  if (!out) return "(none)";
  const json::Value& v = *out;
  if (v.contains("systemMessage")) return v["systemMessage"];
  return v["hookSpecificOutput"]["permissionDecision"];
}

std::string unchecked(const std::string& reason) {
  return "Vantorel couldn't check this call (" + reason +
         "). Approve it only if you expect it.";
}

TEST(Run, StepsAndReasons) {
  const struct {
    const char* name;
    Script script;
    std::string steps;
    std::string outcome;
  } cases[] = {
      {"live Core answers",
       {.live = endpoint("old"), .answers = {answered(kAllow)}},
       "binary live ask:old ", "allow"},
      {"a refusal starts Core, which is asked once",
       {.live = endpoint("old"),
        .started = endpoint("new"),
        .answers = {refused(), answered(kAllow)}},
       "binary live ask:old start ask:new ", "allow"},
      {"no record starts Core",
       {.started = endpoint("new"), .answers = {answered(kAllow)}},
       "binary live start ask:new ", "allow"},
      {"a time-out is reported, never answered by a second Core",
       {.live = endpoint("old"), .answers = {failed("timed out")}},
       "binary live ask:old ", unchecked("Core didn't answer: timed out")},
      {"no binary: nothing else is tried",
       {.binary = Failure{"no Core binary was found"}}, "binary ",
       unchecked("no Core binary was found")},
      {"a failed start is reported", {.started = Failure{"Core didn't start"}},
       "binary live start ", unchecked("Core didn't start")},
      {"refused right after the start", {.answers = {refused()}},
       "binary live start ask: ",
       unchecked("Core stopped right after starting")},
      {"the started Core fails to answer",
       {.answers = {failed("Core's reply wasn't HTTP")}},
       "binary live start ask: ",
       unchecked("Core didn't answer: Core's reply wasn't HTTP")},
      {"an answer that isn't 200 is judged, not retried",
       {.live = endpoint("old"), .answers = {http::Response{503, ""}}},
       "binary live ask:old ", unchecked("Core answered 503")},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    ScriptedCore core(c.script);
    HookInput input(kInput);
    HookOutput out = run("claude-code", kPreToolUse, input, std::nullopt, core);
    EXPECT_EQ(core.steps, c.steps);
    EXPECT_EQ(outcome(out), c.outcome);
    EXPECT_TRUE(core.script.answers.empty()) << "an answer was not asked for";
  }
}

TEST(Run, InputThatIsNotJsonContactsNothing) {
  ScriptedCore core;
  HookInput input("{");
  EXPECT_EQ(outcome(run("claude-code", kPreToolUse, input, std::nullopt, core)),
            unchecked("the hook input wasn't JSON"));
  EXPECT_EQ(core.steps, "");
  // After a tool has run there is no decision to stand in for.
  HookInput after("{");
  EXPECT_EQ(run("claude-code", kPostToolUse, after, std::nullopt, core),
            std::nullopt);
  EXPECT_EQ(core.steps, "");
}

}  // namespace
}  // namespace twk
