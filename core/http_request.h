// The HTTP/1.1 that Core speaks, as pure functions over bytes: parsing a
// request head and formatting a reply. Core answers exactly one request per
// connection and then closes it, so there is no keep-alive, pipelining or
// chunked request body to handle; what is not supported is refused with
// the proper status instead of being misread.
#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <utility>
#include <variant>
#include <vector>

namespace twk::core {

// Longest request head accepted (request line and headers, with the blank
// line). The hook's head is under 300 bytes.
inline constexpr std::size_t kMaxHeadBytes = 16 * 1024;
// Largest request body accepted. Hook events carry whole file contents for
// writes; anything larger than this is not a plausible event.
inline constexpr std::uint64_t kMaxBodyBytes = 64u << 20;

struct RequestHead {
  std::string method;  // e.g. "POST"; any token, case kept
  std::string target;  // as sent, e.g. "/v1/policy/hook?x=1"
  std::string path;    // the target up to "?", not percent-decoded
  // In order of arrival; names lower-cased, values without surrounding
  // spaces and tabs.
  std::vector<std::pair<std::string, std::string>> headers;
  std::uint64_t content_length = 0;
  bool expect_continue = false;  // "Expect: 100-continue" was sent

  // The value of the first header named `lower_name`, if any.
  std::optional<std::string_view> header(std::string_view lower_name) const;
};

// Why a head was refused: the status to answer with.
struct HeadError {
  int status;
};

// Parses a request head: `head` is everything before the blank line that
// ends it (without the final CR LF CR LF). Lines end in CR LF; a bare CR or
// LF, an obsolete folded header line, a malformed request line or header
// and conflicting Content-Length values give 400; a body over
// kMaxBodyBytes 413; any Transfer-Encoding 501 (a request without one has
// its length in Content-Length, as the hook's always does); an HTTP
// version other than 1.0 or 1.1 505.
std::variant<RequestHead, HeadError> parse_request_head(std::string_view head);

// The reason phrase of the statuses Core sends ("Not Found" for 404), or
// "Unknown".
std::string_view reason_phrase(int status);

// A complete reply: status line, Content-Type, Content-Length, Connection:
// close, `extra_headers`, blank line, then the body unless `head_only` (the
// answer to HEAD keeps the GET reply's Content-Length).
std::string format_reply(
    int status, std::string_view content_type, std::string_view body,
    const std::vector<std::pair<std::string, std::string>>& extra_headers,
    bool head_only);

}  // namespace twk::core
