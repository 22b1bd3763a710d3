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

#include "policy.h"
#include "policy_yaml.h"
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

}  // namespace
}  // namespace twk::core

BENCHMARK_MAIN();
