// Holds the strict reader to the JSON library: for any bytes,
// canonicalize() and parse() accept exactly what the library parses under
// the strict rules, the canonical form is byte for byte the library's dump
// of its value, and parse() builds that value. Refusals give the reason
// that applies. The canonical form is a fixed point, append_canonical()
// leaves what was in front intact, and frame_canonical() (over the text
// itself) gives the same result.
//
//   json_canonical_fuzz -dict=fuzz/json.dict fuzz/corpus/json_canonical
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <string>
#include <string_view>

#include "twk/json.h"
#include "twk/testing/library_json.h"

namespace {

using namespace twk::json;

[[noreturn]] void fail(const char* what, std::string_view text) {
  std::fprintf(stderr, "%s for input of %zu bytes\n", what, text.size());
  __builtin_trap();
}

// A refused text must be refused for the reason that applies: a NUL byte
// first; then the depth, for a text that is valid but too deep. Broken text
// may or may not be too deep before the fault.
void check_refusal(std::string_view text,
                   const twk::testing::LibraryRead& library,
                   const std::string& reason) {
  bool nul = std::memchr(text.data(), '\0', text.size()) != nullptr;
  if ((reason == kHasNul) != nul) fail("NUL byte misreported", text);
  if (nul) return;
  if (library.parsed && !text.starts_with("\xEF\xBB\xBF")) {
    if (reason != kTooDeep) fail("depth not reported", text);
    return;
  }
  if (reason != kTooDeep && reason != kNotJson) fail("unknown reason", text);
}

// Over the text itself, behind a marker that must survive. The memory is
// exactly as large as needed, so that the sanitizer sees any write past it.
void check_frame(std::string_view text, const twk::Result<std::string>& fast) {
  const std::string head = "{\"input\":";
  const std::size_t room = kFrameGap + head.size() + 6;
  std::string memory(room + text.size(), '.');
  std::memcpy(memory.data(), "marker", 6);
  if (!text.empty())
    std::memcpy(memory.data() + room, text.data(), text.size());
  std::string spill;
  twk::Result<std::string_view> framed =
      frame_canonical(memory.data(), room, text.size(), head, "}", spill);
  if (framed.ok() != fast.ok()) fail("frame_canonical disagrees", text);
  if (memory.compare(0, 6, "marker") != 0) fail("frame overwrote", text);
  if (fast && *framed != head + *fast + "}") {
    fail("frame_canonical wrote something else", text);
  }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data,
                                      std::size_t size) {
  std::string_view text(reinterpret_cast<const char*>(data), size);

  const twk::testing::LibraryRead library = twk::testing::library_read(text);
  twk::Result<std::string> fast = canonicalize(text);
  twk::Result<Value> tree = parse(text);
  if (fast.ok() != library.value.has_value()) {
    fail(fast ? "canonicalize accepted what the library refuses"
              : "canonicalize refused what the library accepts",
         text);
  }
  if (tree.ok() != fast.ok()) fail("parse and canonicalize disagree", text);
  if (!fast) {
    check_refusal(text, library, fast.reason());
    if (tree.reason() != fast.reason()) fail("reasons differ", text);
  } else {
    if (*fast != dump(*library.value)) fail("output differs from dump", text);
    if (*tree != *library.value || dump(*tree) != *fast) {
      fail("parse built another value", text);
    }
  }

  const std::string front = "{\"input\":";
  std::string framed = front;
  twk::Status appended = append_canonical(framed, text);
  if (appended.ok() != fast.ok()) fail("append_canonical disagrees", text);
  if (framed != (fast ? front + *fast : front)) {
    fail("append_canonical wrote something else", text);
  }
  check_frame(text, fast);

  if (!fast) return 0;
  twk::Result<std::string> again = canonicalize(*fast);
  if (!again || *again != *fast) fail("output is not a fixed point", text);
  return 0;
}
