// The hook against a running Core played by the test: what goes over the
// wire, how Core's answers become the agent's output, and which records
// count as a running Core (see live_record_fixture.h).
#include <sys/stat.h>
#include <sys/types.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <functional>
#include <string>
#include <utility>
#include <vector>

#include <gtest/gtest.h>

#include "harness.h"
#include "live_record_fixture.h"

namespace twk::testing {
namespace {

using namespace std::chrono_literals;

class LiveCoreTest : public LiveRecordTest {
 protected:
  // Runs the hook with `core` recorded as the running Core.
  RunResult run_against(const ScriptedCore& core, const std::string& input,
                        const std::string& hook = "pre-tool-use",
                        const std::string& token = "secret") {
    record(core, endpoint_file(), token);
    return run_hook(input, env_, {"claude-code", hook});
  }

  // Runs the hook on "{}" against a Core answering with `handler`, which
  // must get one request and lead to `out`.
  RunResult expect_run(ScriptedCore::Handler handler, const std::string& out,
                       const std::string& hook = "pre-tool-use") {
    ScriptedCore core(std::move(handler));
    RunResult r = run_against(core, "{}", hook);
    expect_answer(r, out);
    EXPECT_EQ(core.requests().size(), 1u);
    return r;
  }
};

// --- The request on the wire -------------------------------------------

using LiveRequestTest = LiveCoreTest;

// The whole request, byte for byte: head then body, the token verbatim
// (even when empty), Content-Length in bytes, CLAUDE_PROJECT_DIR in the
// context when it is valid UTF-8. A running Core gets no health check first.
TEST_F(LiveRequestTest, PolicyRequestIsExactlyHeadThenBody) {
  const std::string bash = "{\"tool_name\":\"Bash\"}";
  struct Case {
    const char* name;
    std::string hook, token, input;
    std::optional<std::string> project_dir = std::nullopt;  // unset
    std::string context = "{}";
  } cases[] = {
      {"pre-tool-use", "pre-tool-use", "tok-123_ABC.xyz", bash},
      {"post-tool-use", "post-tool-use", "tok-123_ABC.xyz", bash},
      {"empty token", "pre-tool-use", "", "{}"},
      {"token with space and signs", "pre-tool-use", "a b+/=", "{}"},
      {"non-ASCII body", "pre-tool-use", "t",
       "{\"k\":\"\xc3\xa9\xe2\x82\xac\xf0\x9f\x98\x80\"}"},
      {"empty project dir", "pre-tool-use", "t", "{\"x\":1}", ""},
      {"project dir", "pre-tool-use", "t", "{\"x\":1}", "/home/u/proj",
       "{\"projectDir\":\"/home/u/proj\"}"},
      {"project dir with escapes", "pre-tool-use", "t", "{\"x\":1}",
       "/p/a \"q\"\\r\x01\xc3\xa9",
       "{\"projectDir\":\"/p/a \\\"q\\\"\\\\r\\u0001\xc3\xa9\"}"},
      {"project dir not UTF-8", "pre-tool-use", "t", "{\"x\":1}",
       "/p/\xff\xfe"},
      {"project dir of truncated UTF-8", "pre-tool-use", "t", "{\"x\":1}",
       "/p/\xc3"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    ScriptedCore core(ScriptedCore::reply(200, "{\"output\":null}"));
    env_.erase("CLAUDE_PROJECT_DIR");
    if (c.project_dir) env_["CLAUDE_PROJECT_DIR"] = *c.project_dir;
    expect_answer(run_against(core, c.input, c.hook, c.token), "");
    std::string body = body_for(c.hook, c.input, c.context);
    EXPECT_EQ(core.requests(),
              std::vector<std::string>{
                  "POST /v1/policy/hook HTTP/1.1\r\nHost: 127.0.0.1:" +
                  std::to_string(core.port()) +
                  "\r\nContent-Type: application/json\r\nContent-Length: " +
                  std::to_string(body.size()) +
                  "\r\nConnection: close\r\nAuthorization: Bearer " + c.token +
                  "\r\n\r\n" + body});
  }
}

// --- The hook input as Core receives it -----------------------------------

using LiveCanonicalInputTest = LiveCoreTest;

TEST_F(LiveCanonicalInputTest, InputIsReSerialisedCanonically) {
  const std::string mixed = "[[[" + nested_objects(124) + "]]]";
  // Already canonical, so forwarded as they are: values of every kind at
  // the top, floats that stay floats, 64-bit integers exact, the short
  // escapes, NUL, raw UTF-8, 127 levels of nesting and 2 MB of input.
  const std::string unchanged[] = {
      "null", "true", "0", "-0.5", "\"s\"", "[true,false]", "[]", "[1.0,-2.0]",
      "[18446744073709551615,-9223372036854775808,9223372036854775807,0]",
      "\"\\b\\f\\n\\r\\t\\\"\\\\\"", "\"\\u0000\"",
      "\"\xc3\xa9\xf0\x9f\x98\x80\"", nested(127), nested_objects(127), mixed,
      big_input(2 << 20)};
  struct Case {
    const char* name;
    std::string input;
    std::string forwarded;
  };
  std::vector<Case> cases = {
      {"keys sorted at every depth",
       "{\"b\":1,\"a\":{\"d\":[{\"z\":1,\"y\":2}],\"c\":null}}",
       "{\"a\":{\"c\":null,\"d\":[{\"y\":2,\"z\":1}]},\"b\":1}"},
      {"keys sorted by bytes, prefix first",
       "{\"\xc3\xa9\":1,\"z\":2,\"Z\":3,\"ab\":5,\"a\":4,\"\":6}",
       "{\"\":6,\"Z\":3,\"a\":4,\"ab\":5,\"z\":2,\"\xc3\xa9\":1}"},
      {"last duplicate wins", "{\"a\":1,\"b\":2,\"a\":3}", "{\"a\":3,\"b\":2}"},
      {"last duplicate wins in sorted object", "{\"a\":1,\"a\":2}",
       "{\"a\":2}"},
      {"duplicate objects are not merged",
       "{\"a\":{\"x\":1},\"a\":{\"y\":2}}", "{\"a\":{\"y\":2}}"},
      {"duplicate spelled with an escape", "{\"\\u0061\":1,\"a\":2}",
       "{\"a\":2}"},
      {"duplicates deep inside arrays",
       "[{\"k\":1,\"k\":[{\"q\":0,\"p\":1}]}]", "[{\"k\":[{\"p\":1,\"q\":0}]}]"},
      {"white space dropped", " \t\r\n{ \"a\" :\n[ 1 ,\t2 ] , \"b\" : { } }\n",
       "{\"a\":[1,2],\"b\":{}}"},
      {"empty object with white space", " \r\n\t{}\n", "{}"},
      {"bare number", " 42 ", "42"},
      {"other controls as lower-case \\u00xx",
       "\"\\u0001\\u001F\\u001b\\u0000\"", "\"\\u0001\\u001f\\u001b\\u0000\""},
      {"\\u0008 is written short", "\"\\u0008\\u000a\"", "\"\\b\\n\""},
      {"solidus unescaped", "\"a\\/b/c\"", "\"a/b/c\""},
      {"non-ASCII escapes become raw UTF-8", "\"\\u00e9\\u20AC\\u2028\"",
       "\"\xc3\xa9\xe2\x82\xac\xe2\x80\xa8\""},
      {"surrogate pair becomes one 4-byte character", "\"\\ud83d\\ude00\"",
       "\"\xf0\x9f\x98\x80\""},
      {"DEL stays raw", "\"\\u007f\x7f\"", "\"\x7f\x7f\""},
      {"long keys sharing their first bytes",
       "{\"abcdefgh2\":1,\"abcdefgh\":2,\"abcdefgh10\":3,\"abcdefg\":4,"
       "\"abcdefghijklmnopq\":5,\"abcdefghijklmnop\":6}",
       "{\"abcdefg\":4,\"abcdefgh\":2,\"abcdefgh10\":3,\"abcdefgh2\":1,"
       "\"abcdefghijklmnop\":6,\"abcdefghijklmnopq\":5}"},
      {"key with NUL after a prefix", "{\"a\\u0000b\":5,\"a\":6}",
       "{\"a\":6,\"a\\u0000b\":5}"},
      {"duplicate long keys, one escaped",
       "{\"\\u0061bcdefghijkl\":1,\"abcdefghijkl\":2}",
       "{\"abcdefghijkl\":2}"},
      {"duplicate escaped keys", "{\"a\\\"\":1,\"a\\u0022\":2}",
       "{\"a\\\"\":2}"},
      {"long string with escapes and UTF-8 at block edges",
       "\"aaaaaaaaaaaaaaa\\u00e9bbbbbbbbbbbbbbbb\\\"ccccccccccccccc\xe2\x82\xac"
       "ddddddddddddddddd\\/\\u0001\x7f\"",
       "\"aaaaaaaaaaaaaaa\xc3\xa9" "bbbbbbbbbbbbbbbb\\\"ccccccccccccccc\xe2\x82\xac"
       "ddddddddddddddddd/\\u0001\x7f\""},
      {"integers that fit 64 bits are exact",
       "[-0,9007199254740993,-9223372036854775807,1000000000000000000]",
       "[0,9007199254740993,-9223372036854775807,1000000000000000000]"},
      // Ordered by the key's bytes, not its escaped form: LF (0x0a) comes
      // before the quotation mark (0x22).
      {"escaped keys", "{\"a\\\"\":2,\"a\\nb\":1}",
       "{\"a\\nb\":1,\"a\\\"\":2}"},
  };
  for (const std::string& u : unchanged) {
    cases.push_back({"already canonical", u, u});
  }
  for (const auto& c : cases) {
    SCOPED_TRACE(std::string(c.name) + ": " + c.input.substr(0, 60));
    ScriptedCore core(ScriptedCore::reply(200, "{\"output\":null}"));
    expect_answer(run_against(core, c.input), "");
    EXPECT_EQ(forwarded(core, "pre-tool-use"), c.forwarded);
  }
}

TEST_F(LiveCanonicalInputTest, NonIntegerNumbersReadBackAsTheSameDouble) {
  const std::vector<std::string> numbers = {
      "0.1", "1.5e3", "1E2", "1e+2", "-1.25e-300", "1e308",
      "1.7976931348623157e308", "4.9e-324", "2.2250738585072014e-308", "1e23",
      "0.30000000000000004", "12345678901234567890123", "18446744073709551616",
      "-9223372036854775809", "123456789012345678901234567890e-10",
      "3.141592653589793", "0.0", "-0.0", "1e-400", "-1e-400",
      "0.000001e+0006"};
  std::string input = "[";
  for (const auto& n : numbers) input += (input.size() > 1 ? "," : "") + n;
  input += "]";
  ScriptedCore core(ScriptedCore::reply(200, "{\"output\":null}"));
  expect_answer(run_against(core, input), "");
  std::string sent = forwarded(core, "pre-tool-use");
  ASSERT_GE(sent.size(), 2u);
  ASSERT_EQ(sent.front(), '[');
  ASSERT_EQ(sent.back(), ']');
  std::vector<std::string> written;
  std::string list = sent.substr(1, sent.size() - 2);
  for (std::size_t pos = 0;;) {
    std::size_t comma = list.find(',', pos);
    written.push_back(list.substr(pos, comma - pos));
    if (comma == std::string::npos) break;
    pos = comma + 1;
  }
  ASSERT_EQ(written.size(), numbers.size()) << sent;
  for (std::size_t i = 0; i < numbers.size(); ++i) {
    SCOPED_TRACE(numbers[i] + " written as " + written[i]);
    // Compared bit for bit, so that -0.0 does not pass for 0.0.
    double got = std::strtod(written[i].c_str(), nullptr);
    double want = std::strtod(numbers[i].c_str(), nullptr);
    EXPECT_EQ(std::memcmp(&got, &want, sizeof got), 0);
    EXPECT_EQ(written[i].find_first_not_of("0123456789.eE+-"),
              std::string::npos);
    // Still a non-integer number: Core sees the kind it was sent.
    EXPECT_NE(written[i].find_first_of(".eE"), std::string::npos);
  }
}

// --- Core's answer -----------------------------------------------------------

using LiveAnswerTest = LiveCoreTest;

// What the hook prints for each answer of Core: its "output" member,
// canonical, for pre-tool-use; the "ask" line when the answer is unusable;
// and never anything for post-tool-use. Neither failure is retried.
TEST_F(LiveAnswerTest, AnswerBecomesTheAgentsOutput) {
  const std::string not_valid = ask_line(kNotValid);
  const std::string not_http = ask_line(kNotHttp);
  struct Case {
    int status;  // 0: `body` is the whole reply
    std::string body;
    std::string out;  // for pre-tool-use
  };
  std::vector<Case> cases = {
      {200, "{\"output\":{\"b\":1,\"a\":2},\"x\":3}", "{\"a\":2,\"b\":1}\n"},
      {200, "{\"output\":\"text\"}", "\"text\"\n"},
      {200, "{\"output\":42}", "42\n"},
      {200, "{\"output\":-7.5}", "-7.5\n"},
      {200, "{\"output\":false}", "false\n"},
      {200, "{\"output\":[3,{\"d\":1,\"c\":2},1]}", "[3,{\"c\":2,\"d\":1},1]\n"},
      {200, "{\"output\":\"a\\u0001\\\"\\n\\/\\u00e9\\u007f\"}",
       "\"a\\u0001\\\"\\n/\xc3\xa9\x7f\"\n"},
      {200,
       "{\"output\":{\"hookSpecificOutput\":{\"permissionDecisionReason\":"
       "\"no\",\"permissionDecision\":\"deny\",\"hookEventName\":"
       "\"PreToolUse\"}}}",
       "{\"hookSpecificOutput\":{\"hookEventName\":\"PreToolUse\","
       "\"permissionDecision\":\"deny\",\"permissionDecisionReason\":\"no\"}}"
       "\n"},
      {200, " \r\n{\"x\":{\"output\":1},\"output\":{}}\n\t", "{}\n"},
      {200, "{\"output\":1,\"output\":2}", "2\n"},
      {200, "{\"output\":{\"a\":1,\"\xc3\xa9\":0,\"z\":2,\"a\":3}}",
       "{\"a\":3,\"z\":2,\"\xc3\xa9\":0}\n"},
      {200, "{\"output\":[18446744073709551615,-9223372036854775808,1.0]}",
       "[18446744073709551615,-9223372036854775808,1.0]\n"},
      // The answer object itself is one level: 127 in all.
      {200, "{\"output\":" + nested(126) + "}", nested(126) + "\n"},
      {200, "{\"x\":1,\"output\":null}", ""},
      {0,
       "HTTP/1.1 200 OK\r\nTransfer-Encoding: chunked\r\n\r\n5\r\n{\"out\r\n"
       "A;ext=1\r\nput\":{\"b\":\r\nb\r\n1,\"a\":[2]}}\r\n0\r\n\r\n",
       "{\"a\":[2],\"b\":1}\n"},
      // Unusable answers of 200.
      {200, "{}", not_valid}, {200, "[]", not_valid}, {200, "", not_valid},
      {200, "not json", not_valid}, {200, "null", not_valid},
      {200, "\"output\"", not_valid}, {200, "[{\"output\":1}]", not_valid},
      {200, "{\"Output\":1}", not_valid}, {200, "{\"output\":1} x", not_valid},
      {200, "{\"output\":1,}", not_valid},
      {200, "\xef\xbb\xbf{\"output\":1}", not_valid},
      {200, "{\"output\":\"\xff\"}", not_valid},
      {200, "{\"output\":1e400}", not_valid},
      {200, "{\"output\":" + nested(127) + "}", not_valid},
      // Replies that are not HTTP.
      {0, "", not_http}, {0, "hello", not_http},
      {0, "{\"output\":1}\r\n\r\n", not_http},
      {0, "HTTP/1.1 OK\r\n\r\n{\"output\":1}", not_http},
  };
  for (int status : {201, 204, 299, 400, 401, 404, 500, 503}) {
    cases.push_back({status, "{\"output\":\"allow\"}",
                     ask_line("Core answered " + std::to_string(status))});
  }
  for (const auto& c : cases) {
    SCOPED_TRACE(std::to_string(c.status) + " " + c.body.substr(0, 80));
    auto handler = c.status ? ScriptedCore::reply(c.status, c.body)
                            : ScriptedCore::raw(c.body);
    expect_run(handler, c.out);
    expect_run(handler, "", "post-tool-use");
  }
}

// --- Which record counts as a running Core ---------------------------------

using LiveRecordsTest = LiveCoreTest;

// Records that name no running Core of this user, or that are no records at
// all, lead to a start of Core (which fails with kExited here) without
// blocking on them, spending the run's time on them, or sending anything
// to the url they name. A record counts only when it is the hook's own
// user's, no one else can rewrite it, and it names a process of that user
// that runs the Core executable; otherwise another user could have the
// events sent to a listener of theirs. Each is live by everything else
// about it (see the live records after them).
TEST_F(LiveRecordsTest, RecordThatNamesNoRunningCoreLeadsToAStart) {
  constexpr uid_t kNobody = 65534;
  // Only root can play another user; the other cases run for anyone.
  const bool root = ::geteuid() == 0;
  std::optional<WaitingShell> other_shell;
  if (root) other_shell.emplace(kNobody);
  pid_t gone = fork();
  if (gone == 0) _exit(0);
  ASSERT_GT(gone, 0);
  waitpid(gone, nullptr, 0);
  env_["TWK_HOOK_DEADLINE_MS"] = "1500";
  ScriptedCore core(ScriptedCore::reply(200, "{\"output\":\"allow\"}"));
  const std::string file = endpoint_file();
  const std::string full = record_text(core.port(), shell_.pid());
  const std::string head = "{\"url\":\"" + core.url() + "\",\"token\":\"t\"";
  const std::string shell_pid = std::to_string(shell_.pid());
  const std::string deep = nested(100000);
  std::vector<int> held;  // descriptors closed after each case
  struct Case {
    std::string name;
    std::string text;  // the record, when `make` is not given
    std::function<void()> make = nullptr;
    bool root_only = false;
  };
  std::vector<Case> cases = {
      {"pid runs another executable", head + ",\"pid\":" +
                                          std::to_string(getpid()) + "}"},
      {"pid has exited", head + ",\"pid\":" + std::to_string(gone) + "}"},
      {"no pid", head + "}"},
      {"pid with a fraction", head + ",\"pid\":" + shell_pid + ".0}"},
      {"pid as a string", head + ",\"pid\":\"" + shell_pid + "\"}"},
      {"pid negative", head + ",\"pid\":-1}"},
      {"pid 2^32", head + ",\"pid\":4294967296}"},
      {"connection refused", record_text(closed_port(), shell_.pid())},
      {"FIFO without a writer", "",
       [&] { ASSERT_EQ(::mkfifo(file.c_str(), 0644), 0); }},
      {"FIFO that a writer holds open", "",
       [&] { ASSERT_TRUE(make_held_fifo(file, held)); }},
      {"directory", "", [&] { ASSERT_EQ(::mkdir(file.c_str(), 0755), 0); }},
      {"20 MB token", record_text(core.port(), shell_.pid(),
                                  std::string(20 << 20, 'k'))},
      {"20 MB of white space after the record",
       full + std::string(20 << 20, ' ')},
      {"100 GB sparse file", "",
       [&] {
         write_file(file, full);
         ASSERT_EQ(::truncate(file.c_str(), 100LL << 30), 0);
       }},
      {"100000 levels of nesting", deep},
      {"100000 levels inside a member",
       head + ",\"pid\":" + shell_pid + ",\"x\":" + deep + "}"},
      {"group may write the record", "",
       [&] { write_file(file, full, 0620); }},
      {"others may write the record", "",
       [&] { write_file(file, full, 0602); }},
      {"record of another user", "",
       [&] {
         write_file(file, full, 0600);
         ASSERT_EQ(::chown(file.c_str(), kNobody, kNobody), 0);
       },
       true},
      {"Core of another user", "",
       [&] {
         write_file(file, record_text(core.port(), other_shell->pid()), 0600);
       },
       true},
  };
  // Cut short anywhere, a record is no record.
  for (std::size_t cut : {std::size_t{0}, std::size_t{1}, std::size_t{9},
                          full.find("\"token\""), full.find("\"pid\"") + 6,
                          full.size() - 2, full.size() - 1}) {
    cases.push_back({"cut to " + full.substr(0, cut), full.substr(0, cut)});
  }
  for (const auto& c : cases) {
    if (c.root_only && !root) continue;
    SCOPED_TRACE(c.name);
    std::filesystem::remove_all(file);
    if (c.make) {
      c.make();
    } else {
      write_file(file, c.text);
    }
    for (const std::string hook : {"pre-tool-use", "post-tool-use"}) {
      RunResult r = run_hook(kEvent, env_, {"claude-code", hook});
      expect_answer(r, hook == "pre-tool-use" ? ask_line(kExited) : "");
      EXPECT_LT(r.elapsed, 2500ms) << "ends within its deadline";
    }
    for (int fd : held) ::close(fd);
    held.clear();
  }
  EXPECT_TRUE(core.requests().empty());

  // Live records: the request goes to their url, with their token. The url's
  // path and members other than url, token and pid are ignored; a token of
  // 100 kB is large for a record, but still one.
  struct Live {
    const char* name;
    std::string text;
    std::string token;
  } live[] = {
      {"plain", full, "t"},
      {"100 kB token", record_text(core.port(), shell_.pid(),
                                   std::string(100 << 10, 'k')),
       std::string(100 << 10, 'k')},
      {"url with a path, other members",
       "{\"extra\":[1],\"pid\":" + shell_pid + ",\"token\":\"tk\",\"url\":\"" +
           core.url() + "/some/path\"}",
       "tk"},
  };
  for (const auto& c : live) {
    SCOPED_TRACE(c.name);
    std::filesystem::remove_all(file);
    write_file(file, c.text);
    expect_answer(run_hook(kEvent, env_), "\"allow\"\n");
    std::string request = core.requests().back();
    EXPECT_TRUE(request.starts_with("POST /v1/policy/hook HTTP/1.1\r\n"));
    EXPECT_NE(request.find("\r\nAuthorization: Bearer " + c.token + "\r\n"),
              std::string::npos);
  }
  EXPECT_EQ(core.requests().size(), 3u);
}

}  // namespace
}  // namespace twk::testing
