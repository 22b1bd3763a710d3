// The command line, the rules for the hook input and the environment, seen
// from outside the binary.
//
// Where a running Core matters, it is a ScriptedCore with a live record
// (see live_record_fixture.h), so a run that gets as far as Core asks the
// ScriptedCore.
#include <fcntl.h>
#include <unistd.h>

#include <filesystem>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "harness.h"
#include "live_record_fixture.h"

namespace twk::testing {
namespace {

using namespace std::chrono_literals;

const std::string kNotJson = "the hook input wasn't JSON";
const std::string kUsage = "twk-hook: usage: twk-hook <agent> <hook>\n";

std::string agent_error(const std::string& quoted) {
  return "twk-hook: Vantorel has no adapter for agent " + quoted + "\n";
}

std::string hook_error(const std::string& quoted) {
  return "twk-hook: claude-code has no " + quoted +
         " hook that Vantorel handles\n";
}

// --- Arguments ------------------------------------------------------------

class CliArgumentsTest : public ::testing::Test {
 protected:
  // Runs the hook with stdin held open: a run that reads stdin blocks until
  // it is killed.
  RunResult run_holding_stdin(const std::vector<std::string>& args,
                              const std::string& input = "{}",
                              std::chrono::milliseconds kill_after = 2500ms) {
    ProgramRun run = hook_run(input, base_env(state_), args);
    run.hold_stdin_open = true;
    run.kill_after = kill_after;
    return run_program(run);
  }

  ScratchDir state_;
};

// Wrong calls write one line on stderr, in which every character that is
// not printable is escaped, and end without reading stdin, however large.
TEST_F(CliArgumentsTest, WrongCallsWriteOneLineAndDoNotReadStdin) {
  // Every control character but NUL, quotes, backslashes and a two-byte
  // character, repeated to 256 bytes without cutting a character.
  const std::string pieces[] = {"\x7f", "\"", "\\", "\xc3\xa9", "["};
  std::string long_agent;
  for (int i = 1; long_agent.size() < 256; ++i) {
    std::string piece =
        i % 6 == 0 ? pieces[(i / 6) % 5]
                   : std::string(1, static_cast<char>(i % 32 ? i % 32 : 1));
    if (long_agent.size() + piece.size() > 256) piece = "a";
    long_agent += piece;
  }
  const std::string no_adapter =
      "twk-hook: Vantorel has no adapter for agent \"";
  struct Case {
    std::vector<std::string> args;
    std::string err;
    bool whole = true;  // false: `err` is how stderr begins
  } cases[] = {
      {{}, kUsage},
      {{"claude-code"}, kUsage},
      {{"pre-tool-use"}, kUsage},
      {{""}, kUsage},
      {{"Claude-Code", "pre-tool-use"}, agent_error("\"Claude-Code\"")},
      {{"CLAUDE-CODE", "pre-tool-use"}, agent_error("\"CLAUDE-CODE\"")},
      {{"claude-code ", "pre-tool-use"}, agent_error("\"claude-code \"")},
      {{"", "pre-tool-use"}, agent_error("\"\"")},
      {{"codex", "nonsense"}, agent_error("\"codex\"")},
      {{"a\nb", "pre-tool-use"}, agent_error("\"a\\nb\"")},
      {{"a\tb\rc", "x"}, agent_error("\"a\\tb\\rc\"")},
      {{"say \"hi\" \\ bye", "x"}, agent_error("\"say \\\"hi\\\" \\\\ bye\"")},
      {{"\x1b[31mred", "x"}, agent_error("\"\\u{1b}[31mred\"")},
      {{"\x01\x7f", "x"}, agent_error("\"\\u{1}\\u{7f}\"")},
      {{"caf\xc3\xa9 \xe2\x82\xac", "x"}, agent_error("\"caf\xc3\xa9 \xe2\x82\xac\"")},
      {{"\xff\xfe\n", "pre-tool-use"}, no_adapter, false},
      {{long_agent, "pre-tool-use"}, no_adapter, false},
      {{"claude-code", "PreToolUse"}, hook_error("\"PreToolUse\"")},
      {{"claude-code", "Pre-Tool-Use"}, hook_error("\"Pre-Tool-Use\"")},
      {{"claude-code", "pre-tool-use "}, hook_error("\"pre-tool-use \"")},
      {{"claude-code", "pre_tool_use"}, hook_error("\"pre_tool_use\"")},
      {{"claude-code", ""}, hook_error("\"\"")},
      {{"claude-code", "x\ny\"z\\"}, hook_error("\"x\\ny\\\"z\\\\\"")},
      {{"claude-code", "\x1b"}, hook_error("\"\\u{1b}\"")},
      {{"claude-code", "stop", "pre-tool-use"}, hook_error("\"stop\"")},
  };
  const std::string huge(32 << 20, ' ');
  for (const auto& c : cases) {
    std::string shown;
    for (const auto& a : c.args) shown += "[" + a.substr(0, 40) + "]";
    SCOPED_TRACE(shown);
    RunResult r = run_holding_stdin(c.args, huge);
    EXPECT_EQ(r.exit_status, 0);
    EXPECT_FALSE(r.killed) << "stdin was read";
    EXPECT_LT(r.elapsed, 2000ms);
    EXPECT_EQ(r.out, "");
    EXPECT_EQ(c.whole ? r.err : r.err.substr(0, c.err.size()), c.err);
    EXPECT_EQ(r.err.find('\n'), r.err.size() - 1) << "one line";
    for (std::size_t i = 0; i + 1 < r.err.size(); ++i) {
      unsigned char ch = static_cast<unsigned char>(r.err[i]);
      EXPECT_TRUE(ch >= 0x20 && ch != 0x7f) << "raw control byte at " << i;
    }
  }
  // The control: with valid arguments the hook reads stdin to its end, so a
  // stdin that stays open keeps it waiting.
  RunResult r = run_holding_stdin({"claude-code", "pre-tool-use"}, "{}", 700ms);
  EXPECT_TRUE(r.killed);
  EXPECT_EQ(r.out, "");
}

TEST_F(CliArgumentsTest, ClosedOrUnreadableStandardStreams) {
  ProgramRun run = hook_run(std::nullopt, base_env(state_));
  run.env["TWK_CORE_BINARY"] = state_ / "missing";
  // A closed stdin, or one that is a directory, reads as empty input.
  run.stdin_closed = true;
  expect_ask(run_program(run), kNotJson);
  run.stdin_closed = false;
  int dir = ::open(state_.path().c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
  ASSERT_GE(dir, 0);
  run.inherit_fds = {{dir, 0}};
  expect_ask(run_program(run), kNotJson);
  ::close(dir);
  // A host that stopped reading: the failed write is ignored, not fatal.
  run.inherit_fds.clear();
  run.input = "{}";
  run.stdout_closed = true;
  expect_clean(run_program(run));
}

// --- Runs against a running Core ------------------------------------------

class CliExtraArgumentsTest : public LiveRecordTest {};

TEST_F(CliExtraArgumentsTest, ArgumentsAfterTheSecondAreIgnored) {
  ScriptedCore core(ScriptedCore::reply(200, "{\"output\":\"ok\"}"));
  record(core);
  RunResult r = run_hook("{\"a\":1}", env_,
                         {"claude-code", "pre-tool-use", "post-tool-use",
                          "--verbose", ""});
  expect_answer(r, "\"ok\"\n");
  EXPECT_EQ(forwarded(core, "pre-tool-use"), "{\"a\":1}");

  expect_answer(
      run_hook("nope", env_, {"claude-code", "post-tool-use", "pre-tool-use"}),
      "");
  expect_ask(
      run_hook("nope", env_, {"claude-code", "pre-tool-use", "x", "y", "z"}),
      kNotJson);
  EXPECT_EQ(core.requests().size(), 1u);
}

// --- The hook input -----------------------------------------------------------

class CliInputTest : public LiveRecordTest {};

TEST_F(CliInputTest, InputThatIsNotJsonIsNeverSentToCore) {
  const std::string inputs[] = {
      "", " ", " \t\r\n ", "{\"a\":1,}", "[1,]", "{} {}", "1 2", "{}x",
      "{}\n{}", std::string("{\"a\":\"b\0c\"}", 11), std::string("{}\0", 3),
      std::string("\0{}", 3), "\xef\xbb\xbf{}", "\"\xff\"", "\"\xc3\"",
      "\"\xc0\xaf\"", "\"\xed\xa0\x80\"", "\"\xf4\x90\x80\x80\"",
      "{\"\xff\":1}", "\"a\x01z\"", "\"a\nz\"", "\"a\tz\"", "\"\x1f\"",
      "\"\\ud800\"", "\"\\x41\"", nested(128), nested_objects(128),
      "[" + nested_objects(127) + "]", "1e400", "-1e400", "[1e309]", "NaN",
      "Infinity", "01", "1.", ".5", "+1", "0x10", "'a'", "{a:1}", "{\"a\" 1}",
      "[1 2]", "tru", "nul", "\"abc", "[", "}", "// note\n{}", "\x0c{}",
      "\x0b{}", "\xc2\xa0{}", "-01", "00", "-", "-a", "1.e5", "1e", "1e+",
      "1.5e", "[1,,2]", "[,1]", "{,}", "{\"a\":}", "{\"a\"}", "{1:2}", "[1]]",
      "{}}", "true false", "\"\\u12\"", "\"\\u00e\"", "\"\\uD800\\u0041\"",
      "\"\\uDC00\"", "\"\xe0\x80\xaf\"", "\"\xf5\x80\x80\x80\"",
      "\"aaaaaaaaaaaaaaaaaaaa\xff\"",
      "\"aaaaaaaaaaaaaaaaa\x01" "bbbbbbbbbbbbbbbbbbb\"",
      "\"aaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaa",
      "\"aaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaa\xe2\x82",
      "[123456789012345678901234567890123456789",
      "1234567890123456789012345678901234567890a",
      // A million levels deep: rejected without crashing, and in time.
      std::string(1000000, '['), nested(1000000),
      std::string(500000, '{') + "\"a\"",
  };
  for (const auto& hook : {"pre-tool-use", "post-tool-use"}) {
    ScriptedCore core(ScriptedCore::reply(200, "{\"output\":\"ok\"}"));
    record(core);
    for (const auto& input : inputs) {
      SCOPED_TRACE(std::string(hook) + " input " +
                   ::testing::PrintToString(input.substr(0, 40)));
      RunResult r = run_hook(input, env_, {"claude-code", hook});
      expect_answer(
          r, std::string(hook) == "pre-tool-use" ? ask_line(kNotJson) : "");
      EXPECT_LT(r.elapsed, 3000ms);
    }
    EXPECT_TRUE(core.requests().empty()) << core.requests().size();
  }
}

// --- The environment --------------------------------------------------------

class CliEnvironmentTest : public LiveRecordTest {};

TEST_F(CliEnvironmentTest, EndpointRecordLocation) {
  ScratchDir home, profile, other, cwd;
  ScriptedCore right(ScriptedCore::reply(200, "{\"output\":\"right\"}"));
  ScriptedCore wrong(ScriptedCore::reply(200, "{\"output\":\"wrong\"}"));
  const std::string state_record = endpoint_file();
  const std::string home_record = home / ".tarnwick/endpoint.json";
  const std::string profile_record = profile / ".tarnwick/endpoint.json";
  const std::string other_record = other / "sub/core.json";
  const std::string cwd_record = cwd / ".tarnwick/endpoint.json";
  struct Case {
    const char* name;
    std::map<std::string, std::string> set;
    std::vector<std::string> unset;
    std::string expected_record;
  } cases[] = {
      {"TARNWICK_HOME", {{"HOME", home.path()}}, {}, state_record},
      {"empty TARNWICK_HOME falls back to HOME",
       {{"TARNWICK_HOME", ""}, {"HOME", home.path()}}, {}, home_record},
      {"HOME unset: USERPROFILE",
       {{"USERPROFILE", profile.path()}}, {"TARNWICK_HOME", "HOME"},
       profile_record},
      {"HOME empty: USERPROFILE",
       {{"HOME", ""}, {"USERPROFILE", profile.path()}}, {"TARNWICK_HOME"},
       profile_record},
      {"HOME wins over USERPROFILE",
       {{"HOME", home.path()}, {"USERPROFILE", profile.path()}},
       {"TARNWICK_HOME"}, home_record},
      {"TWK_ENDPOINT_FILE wins over TARNWICK_HOME",
       {{"TWK_ENDPOINT_FILE", other_record}}, {}, other_record},
      {"empty TWK_ENDPOINT_FILE counts as unset",
       {{"TWK_ENDPOINT_FILE", ""}}, {}, state_record},
      {"no home at all: .tarnwick in the working directory", {},
       {"TARNWICK_HOME", "HOME", "USERPROFILE"}, cwd_record},
  };
  const std::string all[] = {state_record, home_record, profile_record,
                             other_record, cwd_record};
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    for (const auto& file : all) {
      record(file == c.expected_record ? right : wrong, file);
    }
    ProgramRun run = hook_run("{}", env_);
    for (const auto& [k, v] : c.set) run.env[k] = v;
    for (const auto& k : c.unset) run.env.erase(k);
    run.cwd = cwd.path();
    expect_answer(run_program(run), "\"right\"\n");
  }
  EXPECT_TRUE(wrong.requests().empty());
}

// A Core binary that is not there ends the run before Core is asked, also
// when a running Core is recorded: neither the one named (shown with U+FFFD
// for bytes that are not UTF-8), nor, with none named, one beside the hook.
// The hook runs as a copy alone in a directory, where twk-backend is missing
// or a directory; the state directory holds no runtime record. The input is
// judged before any Core binary is looked for.
TEST_F(CliEnvironmentTest, MissingCoreBinaryEndsTheRunBeforeCoreIsAsked) {
  ScratchDir bin;
  const std::string hook = lone_hook_copy(bin);
  ScriptedCore core(ScriptedCore::reply(200, "{\"output\":\"ok\"}"));
  record(core);
  const std::string at = "no Core binary at ", none = "no Core binary was found";
  struct Case {
    std::optional<std::string> binary;  // TWK_CORE_BINARY; nothing: unset
    std::string reason;
    bool backend_dir = false;  // a directory named twk-backend beside the hook
  } cases[] = {
      {state_ / "missing-core", at + state_ / "missing-core"},
      {state_ / "dir/\xff-core", at + state_ / "dir/\xef\xbf\xbd-core"},
      {state_.path(), at + state_.path()},  // a directory cannot be read
      {std::nullopt, none},
      {"", none},  // empty counts as unset
      {std::nullopt, none, true},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.binary.value_or("(unset)") + (c.backend_dir ? ", dir" : ""));
    if (c.backend_dir) std::filesystem::create_directory(bin / "twk-backend");
    auto run = [&](const std::string& hook_name, const std::string& input) {
      ProgramRun r = hook_run(input, env_, {"claude-code", hook_name});
      r.program = hook;
      r.env.erase("TWK_CORE_BINARY");
      if (c.binary) r.env["TWK_CORE_BINARY"] = *c.binary;
      return run_program(r);
    };
    expect_ask(run("pre-tool-use", "{}"), c.reason);
    expect_answer(run("post-tool-use", "{}"), "");
    expect_ask(run("pre-tool-use", "{"), kNotJson);
  }
  EXPECT_TRUE(core.requests().empty());
}

TEST_F(CliEnvironmentTest, DeadlineSetting) {
  // Against a Core that never answers, a run ends at its deadline. A value
  // that falls back to the default of 8 s keeps the hook waiting well past
  // the kill time; the runs go in parallel to keep the test short.
  ScriptedCore core(ScriptedCore::hang());
  record(core);
  struct Case {
    std::optional<std::string> value;  // nothing: unset
    bool short_deadline;
  } cases[] = {
      {"+250", true},        {"250", true},     {"0250", true},
      {std::nullopt, false}, {"", false},       {"0", false},
      {"-5", false},         {" 250", false},   {"250 ", false},
      {"250ms", false},      {"1e3", false},    {"++250", false},
      {"2 50", false},       {"18446744073709551616", false},
      {"\xff", false},
  };
  std::vector<RunResult> results = at_once(std::size(cases), [&](auto i) {
    ProgramRun run = hook_run("{}", env_);
    run.env.erase("TWK_HOOK_DEADLINE_MS");
    if (cases[i].value) run.env["TWK_HOOK_DEADLINE_MS"] = *cases[i].value;
    run.kill_after = 1500ms;
    return run_program(run);
  });
  for (std::size_t i = 0; i < results.size(); ++i) {
    SCOPED_TRACE(cases[i].value ? "\"" + *cases[i].value + "\"" : "unset");
    const RunResult& r = results[i];
    if (cases[i].short_deadline) {
      expect_ask(r, kTimedOut);
      EXPECT_GE(r.elapsed, 200ms);
    } else {
      EXPECT_TRUE(r.killed) << "ended after " << r.elapsed.count() << " ms";
      EXPECT_EQ(r.out, "");
    }
  }
}

}  // namespace
}  // namespace twk::testing
