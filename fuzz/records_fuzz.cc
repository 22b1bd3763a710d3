// Fuzzes the readers of the two state records, which any local process that
// can write the state directory controls.
#include <cstddef>
#include <cstdint>
#include <string_view>

#include "twk/endpoint_record.h"
#include "twk/net/address.h"
#include "start/records.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data,
                                      std::size_t size) {
  std::string_view text(reinterpret_cast<const char*>(data), size);
  if (auto endpoint = twk::parse_endpoint_record(text)) {
    // The address must survive its own text form, since that form is what
    // goes into the Host header.
    auto again = twk::net::parse_socket_address(endpoint->address.to_string());
    if (!again || again->to_string() != endpoint->address.to_string()) {
      __builtin_trap();
    }
    // What Core writes for a record reads back as the same record.
    auto written =
        twk::parse_endpoint_record(twk::endpoint_record_text(*endpoint));
    if (!written || written->token != endpoint->token ||
        written->pid != endpoint->pid ||
        written->address.to_string() != endpoint->address.to_string()) {
      __builtin_trap();
    }
  }
  (void)twk::start::parse_runtime_record(text);
  return 0;
}
