// What the built-in policy costs per tool call, above all for hostile
// commands: the shell analysis and the checks take time linear in the
// command, so even 64 KiB built to be hard stays near a millisecond.
//
//   build/.../core/twk_policy_bench
//
// Each benchmark reports the time of one whole decision; the "MB/s"
// column is the command bytes analysed per second.
#include <benchmark/benchmark.h>
#include <stdlib.h>
#include <unistd.h>

#include <string>
#include <variant>

#include "audit.h"
#include "policy.h"
#include "policy_yaml.h"
#include "routes.h"
#include "rules.h"
#include "shell/shell.h"

namespace twk::core {
namespace {

// The built-in policy: no user's policy file to read.
PolicyConfig builtin_config() {
  PolicyConfig config;
  config.user_path = "/nonexistent/policy.yaml";
  return config;
}

// The request body of a pre-tool-use event in `project`, for hook input
// `input`.
nlohmann::json pre_tool_use(const std::string& project, nlohmann::json input) {
  return {{"agent", "claude-code"},
          {"context", {{"projectDir", project}}},
          {"hook", "pre-tool-use"},
          {"input", std::move(input)}};
}

// The built-in policy's whole decision on a Bash call in a project: the
// shell analysis, the unwrapping of nested code, every check.
void decide_command(benchmark::State& state, const std::string& command) {
  PolicyConfig config = builtin_config();
  config.facts.home = "/home/dev";
  config.facts.state_dir = "/home/dev/.tarnwick";
  Policy policy(std::move(config));
  nlohmann::json event = pre_tool_use("/home/dev/src/app",
                                      {{"cwd", "/home/dev/src/app"},
                                       {"tool_name", "Bash"},
                                       {"tool_input", {{"command", command}}}});
  for (auto _ : state) benchmark::DoNotOptimize(policy.decide(event));
  state.SetBytesProcessed(static_cast<std::int64_t>(state.iterations()) *
                          static_cast<std::int64_t>(command.size()));
}

std::string repeated(std::string_view piece, std::int64_t bytes) {
  std::string out;
  while (static_cast<std::int64_t>(out.size()) < bytes) out += piece;
  return out;
}

// $($($($(... : nesting past the analyzer's limit, which stops it early.
void BM_NestedCommandSubstitution(benchmark::State& state) {
  decide_command(state, repeated("$(", state.range(0)));
}
BENCHMARK(BM_NestedCommandSubstitution)
    ->RangeMultiplier(4)
    ->Range(1 << 10, 64 << 10);

// Built to be hard and still understood: substitutions nested 24 deep,
// long strings of every kind of quote and escape, and long here-documents,
// one fed to a shell (analysed again) and one to cat (expanded), repeated
// up to the size.
std::string hard_command(std::int64_t bytes) {
  std::string nested = "echo ok";
  for (int i = 0; i < 24; ++i) nested = "echo \"$(" + nested + ")\"";
  std::string quotes = repeated(
      "'single \\ quoted' \"double \\\" ${HOME:-/tmp} \\$x\" "
      "$'ansi\\t\\x41\\'' a\\ b ",
      1024);
  std::string piece =
      nested + " && git -C r status\nprintf '%s\\n' " + quotes +
      " | tee -a log.txt\nbash <<EOF\n" +
      repeated("echo \"line $HOME ${X:-y}\" 'and more' >> out.txt\n", 1024) +
      "EOF\ncat <<-DOC\n" + repeated("\ttext $HOME \\$not `echo y`\n", 1024) +
      "\tDOC\n";
  return repeated(piece, bytes);
}

void BM_HardCommand(benchmark::State& state) {
  decide_command(state, hard_command(state.range(0)));
}
BENCHMARK(BM_HardCommand)->RangeMultiplier(2)->Range(8 << 10, 128 << 10);

// Every byte a command of its own: the most work per byte the analyzer
// can be given (it stops at 4,096 commands and asks).
void BM_DenseCommands(benchmark::State& state) {
  decide_command(state, repeated("sudo rm -rf ./b; ", state.range(0)));
}
BENCHMARK(BM_DenseCommands)->RangeMultiplier(4)->Range(1 << 10, 64 << 10);

// A typical command of a coding session.
void BM_DecideTypicalBash(benchmark::State& state) {
  decide_command(state,
                 "cd src && npm test -- --watch=false 2>&1 | tail -50 && "
                 "git status --short && rm -rf ./dist");
}
BENCHMARK(BM_DecideTypicalBash);

// The command of the benchmark's 3 KB Bash event (bench/run.py): about 50
// lines of greps, test runs, appends to logs, in-place edits and finds.
std::string session_command() {
  static constexpr std::string_view kWords[] = {
      "order", "cart", "price", "stock", "batch", "tax", "config", "worker"};
  std::string out = "cd /home/dev/work/shop && git status --short";
  for (std::size_t i = 0; out.size() < 2450; ++i) {
    std::string w1(kWords[i % 8]), w2(kWords[(i * 3 + 1) % 8]);
    switch (i % 5) {
      case 0:
        out += "\ngrep -rn \"" + w1 + "_" + w2 +
               "\" src/ --include='*.py' | head -20";
        break;
      case 1:
        out += "\npython -m pytest tests/test_" + w1 + ".py -k \"" + w2 +
               " and not slow\" -q";
        break;
      case 2:
        out += "\necho \"" + w1 + "\t" + w2 + ": caf\u00e9\" >> /tmp/" + w1 +
               ".log";
        break;
      case 3:
        out += "\nsed -i 's/" + w1 + "/" + w2 + "/g' src/" + w1 + "/" + w2 +
               ".py";
        break;
      default:
        out += "\nfind . -name '*" + w1 + "*' -newer src/" + w2 +
               ".py -print";
    }
  }
  return out;
}

void BM_DecideSessionCommand(benchmark::State& state) {
  decide_command(state, session_command());
}
BENCHMARK(BM_DecideSessionCommand);

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
  Policy policy(builtin_config());
  nlohmann::json event = pre_tool_use(
      "/nonexistent/project",
      {{"session_id", "s"},
       {"tool_name", "Bash"},
       {"tool_input",
        {{"command", "npm test -- --watch=false 2>&1 | tail -50"}}}});
  for (auto _ : state) benchmark::DoNotOptimize(policy.decide(event));
}
BENCHMARK(BM_DecideTypicalEvent);

// A whole policy request as Core answers it, without the sockets: reading
// the body, deciding, the audit record (appended to a file when range(0) is
// 1) and the reply. The body is the hook's for a 3 KB Bash call.
void BM_PolicyExchange(benchmark::State& state) {
  Policy policy(builtin_config());
  std::string command;
  while (command.size() < 2400) {
    command += "cd src && grep -rn \"TODO\" --include='*.cc' . | sort | ";
  }
  command += "head -20";
  nlohmann::json body = pre_tool_use(
      "/nonexistent/project",
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
       {"transcript_path", "/nonexistent/home/.claude/projects/p/s.jsonl"}});
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
