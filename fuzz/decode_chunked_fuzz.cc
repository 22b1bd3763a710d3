// Feeds arbitrary bytes to the chunked decoder directly, so that the fuzzer
// need not first find a head with "Transfer-Encoding: chunked".
#include <cstddef>
#include <cstdint>
#include <string_view>

#include "http/reply.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data,
                                      std::size_t size) {
  std::string_view body(reinterpret_cast<const char*>(data), size);
  auto decoded = twk::http::decode_chunked(body);
  // Every decoded byte is a data byte of the input, and each chunk costs at
  // least a size digit and two CR LFs besides.
  if (decoded && decoded->size() > size) __builtin_trap();
  return 0;
}
