// Holds Core's reading of a request body to the common strict reader: for
// any bytes, Event::read accepts exactly the JSON objects that the reader
// accepts after one leading byte order mark (which Core takes off) within
// the nesting limit it is given; what it accepts it reads as the reader
// does, with input.tool_response kept only as text; and what it refuses it
// refuses with the reply's words for the reader's reason. The reader itself
// is held to the library by json_canonical_fuzz.
//
// Each body is read at Core's nesting limit, at a small limit picked by its
// first byte, and, when the library parses it, at exactly its own depth and
// one level less.
//
//   event_fuzz -dict=fuzz/json.dict fuzz/corpus/event
#include <bit>
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <string>
#include <string_view>

#include "event.h"
#include "twk/json.h"
#include "twk/testing/library_json.h"

namespace {

using twk::core::Event;
using twk::core::kMaxNesting;
using twk::json::Value;

[[noreturn]] void fail(const char* what, std::string_view body,
                       std::size_t max_depth) {
  std::fprintf(stderr, "%s for input of %zu bytes at max_depth %zu\n", what,
               body.size(), max_depth);
  __builtin_trap();
}

// The same value, and more strictly than operator==: the same kind of
// number (which == does not tell apart) and doubles bit for bit (so that
// -0.0 is not 0.0).
bool same(const Value& a, const Value& b) {
  using Kind = Value::value_t;
  if (a.type() != b.type()) return false;
  switch (a.type()) {
    case Kind::object: {
      if (a.size() != b.size()) return false;
      for (auto i = a.begin(), j = b.begin(); i != a.end(); ++i, ++j) {
        if (i.key() != j.key() || !same(*i, *j)) return false;
      }
      return true;
    }
    case Kind::array: {
      if (a.size() != b.size()) return false;
      for (std::size_t i = 0; i < a.size(); ++i) {
        if (!same(a[i], b[i])) return false;
      }
      return true;
    }
    case Kind::number_float:
      return std::bit_cast<std::uint64_t>(a.get<double>()) ==
             std::bit_cast<std::uint64_t>(b.get<double>());
    default:
      return a == b;
  }
}

// What Event::read must make of a body: a refusal's reason, or the value
// (without input.tool_response) and the two texts.
struct Expected {
  std::string reason;
  Value value;
  std::string tool_input;
  std::string tool_response;
};

Expected expected(std::string_view body, std::size_t max_depth) {
  Expected e;
  if (body.starts_with("\xEF\xBB\xBF")) body.remove_prefix(3);
  twk::Result<Value> read = twk::json::parse(body, max_depth);
  if (!read) {
    e.reason =
        read.reason() == twk::json::kHasNul    ? "the body contains a NUL byte"
        : read.reason() == twk::json::kTooDeep ? "the body is nested too deeply"
                                               : "the body isn't JSON";
    return e;
  }
  if (!read->is_object()) {
    e.reason = "the body isn't a JSON object";
    return e;
  }
  auto input = read->find("input");
  if (input != read->end() && input->is_object()) {
    auto tool_input = input->find("tool_input");
    if (tool_input != input->end()) e.tool_input = twk::json::dump(*tool_input);
    auto tool_response = input->find("tool_response");
    if (tool_response != input->end()) {
      e.tool_response = twk::json::dump(*tool_response);
      input->erase(tool_response);
    }
  }
  e.value = std::move(*read);
  return e;
}

void check(std::string_view body, std::size_t max_depth) {
  const Expected e = expected(body, max_depth);
  twk::Result<Event> event = Event::read(body, max_depth);
  if (!e.reason.empty()) {
    if (event.ok()) fail("accepted what the reader refuses", body, max_depth);
    if (event.reason() != e.reason)
      fail("refused for another reason", body, max_depth);
    return;
  }
  if (!event.ok()) fail("refused what the reader accepts", body, max_depth);
  if (!same(event->value(), e.value)) {
    fail("value differs from the reader's", body, max_depth);
  }
  if (event->tool_input_text() != e.tool_input) {
    fail("tool_input text differs from dump", body, max_depth);
  }
  if (event->tool_response_text() != e.tool_response) {
    fail("tool_response text differs from dump", body, max_depth);
  }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data,
                                      std::size_t size) {
  std::string_view body(reinterpret_cast<const char*>(data), size);
  check(body, kMaxNesting);
  // '{' picks 4; leading white space picks other small limits.
  check(body, size > 0 ? 1 + data[0] % 8 : 1);
  std::string_view text = body;
  if (text.starts_with("\xEF\xBB\xBF")) text.remove_prefix(3);
  const twk::testing::LibraryRead library =
      twk::testing::library_read(text, kMaxNesting);
  if (library.parsed && library.depth > 0 && library.depth <= kMaxNesting) {
    check(body, library.depth);
    check(body, library.depth - 1);
  }
  return 0;
}
