// The local HTTP/1.1 client: one request per connection to a numeric socket
// address, every blocking step bounded by the caller's deadline.
#pragma once

#include <sys/time.h>

#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <variant>

#include "twk/net/address.h"
#include "twk/sys/clock.h"

namespace twk::http {

// A reply of any status; the client does not judge it.
struct Response {
  std::uint16_t status = 0;
  std::string body;  // after transfer decoding; raw bytes
};

// Nothing listens at the address (ECONNREFUSED).
struct Refused {};

// Any other failure, as a human-readable text: "timed out", "Core's reply
// wasn't HTTP", "Core's reply is larger than 4 MiB", or a system error text
// "{description} (os error {n})".
struct Message {
  std::string text;
};

using HttpError = std::variant<Refused, Message>;
using RequestResult = std::variant<Response, HttpError>;

inline constexpr std::string_view kTimedOut = "timed out";
inline constexpr std::string_view kNotHttp = "Core's reply wasn't HTTP";
inline constexpr std::string_view kReplyTooLarge =
    "Core's reply is larger than 4 MiB";

// The most reply bytes read, as they arrive: status line, headers and body
// with any chunk framing. Core answers with a decision and a sentence or
// two, so this leaves ample room for any hook output a host would take,
// while a peer that streams without end is cut off long before it costs
// memory or the deadline. A reply past it fails with kReplyTooLarge.
inline constexpr std::size_t kMaxReplyBytes = std::size_t{4} << 20;

// Sends one request and reads the reply until the peer closes.
//
// The head is "{method} {path} HTTP/1.1", "Host: {address}",
// "Content-Type: application/json", "Content-Length: {n}",
// "Connection: close", and "Authorization: Bearer {token}" only when a token
// is given (even an empty one). Method, path and token go in verbatim.
// Connect, send and every receive are limited by the time left to
// `deadline`; with none left, the result is Message "timed out" and no socket
// is created. At most kMaxReplyBytes of reply are read. Returns only after
// the connection is closed.
RequestResult request(const net::SocketAddress& address, std::string_view method,
                      std::string_view path,
                      const std::optional<std::string>& token,
                      std::string_view body, sys::Instant deadline);

// The request head as sent on the wire (exposed for tests).
std::string request_head(const net::SocketAddress& address, std::string_view method,
                         std::string_view path,
                         const std::optional<std::string>& token,
                         std::size_t body_length);

// A time left as a socket time-out (SO_SNDTIMEO, SO_RCVTIMEO): whole
// seconds, and the rest in whole microseconds with any remainder dropped.
// Anything shorter than a microsecond (zero and negative included) becomes
// 1 microsecond, since a zero time-out means "wait forever" to the kernel.
timeval socket_timeout(sys::Duration left);

// Maps an errno of the exchange to an HttpError: ECONNREFUSED -> Refused,
// EAGAIN/EWOULDBLOCK/ETIMEDOUT -> "timed out", others -> their error text.
HttpError to_http_error(int errnum);

}  // namespace twk::http
