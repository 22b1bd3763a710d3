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
  // What the scripted Core is set to, the steps run() takes and what the
  // agent gets.
  struct Case {
    const char* name;
    Status binary = Ok{};
    std::optional<Endpoint> live = std::nullopt;
    Result<Endpoint> started = Endpoint{};
    std::deque<http::RequestResult> answers = {};
    std::string steps;
    std::string outcome;
  };
  const Case cases[] = {
      {.name = "live Core answers",
       .live = endpoint("old"),
       .answers = {answered(kAllow)},
       .steps = "binary live ask:old ",
       .outcome = "allow"},
      {.name = "a refusal starts Core, which is asked once",
       .live = endpoint("old"),
       .started = endpoint("new"),
       .answers = {refused(), answered(kAllow)},
       .steps = "binary live ask:old start ask:new ",
       .outcome = "allow"},
      {.name = "no record starts Core",
       .started = endpoint("new"),
       .answers = {answered(kAllow)},
       .steps = "binary live start ask:new ",
       .outcome = "allow"},
      {.name = "a time-out is reported, never answered by a second Core",
       .live = endpoint("old"),
       .answers = {failed("timed out")},
       .steps = "binary live ask:old ",
       .outcome = unchecked("Core didn't answer: timed out")},
      {.name = "no binary: nothing else is tried",
       .binary = Failure{"no Core binary was found"},
       .steps = "binary ",
       .outcome = unchecked("no Core binary was found")},
      {.name = "a failed start is reported",
       .started = Failure{"Core didn't start"},
       .steps = "binary live start ",
       .outcome = unchecked("Core didn't start")},
      {.name = "refused right after the start",
       .answers = {refused()},
       .steps = "binary live start ask: ",
       .outcome = unchecked("Core stopped right after starting")},
      {.name = "the started Core fails to answer",
       .answers = {failed("Core's reply wasn't HTTP")},
       .steps = "binary live start ask: ",
       .outcome = unchecked("Core didn't answer: Core's reply wasn't HTTP")},
      {.name = "an answer that isn't 200 is judged, not retried",
       .live = endpoint("old"),
       .answers = {http::Response{503, ""}},
       .steps = "binary live ask:old ",
       .outcome = unchecked("Core answered 503")},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    ScriptedCore core;
    core.binary = c.binary;
    core.live = c.live;
    core.started = c.started;
    core.answers = c.answers;
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
