// Feeds arbitrary bytes to the reply parser as if Core had sent them and
// closed. Chunked replies reach decode_chunked through it.
#include <cstddef>
#include <cstdint>
#include <string_view>

#include "http/reply.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data,
                                      std::size_t size) {
  std::string_view reply(reinterpret_cast<const char*>(data), size);
  auto response = twk::http::parse_response(reply);
  // The body is cut from the reply or decoded from it; it can never be
  // longer than what arrived.
  if (response && response->body.size() > size) __builtin_trap();
  return 0;
}
