// What the built-in policy costs per tool call, above all for hostile
// commands: with RE2 every rule runs in time linear in the command, so even
// a long line of nested "$(" stays far below a millisecond.
//
//   build/.../core/twk_policy_bench
//
// Each benchmark reports the time of one evaluation of all rules; the
// "MB/s" column is the command bytes scanned per second.
#include <benchmark/benchmark.h>

#include <string>
#include <variant>

#include <stdlib.h>
#include <unistd.h>

#include "audit.h"
#include "policy.h"
#include "policy_yaml.h"
#include "routes.h"
#include "rules.h"

namespace twk::core {
namespace {

const RuleSet& builtin() {
  static const RuleSet set =
      std::get<RuleSet>(parse_policy(builtin_policy_text()));
  return set;
}

void evaluate_command(benchmark::State& state, const std::string& command) {
  nlohmann::json input = {{"command", command}};
  ToolCall call{"pre-tool-use", "Bash", &input};
  for (auto _ : state) {
    benchmark::DoNotOptimize(evaluate(builtin(), call));
  }
  state.SetBytesProcessed(static_cast<std::int64_t>(state.iterations()) *
                          static_cast<std::int64_t>(command.size()));
}

std::string repeated(std::string_view piece, std::int64_t bytes) {
  std::string out;
  while (static_cast<std::int64_t>(out.size()) < bytes) out += piece;
  return out;
}

// $($($($(... : deep nesting that backtracking engines choke on.
void BM_NestedCommandSubstitution(benchmark::State& state) {
  evaluate_command(state, repeated("$(", state.range(0)));
}
BENCHMARK(BM_NestedCommandSubstitution)
    ->RangeMultiplier(8)
    ->Range(64, 64 << 10);

// The same behind "rm -rf " and "curl x |", so that the rules for those get
// past their first token and every later position is a candidate.
void BM_NestedAfterRm(benchmark::State& state) {
  evaluate_command(state, "rm -rf " + repeated("$( ", state.range(0)));
}
BENCHMARK(BM_NestedAfterRm)->RangeMultiplier(8)->Range(64, 64 << 10);

void BM_NestedAfterCurlPipe(benchmark::State& state) {
  evaluate_command(state, "curl x " + repeated("| $(", state.range(0)));
}
BENCHMARK(BM_NestedAfterCurlPipe)->RangeMultiplier(8)->Range(64, 64 << 10);

// Many near misses for the force-push rule: git -x y -x y ... push
void BM_GitOptionsNearMiss(benchmark::State& state) {
  evaluate_command(state, "git " + repeated("-c a=b ", state.range(0)) + "pus");
}
BENCHMARK(BM_GitOptionsNearMiss)->RangeMultiplier(8)->Range(64, 64 << 10);

// Reading the built-in policy: YAML and compiling every pattern. Core does
// this once at start, and again for each changed policy file.
void BM_ParseBuiltinPolicy(benchmark::State& state) {
  for (auto _ : state) {
    benchmark::DoNotOptimize(parse_policy(builtin_policy_text()));
  }
}
BENCHMARK(BM_ParseBuiltinPolicy);

// A typical call, through the whole layered decision with its JSON.
void BM_DecideTypicalEvent(benchmark::State& state) {
  PolicyConfig config;
  config.user_path = "/nonexistent/policy.yaml";  // the built-in policy
  Policy policy(std::move(config));
  nlohmann::json event = {
      {"agent", "claude-code"},
      {"context", {{"projectDir", "/nonexistent/project"}}},
      {"hook", "pre-tool-use"},
      {"input",
       {{"session_id", "s"},
        {"tool_name", "Bash"},
        {"tool_input",
         {{"command", "npm test -- --watch=false 2>&1 | tail -50"}}}}}};
  for (auto _ : state) benchmark::DoNotOptimize(policy.decide(event));
}
BENCHMARK(BM_DecideTypicalEvent);

// A whole policy request as Core answers it, without the sockets: reading
// the body, deciding, the audit record (appended to a file when range(0) is
// 1) and the reply. The body is the hook's for a 3 KB Bash call.
void BM_PolicyExchange(benchmark::State& state) {
  PolicyConfig config;
  config.user_path = "/nonexistent/policy.yaml";  // the built-in policy
  Policy policy(std::move(config));
  std::string command;
  while (command.size() < 2400) {
    command += "cd src && grep -rn \"TODO\" --include='*.cc' . | sort | ";
  }
  command += "head -20";
  nlohmann::json body = {
      {"agent", "claude-code"},
      {"context", {{"projectDir", "/nonexistent/project"}}},
      {"hook", "pre-tool-use"},
      {"input",
       {{"cwd", "/nonexistent/project"},
        {"hook_event_name", "PreToolUse"},
        {"permission_mode", "default"},
        {"session_id", "0b6c4a59-3f0e-4c38-9d3a-2f8f61a4e3c7"},
        {"tool_input",
         {{"command", command},
          {"description", "Find the open TODO items"},
          {"timeout", 120000}}},
        {"tool_name", "Bash"},
        {"tool_use_id", "toolu_01ABCDEFGHJKLMNPQRSTUVWX"},
        {"transcript_path", "/nonexistent/home/.claude/projects/p/s.jsonl"}}}};
  std::string text = body.dump();
  char dir_template[] = "/tmp/twk-bench-XXXXXX";
  const char* dir = ::mkdtemp(dir_template);
  if (dir == nullptr) {
    state.SkipWithError("couldn't create a temporary directory");
    return;
  }
  std::string audit_path = std::string(dir) + "/audit.jsonl";
  AuditLog audit(audit_path, nullptr);
  Routes routes("token", policy, state.range(0) != 0 ? &audit : nullptr);
  Request request{"POST", "/v1/policy/hook", "Bearer token", text};
  for (auto _ : state) {
    Reply reply = routes.handle(request);
    if (reply.status != 200) state.SkipWithError("the request was refused");
    benchmark::DoNotOptimize(reply);
  }
  state.SetBytesProcessed(static_cast<std::int64_t>(state.iterations()) *
                          static_cast<std::int64_t>(text.size()));
  ::unlink(audit_path.c_str());
  ::rmdir(dir);
}
BENCHMARK(BM_PolicyExchange)->Arg(0)->Arg(1);

}  // namespace
}  // namespace twk::core

BENCHMARK_MAIN();
