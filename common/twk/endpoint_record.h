// The endpoint record: the small JSON file in which a running Core tells
// hooks where it listens, the bearer token it expects and its own pid.
// Core writes it (atomically, mode 0600) and the hook reads it on every
// run; both use this one definition of its format:
//
//   {"pid":4242,"token":"<64 hex digits>","url":"http://127.0.0.1:43117"}
//
// Other members are ignored; a "url" may go on with "/..." after the
// address, which is ignored too.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

#include "twk/net/address.h"
#include "twk/result.h"

namespace twk {

// Where a running Core listens.
struct Endpoint {
  net::SocketAddress address;
  std::string token;  // may be empty
  std::optional<std::uint32_t> pid;
};

// "http://" and the address's standard text: "http://127.0.0.1:43117",
// "http://[::1]:9000".
std::string endpoint_url(const net::SocketAddress& address);

// The record's text as Core writes it: compact JSON with the members in
// byte order, then a line feed. A record without a pid has no "pid".
std::string endpoint_record_text(const Endpoint& endpoint);

// Parses a record: an object with "url" ("http://" and a numeric socket
// address, optionally followed by "/..."), "token" (a string) and
// optionally "pid" (an integer from 0 to 2^32-1; any other form gives no
// pid without invalidating the record). Nothing for anything else.
std::optional<Endpoint> parse_endpoint_record(std::string_view text);

// Writes `text` at `path` so that readers see either the old file or the
// whole new one: a temporary file in the same directory, mode 0600 whatever
// the umask, synced, then renamed over `path`. Missing parent directories
// are created 0700. The failure names the step and the system error.
Status write_endpoint_record(const std::string& path, std::string_view text);

}  // namespace twk
