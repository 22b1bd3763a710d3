// The hook against a running Core played by the test: what goes over the
// wire, how Core's answers become the agent's output, and which records
// count as a running Core (see live_record_fixture.h).
#include <sys/types.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdlib>
#include <cstring>
#include <string>
#include <utility>
#include <vector>

#include <gtest/gtest.h>

#include "harness.h"
#include "live_record_fixture.h"

namespace twk::testing {
namespace {

using namespace std::chrono_literals;

struct SplitRequest {
  std::vector<std::string> head;  // lines without CR LF, up to the blank one
  std::string body;
  bool complete = false;  // a blank line was found
};

SplitRequest split(const std::string& request) {
  SplitRequest r;
  std::size_t end = request.find("\r\n\r\n");
  if (end == std::string::npos) return r;
  r.complete = true;
  std::size_t pos = 0;
  while (pos < end) {
    std::size_t eol = request.find("\r\n", pos);
    r.head.push_back(request.substr(pos, eol - pos));
    pos = eol + 2;
  }
  r.body = request.substr(end + 4);
  return r;
}

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

class LiveRequestTest : public LiveCoreTest {};

TEST_F(LiveRequestTest, PolicyRequestIsExactlyHeadThenBody) {
  for (const std::string hook : {"pre-tool-use", "post-tool-use"}) {
    SCOPED_TRACE(hook);
    ScriptedCore core(ScriptedCore::reply(200, "{\"output\":null}"));
    RunResult r = run_against(core, "{\"tool_name\":\"Bash\"}", hook,
                              "tok-123_ABC.xyz");
    expect_answer(r, "");
    std::string body = body_for(hook, "{\"tool_name\":\"Bash\"}");
    std::string expected =
        "POST /v1/policy/hook HTTP/1.1\r\n"
        "Host: 127.0.0.1:" + std::to_string(core.port()) + "\r\n"
        "Content-Type: application/json\r\n"
        "Content-Length: " + std::to_string(body.size()) + "\r\n"
        "Connection: close\r\n"
        "Authorization: Bearer tok-123_ABC.xyz\r\n"
        "\r\n" + body;
    // One request, the policy request itself: a running Core gets no
    // health check first.
    ASSERT_EQ(core.requests().size(), 1u);
    EXPECT_EQ(core.requests()[0], expected);
  }
}

TEST_F(LiveRequestTest, TokenIsSentVerbatimAndEvenWhenEmpty) {
  struct Case {
    std::string token;
    std::string header;
  } cases[] = {
      {"", "Authorization: Bearer "},
      {"a b+/=", "Authorization: Bearer a b+/="},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.token);
    ScriptedCore core(ScriptedCore::reply(200, "{\"output\":1}"));
    RunResult r = run_against(core, "{}", "pre-tool-use", c.token);
    expect_answer(r, "1\n");
    ASSERT_EQ(core.requests().size(), 1u);
    SplitRequest req = split(core.requests()[0]);
    ASSERT_TRUE(req.complete);
    ASSERT_EQ(req.head.size(), 6u);
    EXPECT_EQ(req.head[5], c.header);
  }
}

TEST_F(LiveRequestTest, ContentLengthCountsBytesOfNonAsciiBody) {
  ScriptedCore core(ScriptedCore::reply(200, "{\"output\":null}"));
  RunResult r = run_against(core, "{\"k\":\"\xc3\xa9\xe2\x82\xac\xf0\x9f\x98\x80\"}");
  expect_clean(r);
  ASSERT_EQ(core.requests().size(), 1u);
  SplitRequest req = split(core.requests()[0]);
  ASSERT_TRUE(req.complete);
  ASSERT_GE(req.head.size(), 4u);
  EXPECT_EQ(req.head[3], "Content-Length: " + std::to_string(req.body.size()));
  EXPECT_EQ(req.body,
            body_for("pre-tool-use",
                     "{\"k\":\"\xc3\xa9\xe2\x82\xac\xf0\x9f\x98\x80\"}"));
}

// --- The hook input as Core receives it -----------------------------------

class LiveCanonicalInputTest : public LiveCoreTest {};

TEST_F(LiveCanonicalInputTest, InputIsReSerialisedCanonically) {
  struct Case {
    const char* name;
    std::string input;
    std::string forwarded;
  } cases[] = {
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
      {"null at the top", "null", "null"},
      {"bare number", " 42 ", "42"},
      {"bare string", "\"s\"", "\"s\""},
      {"booleans", "[true,false]", "[true,false]"},
      {"empty array", "[]", "[]"},
      {"1.0 stays a float", "[1.0,-2.0]", "[1.0,-2.0]"},
      {"64-bit integers exact",
       "[18446744073709551615,-9223372036854775808,9223372036854775807,0]",
       "[18446744073709551615,-9223372036854775808,9223372036854775807,0]"},
      {"short escapes", "\"\\b\\f\\n\\r\\t\\\"\\\\\"",
       "\"\\b\\f\\n\\r\\t\\\"\\\\\""},
      {"other controls as lower-case \\u00xx",
       "\"\\u0001\\u001F\\u001b\\u0000\"", "\"\\u0001\\u001f\\u001b\\u0000\""},
      {"\\u0008 is written short", "\"\\u0008\\u000a\"", "\"\\b\\n\""},
      {"solidus unescaped", "\"a\\/b/c\"", "\"a/b/c\""},
      {"non-ASCII escapes become raw UTF-8", "\"\\u00e9\\u20AC\\u2028\"",
       "\"\xc3\xa9\xe2\x82\xac\xe2\x80\xa8\""},
      {"surrogate pair becomes one 4-byte character", "\"\\ud83d\\ude00\"",
       "\"\xf0\x9f\x98\x80\""},
      {"DEL stays raw", "\"\\u007f\x7f\"", "\"\x7f\x7f\""},
      {"raw UTF-8 kept", "\"\xc3\xa9\xf0\x9f\x98\x80\"",
       "\"\xc3\xa9\xf0\x9f\x98\x80\""},
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
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    ScriptedCore core(ScriptedCore::reply(200, "{\"output\":null}"));
    RunResult r = run_against(core, c.input);
    expect_answer(r, "");
    ASSERT_EQ(core.requests().size(), 1u);
    EXPECT_EQ(forwarded(core, "pre-tool-use"), c.forwarded);
  }
}

TEST_F(LiveCanonicalInputTest, NonIntegerNumbersReadBackAsTheSameDouble) {
  const std::vector<std::string> numbers = {
      "0.1",
      "1.5e3",
      "1E2",
      "1e+2",
      "-1.25e-300",
      "1e308",
      "1.7976931348623157e308",
      "4.9e-324",
      "2.2250738585072014e-308",
      "1e23",
      "0.30000000000000004",
      "12345678901234567890123",
      "18446744073709551616",
      "-9223372036854775809",
      "123456789012345678901234567890e-10",
      "3.141592653589793",
      "0.0",
      "-0.0",
      "1e-400",
      "-1e-400",
      "0.000001e+0006"};
  std::string input = "[";
  for (const auto& n : numbers) input += (input.size() > 1 ? "," : "") + n;
  input += "]";
  ScriptedCore core(ScriptedCore::reply(200, "{\"output\":null}"));
  RunResult r = run_against(core, input);
  expect_clean(r);
  ASSERT_EQ(core.requests().size(), 1u);
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

// --- The context member ----------------------------------------------------

class LiveContextTest : public LiveCoreTest {};

TEST_F(LiveContextTest, ProjectDirectoryGoesIntoContext) {
  struct Case {
    const char* name;
    std::optional<std::string> value;  // nothing: unset
    std::string context;
  } cases[] = {
      {"unset", std::nullopt, "{}"},
      {"empty", "", "{}"},
      {"plain", "/home/u/proj", "{\"projectDir\":\"/home/u/proj\"}"},
      {"escaped", "/p/a \"q\"\\r\x01\xc3\xa9",
       "{\"projectDir\":\"/p/a \\\"q\\\"\\\\r\\u0001\xc3\xa9\"}"},
      {"not UTF-8", "/p/\xff\xfe", "{}"},
      {"truncated UTF-8", "/p/\xc3", "{}"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    ScriptedCore core(ScriptedCore::reply(200, "{\"output\":null}"));
    env_.erase("CLAUDE_PROJECT_DIR");
    if (c.value) env_["CLAUDE_PROJECT_DIR"] = *c.value;
    RunResult r = run_against(core, "{\"x\":1}");
    expect_clean(r);
    ASSERT_EQ(core.requests().size(), 1u);
    EXPECT_EQ(split(core.requests()[0]).body,
              body_for("pre-tool-use", "{\"x\":1}", c.context));
  }
}

// --- Core's answer -----------------------------------------------------------

class LiveAnswerTest : public LiveCoreTest {};

TEST_F(LiveAnswerTest, OutputIsPassedThroughForPreToolUseOnly) {
  struct Case {
    std::string body;
    std::string line;  // for pre-tool-use
  } cases[] = {
      {"{\"output\":{\"b\":1,\"a\":2},\"x\":3}", "{\"a\":2,\"b\":1}\n"},
      {"{\"output\":\"text\"}", "\"text\"\n"},
      {"{\"output\":42}", "42\n"},
      {"{\"output\":-7.5}", "-7.5\n"},
      {"{\"output\":false}", "false\n"},
      {"{\"output\":[3,{\"d\":1,\"c\":2},1]}", "[3,{\"c\":2,\"d\":1},1]\n"},
      {"{\"output\":\"a\\u0001\\\"\\n\\/\\u00e9\\u007f\"}",
       "\"a\\u0001\\\"\\n/\xc3\xa9\x7f\"\n"},
      {"{\"output\":{\"hookSpecificOutput\":{\"permissionDecisionReason\":"
       "\"no\",\"permissionDecision\":\"deny\",\"hookEventName\":"
       "\"PreToolUse\"}}}",
       "{\"hookSpecificOutput\":{\"hookEventName\":\"PreToolUse\","
       "\"permissionDecision\":\"deny\",\"permissionDecisionReason\":\"no\"}}"
       "\n"},
      {" \r\n{\"x\":{\"output\":1},\"output\":{}}\n\t", "{}\n"},
      {"{\"output\":1,\"output\":2}", "2\n"},
      {"{\"output\":{\"a\":1,\"\xc3\xa9\":0,\"z\":2,\"a\":3}}",
       "{\"a\":3,\"z\":2,\"\xc3\xa9\":0}\n"},
      {"{\"output\":[18446744073709551615,-9223372036854775808,1.0]}",
       "[18446744073709551615,-9223372036854775808,1.0]\n"},
      // The answer object itself is one level: 127 in all.
      {"{\"output\":" + nested(126) + "}", nested(126) + "\n"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.body);
    expect_run(ScriptedCore::reply(200, c.body), c.line);
    expect_run(ScriptedCore::reply(200, c.body), "", "post-tool-use");
  }
}

TEST_F(LiveAnswerTest, NullOutputWritesNothing) {
  for (const std::string hook : {"pre-tool-use", "post-tool-use"}) {
    SCOPED_TRACE(hook);
    expect_run(ScriptedCore::reply(200, "{\"x\":1,\"output\":null}"), "",
               hook);
  }
}

TEST_F(LiveAnswerTest, UnusableAnswerOf200AsksTheUser) {
  const std::string bodies[] = {
      "{}",
      "[]",
      "",
      "not json",
      "null",
      "\"output\"",
      "[{\"output\":1}]",
      "{\"Output\":1}",
      "{\"output\":1} x",
      "{\"output\":1,}",
      "\xef\xbb\xbf{\"output\":1}",
      "{\"output\":\"\xff\"}",
      "{\"output\":1e400}",
      "{\"output\":" + nested(127) + "}",
  };
  for (const auto& body : bodies) {
    SCOPED_TRACE(body);
    expect_run(ScriptedCore::reply(200, body), ask_line(kNotValid));
  }
  expect_run(ScriptedCore::reply(200, "[]"), "", "post-tool-use");
}

TEST_F(LiveAnswerTest, StatusOtherThan200IsReportedWithoutRetry) {
  for (int status : {201, 204, 299, 400, 401, 404, 500, 503}) {
    SCOPED_TRACE(status);
    expect_run(ScriptedCore::reply(status, "{\"output\":\"allow\"}"),
               ask_line("Core answered " + std::to_string(status)));
  }
  expect_run(ScriptedCore::reply(500, "{\"output\":\"allow\"}"), "",
             "post-tool-use");
}

TEST_F(LiveAnswerTest, ChunkedReplyIsDecoded) {
  expect_run(
      ScriptedCore::raw("HTTP/1.1 200 OK\r\nTransfer-Encoding: chunked\r\n\r\n"
                        "5\r\n{\"out\r\n"
                        "A;ext=1\r\nput\":{\"b\":\r\n"
                        "b\r\n1,\"a\":[2]}}\r\n"
                        "0\r\n\r\n"),
      "{\"a\":[2],\"b\":1}\n");
}

// --- Transport failures ------------------------------------------------------

class LiveTransportTest : public LiveCoreTest {};

TEST_F(LiveTransportTest, ReplyThatIsNotHttp) {
  const std::string replies[] = {"", "hello", "{\"output\":1}\r\n\r\n",
                                 "HTTP/1.1 OK\r\n\r\n{\"output\":1}"};
  for (const auto& reply : replies) {
    SCOPED_TRACE(reply);
    // Not a refusal: Core is not started, so the request is not repeated.
    expect_run(ScriptedCore::raw(reply), ask_line(kNotHttp));
  }
}

TEST_F(LiveTransportTest, CoreThatDoesNotCloseTimesOutAtTheDeadline) {
  const auto kDeadline = 500ms;
  env_["TWK_HOOK_DEADLINE_MS"] = "500";
  struct Case {
    const char* name;
    ScriptedCore::Handler handler;
  } cases[] = {
      {"full reply, connection kept open",
       [](int fd, const std::string& request) {
         ScriptedCore::reply(200, "{\"output\":\"allow\"}")(fd, request);
         ScriptedCore::hang()(fd, request);
       }},
      {"no reply at all", ScriptedCore::hang()},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    // A time-out neither restarts Core nor repeats the request.
    RunResult r = expect_run(c.handler, ask_line(kTimedOut));
    EXPECT_GE(r.elapsed, kDeadline - 50ms);
    EXPECT_LT(r.elapsed, kDeadline + 1500ms);
  }
  RunResult r = expect_run(ScriptedCore::hang(), "", "post-tool-use");
  EXPECT_GE(r.elapsed, kDeadline - 50ms);
  EXPECT_LT(r.elapsed, kDeadline + 1500ms);
}

// --- Which record counts as a running Core ---------------------------------

class LiveDiscoveryTest : public LiveCoreTest {
 protected:
  // Runs the hook with a record for `core` carrying `record` as its text.
  RunResult run_with_record(const std::string& record) {
    write_file(endpoint_file(), record);
    return run_hook("{}", env_);
  }
};

TEST_F(LiveDiscoveryTest, RecordNotNamingARunningCoreLeadsToAStart) {
  pid_t gone = fork();
  if (gone == 0) _exit(0);
  ASSERT_GT(gone, 0);
  waitpid(gone, nullptr, 0);

  ScriptedCore core(ScriptedCore::reply(200, "{\"output\":\"allow\"}"));
  std::string url = core.url();
  struct Case {
    const char* name;
    std::string pid_member;
  } cases[] = {
      {"pid runs another executable",
       ",\"pid\":" + std::to_string(getpid())},
      {"pid has exited", ",\"pid\":" + std::to_string(gone)},
      {"no pid", ""},
      {"pid with a fraction", ",\"pid\":" + std::to_string(shell_.pid()) + ".0"},
      {"pid as a string", ",\"pid\":\"" + std::to_string(shell_.pid()) + "\""},
      {"pid negative", ",\"pid\":-1"},
      {"pid 2^32", ",\"pid\":4294967296"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    RunResult r = run_with_record("{\"url\":\"" + url +
                                  "\",\"token\":\"t\"" + c.pid_member + "}");
    expect_answer(r, ask_line(kExited));
  }
  EXPECT_TRUE(core.requests().empty());

  // The same record with the waiting shell's pid is live: the control that
  // shows the cases above were refused for their pid alone.
  RunResult r = run_with_record(record_text(core.port(), shell_.pid()));
  expect_answer(r, "\"allow\"\n");
  EXPECT_EQ(core.requests().size(), 1u);
}

TEST_F(LiveDiscoveryTest, RefusedConnectionLeadsToAStart) {
  int port;
  {
    ScriptedCore gone(ScriptedCore::reply(200, "{\"output\":\"allow\"}"));
    port = gone.port();
  }
  for (const std::string hook : {"pre-tool-use", "post-tool-use"}) {
    SCOPED_TRACE(hook);
    write_file(endpoint_file(), record_text(port, shell_.pid()));
    RunResult r = run_hook("{}", env_, {"claude-code", hook});
    expect_answer(r, hook == "pre-tool-use" ? ask_line(kExited) : "");
  }
}

TEST_F(LiveDiscoveryTest, UrlPathAndOtherMembersAreIgnored) {
  ScriptedCore core(ScriptedCore::reply(200, "{\"output\":\"allow\"}"));
  RunResult r = run_with_record(
      "{\"extra\":[1],\"pid\":" + std::to_string(shell_.pid()) +
      ",\"token\":\"tk\",\"url\":\"" + core.url() + "/some/path\"}");
  expect_answer(r, "\"allow\"\n");
  ASSERT_EQ(core.requests().size(), 1u);
  SplitRequest req = split(core.requests()[0]);
  ASSERT_GE(req.head.size(), 6u);
  EXPECT_EQ(req.head[0], "POST /v1/policy/hook HTTP/1.1");
  EXPECT_EQ(req.head[5], "Authorization: Bearer tk");
}

}  // namespace
}  // namespace twk::testing
