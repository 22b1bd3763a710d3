// Holds the fast canonical writer to the library: for any bytes,
// canonicalize() accepts exactly what parse() accepts, and its output is
// byte for byte the dump of the parsed value. Its output is a fixed point,
// append_canonical() leaves what was in front intact, and writing over the
// text itself (canonicalize_in_place) gives the same result.
//
//   json_canonical_fuzz -dict=fuzz/json.dict fuzz/corpus/json_canonical
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <optional>
#include <string>
#include <string_view>

#include "twk/json.h"

namespace {

[[noreturn]] void fail(const char* what, std::string_view text) {
  std::fprintf(stderr, "%s for input of %zu bytes\n", what, text.size());
  __builtin_trap();
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data,
                                      std::size_t size) {
  using namespace twk::json;
  std::string_view text(reinterpret_cast<const char*>(data), size);

  std::optional<std::string> fast = canonicalize(text);
  std::optional<Value> tree = parse(text);
  if (fast.has_value() != tree.has_value()) {
    fail(fast ? "canonicalize accepted what parse rejects"
              : "canonicalize rejected what parse accepts",
         text);
  }
  if (fast && *fast != dump(*tree)) fail("output differs from dump", text);

  const std::string front = "{\"input\":";
  std::string framed = front;
  bool appended = append_canonical(framed, text);
  if (appended != fast.has_value()) fail("append_canonical disagrees", text);
  if (framed != (fast ? front + *fast : front)) {
    fail("append_canonical wrote something else", text);
  }

  // Over the text, behind a marker that must survive. The buffer is exactly
  // as large as needed, so that the sanitizer sees any write past it.
  const std::string marker = "marker";
  const std::size_t to = marker.size();
  const std::size_t from = to + kInPlaceGap;
  std::string buffer(from + size, '\0');
  std::memcpy(buffer.data(), marker.data(), marker.size());
  if (size > 0) std::memcpy(buffer.data() + from, data, size);
  std::string spill;
  std::optional<std::string_view> in_place =
      canonicalize_in_place(buffer.data(), to, from, size, spill);
  if (in_place.has_value() != fast.has_value()) {
    fail("canonicalize_in_place disagrees", text);
  }
  if (buffer.compare(0, to, marker) != 0) fail("in place overwrote", text);
  if (!fast) return 0;
  if (*in_place != *fast) fail("in place wrote something else", text);
  // In the buffer, one more byte (the body's closing brace) must fit.
  if (in_place->data() != spill.data() &&
      in_place->data() + in_place->size() >= buffer.data() + buffer.size()) {
    fail("in place left no byte after the text", text);
  }

  std::optional<std::string> again = canonicalize(*fast);
  if (!again || *again != *fast) fail("output is not a fixed point", text);
  return 0;
}
