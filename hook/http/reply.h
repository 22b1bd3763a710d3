// Parsing a complete HTTP reply (read until the peer closed): the status
// line, the two headers that matter, and the chunked transfer coding. Pure
// functions over bytes.
#pragma once

#include <optional>
#include <string>
#include <string_view>

#include "http/client.h"

namespace twk::http {

// The reply as a Response, or nothing when it is not a well-formed reply:
// no CR LF CR LF, a head that is not UTF-8, a status line without a numeric
// second token (0..65535, optional "+"), a header line without ":", a bad
// content-length, or a chunked body that does not decode.
std::optional<Response> parse_response(std::string_view reply);

// Decodes a chunked body up to its zero-size chunk; nothing when it is cut
// short or a size line is malformed. The two bytes after each chunk's data
// are skipped unexamined, and trailers after the last chunk are ignored.
std::optional<std::string> decode_chunked(std::string_view body);

}  // namespace twk::http
