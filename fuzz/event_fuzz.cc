// Holds Core's reading of a request body to the JSON library: for any
// bytes, Event::read accepts exactly the JSON objects that the library
// parses (the library, too, skips one leading byte order mark), unless the
// body holds a NUL byte or nests deeper than allowed; what it accepts it
// reads as the library does, with input.tool_response kept only as text; and
// what it refuses it refuses for the reason that applies.
//
// Each body is read at Core's nesting limit, at a small limit picked by its
// first byte, and, when the library accepts it, at exactly its own depth and
// one level less.
//
//   event_fuzz -dict=fuzz/json.dict fuzz/corpus/event
#include <algorithm>
#include <bit>
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <string>
#include <string_view>
#include <utility>

#include "event.h"
#include "twk/json.h"

namespace {

using twk::core::Event;
using twk::core::kMaxNesting;
using twk::json::Value;

constexpr std::string_view kNul = "the body contains a NUL byte";
constexpr std::string_view kTooDeep = "the body is nested too deeply";
constexpr std::string_view kNotJson = "the body isn't JSON";
constexpr std::string_view kNotObject = "the body isn't a JSON object";

[[noreturn]] void fail(const char* what, std::string_view body,
                       std::size_t max_depth) {
  std::fprintf(stderr, "%s for input of %zu bytes at max_depth %zu\n", what,
               body.size(), max_depth);
  __builtin_trap();
}

// The library's own tree builder, noting how deep the text nests. The text,
// not the tree, is what the limit is about: of a repeated key the tree
// keeps only the last value, which may nest less than an earlier one.
class DepthCountingDom {
 public:
  explicit DepthCountingDom(Value& result) : dom_(result, false) {}

  std::size_t deepest() const { return deepest_; }

  bool null() { return dom_.null(); }
  bool boolean(bool v) { return dom_.boolean(v); }
  bool number_integer(Value::number_integer_t v) {
    return dom_.number_integer(v);
  }
  bool number_unsigned(Value::number_unsigned_t v) {
    return dom_.number_unsigned(v);
  }
  bool number_float(Value::number_float_t v, const Value::string_t& s) {
    return dom_.number_float(v, s);
  }
  bool string(Value::string_t& v) { return dom_.string(v); }
  bool binary(Value::binary_t& v) { return dom_.binary(v); }
  bool start_object(std::size_t n) {
    deepest_ = std::max(deepest_, ++depth_);
    return dom_.start_object(n);
  }
  bool start_array(std::size_t n) {
    deepest_ = std::max(deepest_, ++depth_);
    return dom_.start_array(n);
  }
  bool key(Value::string_t& k) { return dom_.key(k); }
  bool end_object() {
    --depth_;
    return dom_.end_object();
  }
  bool end_array() {
    --depth_;
    return dom_.end_array();
  }
  bool parse_error(std::size_t p, const std::string& t,
                   const nlohmann::detail::exception& e) {
    return dom_.parse_error(p, t, e);
  }

 private:
  nlohmann::detail::json_sax_dom_parser<Value> dom_;
  std::size_t depth_ = 0;
  std::size_t deepest_ = 0;
};

// The same value, and more strictly than operator==: the same kind of
// number (which == does not tell apart) and doubles bit for bit (so that
// -0.0 is not 0.0). One difference is allowed: the library reads "-0" as a
// signed zero, and the compact form writes it "0", which reads back
// unsigned.
bool same(const Value& a, const Value& b) {
  using Kind = Value::value_t;
  if (a.type() != b.type()) {
    return a.is_number_integer() && b.is_number_integer() && a == 0 && b == 0;
  }
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

// What the library makes of a body.
struct Library {
  bool nul = false;       // a raw NUL byte, which the library takes for the end
  bool accepted = false;  // parses as JSON
  bool object = false;
  std::size_t depth = 0;
  // Only for accepted objects no deeper than Core's limit:
  Value value;  // without input.tool_response
  std::string tool_input;
  std::string tool_response;
};

Library library(std::string_view body) {
  Library lib;
  lib.nul = std::memchr(body.data(), '\0', body.size()) != nullptr;
  if (lib.nul) return lib;
  // As Value::parse(body) without exceptions: a BOM skipped, strict about
  // what follows the value, no comments.
  Value parsed;
  DepthCountingDom dom(parsed);
  if (!Value::sax_parse(body.begin(), body.end(), &dom) ||
      parsed.is_discarded()) {
    return lib;
  }
  lib.accepted = true;
  lib.object = parsed.is_object();
  lib.depth = dom.deepest();
  if (!lib.object || lib.depth > kMaxNesting) return lib;

  auto input = parsed.find("input");
  if (input != parsed.end() && input->is_object()) {
    auto tool_input = input->find("tool_input");
    if (tool_input != input->end()) {
      lib.tool_input = twk::json::dump(*tool_input);
    }
    auto tool_response = input->find("tool_response");
    if (tool_response != input->end()) {
      lib.tool_response = twk::json::dump(*tool_response);
      input->erase(tool_response);
    }
  }
  lib.value = std::move(parsed);
  return lib;
}

void check(std::string_view body, std::size_t max_depth, const Library& lib) {
  twk::Result<Event> event = Event::read(body, max_depth);

  if (lib.nul) {
    if (event.ok()) fail("accepted a NUL byte", body, max_depth);
    if (event.reason() != kNul) fail("NUL byte not reported", body, max_depth);
    return;
  }

  if (!event.ok()) {
    const std::string& reason = event.reason();
    if (reason == kNul) fail("reported a NUL byte that is not there", body,
                             max_depth);
    if (reason != kTooDeep && reason != kNotJson && reason != kNotObject) {
      fail("refused for an unknown reason", body, max_depth);
    }
    if (!lib.accepted) {
      // Broken text is reported as too deep or not JSON; which one it is
      // decides a heuristic scan, not the library.
      if (reason == kNotObject) fail("broken text called JSON", body, max_depth);
      return;
    }
    if (lib.depth > max_depth) {
      if (reason != kTooDeep) fail("depth not reported", body, max_depth);
      return;
    }
    if (!lib.object) {
      if (reason != kNotObject) fail("non-object misreported", body, max_depth);
      return;
    }
    fail("refused an object the library accepts", body, max_depth);
  }

  if (!lib.accepted) fail("accepted what the library refuses", body, max_depth);
  if (lib.depth > max_depth) fail("accepted nesting too deep", body, max_depth);
  if (!lib.object) fail("accepted a non-object", body, max_depth);

  if (!same(event->value(), lib.value)) {
    fail("value differs from the library's", body, max_depth);
  }
  if (event->tool_input_text() != lib.tool_input) {
    fail("tool_input text differs from dump", body, max_depth);
  }
  if (event->tool_response_text() != lib.tool_response) {
    fail("tool_response text differs from dump", body, max_depth);
  }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data,
                                      std::size_t size) {
  std::string_view body(reinterpret_cast<const char*>(data), size);
  const Library lib = library(body);

  // The depth scan that picks the reason must agree with the library on
  // every text the library accepts.
  if (lib.accepted) {
    if (!twk::core::nesting_within(body, lib.depth)) {
      fail("nesting_within counts a level too many", body, lib.depth);
    }
    if (lib.depth > 0 && twk::core::nesting_within(body, lib.depth - 1)) {
      fail("nesting_within misses a level", body, lib.depth - 1);
    }
  }

  check(body, kMaxNesting, lib);
  // '{' picks 4; leading white space picks other small limits.
  check(body, size > 0 ? 1 + data[0] % 8 : 1, lib);
  if (lib.accepted && lib.depth > 0 && lib.depth <= kMaxNesting) {
    check(body, lib.depth, lib);
    check(body, lib.depth - 1, lib);
  }
  return 0;
}
