// run()'s order of steps against a scripted Core: which failure starts
// Core, that a policy request is never retried, and which reason reaches
// the agent when there is no decision.
#include "hook.h"

#include <gtest/gtest.h>

#include <deque>
#include <functional>

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

// A Core whose answers are set in advance; it records every step run()
// takes, in order.
class ScriptedCore : public CoreAccess {
 public:
  Status binary = Ok{};
  std::optional<Endpoint> live;
  Result<Endpoint> started = Endpoint{};
  std::deque<http::RequestResult> answers;
  std::string steps;

  Status find_binary() override {
    steps += "binary ";
    return binary;
  }
  std::optional<Endpoint> live_endpoint() override {
    steps += "live ";
    return live;
  }
  Result<Endpoint> start() override {
    steps += "start ";
    return started;
  }
  http::RequestResult ask(const Endpoint& endpoint,
                          std::string_view body) override {
    steps += "ask:" + endpoint.token + " ";
    EXPECT_NE(body.find(R"("input":{"tool_name":"Bash"})"),
              std::string_view::npos);
    if (answers.empty()) {
      ADD_FAILURE() << "asked more often than scripted";
      return failed("nothing scripted");
    }
    http::RequestResult r = answers.front();
    answers.pop_front();
    return r;
  }
};

Endpoint endpoint(std::string token) {
  Endpoint e;
  e.token = std::move(token);
  return e;
}

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
  struct Case {
    const char* name;
    std::function<void(ScriptedCore&)> script;
    std::string steps;
    std::string outcome;
  };
  const Case cases[] = {
      {"live Core answers",
       [](ScriptedCore& c) {
         c.live = endpoint("old");
         c.answers = {answered(kAllow)};
       },
       "binary live ask:old ", "allow"},
      {"a refusal starts Core, which is asked once",
       [](ScriptedCore& c) {
         c.live = endpoint("old");
         c.started = endpoint("new");
         c.answers = {refused(), answered(kAllow)};
       },
       "binary live ask:old start ask:new ", "allow"},
      {"no record starts Core",
       [](ScriptedCore& c) {
         c.started = endpoint("new");
         c.answers = {answered(kAllow)};
       },
       "binary live start ask:new ", "allow"},
      {"a time-out is reported, never answered by a second Core",
       [](ScriptedCore& c) {
         c.live = endpoint("old");
         c.answers = {failed("timed out")};
       },
       "binary live ask:old ", unchecked("Core didn't answer: timed out")},
      {"no binary: nothing else is tried",
       [](ScriptedCore& c) { c.binary = Failure{"no Core binary was found"}; },
       "binary ", unchecked("no Core binary was found")},
      {"a failed start is reported",
       [](ScriptedCore& c) { c.started = Failure{"Core didn't start"}; },
       "binary live start ", unchecked("Core didn't start")},
      {"refused right after the start",
       [](ScriptedCore& c) { c.answers = {refused()}; },
       "binary live start ask: ",
       unchecked("Core stopped right after starting")},
      {"the started Core fails to answer",
       [](ScriptedCore& c) { c.answers = {failed("Core's reply wasn't HTTP")}; },
       "binary live start ask: ",
       unchecked("Core didn't answer: Core's reply wasn't HTTP")},
      {"an answer that isn't 200 is judged, not retried",
       [](ScriptedCore& c) {
         c.live = endpoint("old");
         c.answers = {http::Response{503, ""}};
       },
       "binary live ask:old ", unchecked("Core answered 503")},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    ScriptedCore core;
    c.script(core);
    HookInput input(kInput);
    HookOutput out = run("claude-code", kPreToolUse, input, std::nullopt, core);
    EXPECT_EQ(core.steps, c.steps);
    EXPECT_EQ(outcome(out), c.outcome);
    EXPECT_TRUE(core.answers.empty()) << "an answer was left unasked for";
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
