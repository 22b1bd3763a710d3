// Fuzzes the readers of the two state records, which any local process that
// can write the state directory controls.
#include <cstddef>
#include <cstdint>
#include <string_view>

#include "http/address.h"
#include "start/records.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data,
                                      std::size_t size) {
  std::string_view text(reinterpret_cast<const char*>(data), size);
  if (auto endpoint = twk::start::parse_endpoint(text)) {
    // The address must survive its own text form, since that form is what
    // goes into the Host header.
    auto again = twk::http::parse_socket_address(endpoint->address.to_string());
    if (!again || again->to_string() != endpoint->address.to_string()) {
      __builtin_trap();
    }
  }
  (void)twk::start::parse_runtime_record(text);
  return 0;
}
