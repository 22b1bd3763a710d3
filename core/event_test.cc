// Tests for reading policy requests: the tree and the texts must be exactly
// what the JSON library makes of the same body.
#include "event.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

namespace twk::core {
namespace {

// What Core used to build for a body: the library's own parse.
struct Expected {
  nlohmann::json value;  // without input.tool_response
  std::string tool_input;
  std::string tool_response;
};

Expected expected(std::string_view body) {
  Expected e;
  e.value = nlohmann::json::parse(body);
  nlohmann::json& input = e.value["input"];
  if (input.is_object()) {
    if (input.contains("tool_input")) e.tool_input = input["tool_input"].dump();
    if (input.contains("tool_response")) {
      e.tool_response = input["tool_response"].dump();
      input.erase("tool_response");
    }
  }
  if (e.value["input"].is_null() &&
      !nlohmann::json::parse(body).contains("input")) {
    e.value.erase("input");
  }
  return e;
}

void expect_read_like_the_library(std::string_view body) {
  SCOPED_TRACE(std::string(body));
  Result<Event> event = Event::read(body);
  ASSERT_TRUE(event.ok()) << event.reason();
  Expected e = expected(body);
  EXPECT_EQ(event->value(), e.value);
  EXPECT_EQ(event->tool_input_text(), e.tool_input);
  EXPECT_EQ(event->tool_response_text(), e.tool_response);
}

TEST(Event, ReadsBodiesAsTheLibraryDoes) {
  const std::vector<std::string> bodies = {
      // As the hook sends it.
      R"({"agent":"claude-code","context":{"projectDir":"/w"},"hook":"post-tool-use",)"
      R"("input":{"session_id":"s","tool_input":{"command":"ls"},"tool_name":"Bash",)"
      R"("tool_response":{"stdout":"a\"}b\\","stderr":"","interrupted":false}}})",
      // White space, unsorted keys, and numbers the writer spells otherwise.
      " {\n \"input\" : { \"tool_response\" : [ 1.50, -0, 1E2, {\"x\" : [] } ] "
      ","
      " \"tool_input\" : { \"n\" : 10 , \"b\":true,\"z\":null } } , \"hook\" : "
      "\"h\" }\t",
      // Strings that end in escaped backslashes, quotes and brackets in text.
      R"({"input":{"tool_response":"\\","tool_input":"\\\"}]","x":"[{"}})",
      R"({"input":{"tool_response":"tail \\\\","after":"\"{"}})",
      // Escaped keys: this one is tool_response all the same.
      R"({"input":{"tool_\u0072esponse":{"secret":1},"k\n":2}})",
      // A repeated key: the last one counts, as in the library.
      R"({"input":{"tool_response":"first","tool_response":"second"},"input2":1})",
      R"({"input":{"a":1},"input":{"tool_response":[2]}})",
      // Input that is not an object, empty, or missing; scalars at the ends.
      R"({"input":"text","n":-1.5e-7})",
      R"({"input":[{"tool_response":1}],"z":true})",
      R"({"input":{}})",
      R"({})",
      R"({"hook":null,"input":{"tool_response":null,"tool_input":false}})",
      // Non-ASCII text and escapes the writer turns into raw bytes.
      "{\"input\":{\"tool_response\":\"caf\xc3\xa9 \\u00e9 \\ud83d\\ude00\\t\","
      "\"tool_input\":{\"file_path\":\"/tmp/\xe2\x82\xac\"}}}",
      // Escapes that stay escapes, and numbers at the edges of each kind.
      R"({"input":{"tool_input":{"s":"\u0000\u001f\u007f\u2028\/\b\f\r",)"
      R"("u":18446744073709551615,"u1":18446744073709551616,)"
      R"("i":-9223372036854775808,"i1":-9223372036854775809,"z":-0,)"
      R"("d":[0.1,-0.0,1E+2,1e-320,5e-324,1.7976931348623157e308,123456789012345678901234567890]}}})",
  };
  for (const std::string& body : bodies) expect_read_like_the_library(body);
}

TEST(Event, ALargeResponseStaysTextAndIsNotParsed) {
  std::string response = "[";
  for (int i = 0; i < 20000; ++i) {
    if (i > 0) response += ',';
    response += R"({"id":)" + std::to_string(i) + R"(,"name":"n\"\\)" +
                std::to_string(i) + R"(","tags":["a","b"],"v":0.5})";
  }
  response += "]";
  std::string body =
      R"({"hook":"post-tool-use","input":{"tool_input":{"c":"x"},)"
      R"("tool_response":)" +
      response + R"(,"zz":"after"}})";
  expect_read_like_the_library(body);
  Result<Event> event = Event::read(body);
  ASSERT_TRUE(event.ok());
  EXPECT_EQ(event->tool_response_text(), response);
  EXPECT_FALSE(event->value()["input"].contains("tool_response"));
  EXPECT_EQ(event->value()["input"]["zz"], "after");
}

TEST(Event, SkipsAByteOrderMark) {
  Result<Event> event = Event::read("\xEF\xBB\xBF{\"hook\":\"h\"}");
  ASSERT_TRUE(event.ok());
  EXPECT_EQ(event->value()["hook"], "h");
}

TEST(Event, RefusesWithTheReasonForTheReply) {
  auto reason = [](std::string_view body, std::size_t depth = kMaxNesting) {
    Result<Event> event = Event::read(body, depth);
    return event.ok() ? std::string("<read>") : event.reason();
  };
  for (std::string_view body :
       {"", " ", "not json", R"({"a":1} {"b":2})", R"({"a":1,})",
        R"({"a":"\x"})", "{\"a\":\"caf\xc3\"}", "{\"a\":\"\x01\"}",
        "{\"a\":", "\xEF\xBB\xBF\xEF\xBB\xBF{}"}) {
    EXPECT_EQ(reason(body), "the body isn't JSON") << body;
  }
  for (std::string_view body : {"[]", "\"text\"", "null", "42", "[{}]"}) {
    EXPECT_EQ(reason(body), "the body isn't a JSON object") << body;
  }
  EXPECT_EQ(reason(std::string("{\"a\":\"x\0y\"}", 11)),
            "the body contains a NUL byte");
  EXPECT_EQ(reason(std::string("{}\0", 3)), "the body contains a NUL byte");

  // The hook wraps input of up to 127 levels in its own object.
  auto nested = [](std::size_t levels) {
    return R"({"input":)" + std::string(levels, '[') +
           std::string(levels, ']') + "}";
  };
  EXPECT_EQ(reason(nested(127)), "<read>");
  EXPECT_EQ(reason(nested(128)), "the body is nested too deeply");
  EXPECT_EQ(reason(nested(3), 3), "the body is nested too deeply");
  EXPECT_EQ(reason(nested(2), 3), "<read>");
  // Too deep and broken as well: the depth is what is reported.
  EXPECT_EQ(reason(nested(200).substr(0, 150)),
            "the body is nested too deeply");
  // Brackets in strings, also after escaped quotes and backslashes, are
  // text and add no depth.
  EXPECT_EQ(reason(R"({"a":"[[{{", "b":"\"[[", "c":"\\", "d":"{{"})", 1),
            "<read>");
}

}  // namespace
}  // namespace twk::core
