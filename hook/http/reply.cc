// The reply parser: a whole reply, read until Core closed the connection,
// becomes a status code and a body. Only "content-length" and
// "transfer-encoding" are looked at; everything else in the head is skipped.
#include "http/reply.h"

#include <algorithm>
#include <cstdint>
#include <limits>
#include <vector>

#include "twk/text.h"
#include "twk/utf8.h"

namespace twk::http {
namespace {

constexpr std::string_view kCrLf = "\r\n";
constexpr std::string_view kHeadEnd = "\r\n\r\n";
constexpr std::uint64_t kMaxStatus = 65535;
constexpr std::uint64_t kMaxU64 = std::numeric_limits<std::uint64_t>::max();
constexpr unsigned kDecimal = 10;
constexpr unsigned kHex = 16;

// The value of an ASCII digit in `base` (10 or 16), or -1.
int digit_value(char c, unsigned base) {
  if (c >= '0' && c <= '9') return c - '0';
  if (base == kHex) {
    if (c >= 'a' && c <= 'f') return c - 'a' + 10;
    if (c >= 'A' && c <= 'F') return c - 'A' + 10;
  }
  return -1;
}

// An optional single "+", then one or more digits of `base` and nothing
// else, with a value up to `max`. Leading zeros are fine; the overflow test
// runs before each step, so no digit count limits the text.
std::optional<std::uint64_t> parse_unsigned(std::string_view text,
                                            unsigned base, std::uint64_t max) {
  if (!text.empty() && text.front() == '+') text.remove_prefix(1);
  if (text.empty()) return std::nullopt;
  std::uint64_t value = 0;
  for (char c : text) {
    int digit = digit_value(c, base);
    if (digit < 0) return std::nullopt;
    auto d = static_cast<std::uint64_t>(digit);
    if (value > (max - d) / base) return std::nullopt;
    value = value * base + d;
  }
  return value;
}

}  // namespace

std::optional<Response> parse_response(std::string_view reply) {
  std::size_t head_end = reply.find(kHeadEnd);
  if (head_end == std::string_view::npos) return std::nullopt;
  std::string_view head = reply.substr(0, head_end);
  std::string_view body = reply.substr(head_end + kHeadEnd.size());
  // Every later step splits and trims the head as UTF-8 text.
  if (!utf8::valid(head)) return std::nullopt;

  // Lines end at CR LF only; a lone CR or LF stays inside its line (and is
  // white space to the splitting and trimming below).
  std::size_t line_end = head.find(kCrLf);
  std::string_view status_line = head.substr(0, line_end);
  std::vector<std::string_view> tokens = utf8::split_white_space(status_line);
  if (tokens.size() < 2) return std::nullopt;
  auto status = parse_unsigned(tokens[1], kDecimal, kMaxStatus);
  if (!status) return std::nullopt;

  std::uint64_t limit = body.size();
  bool chunked = false;
  while (line_end != std::string_view::npos) {
    std::size_t start = line_end + kCrLf.size();
    line_end = head.find(kCrLf, start);
    std::string_view line = head.substr(
        start, line_end == std::string_view::npos ? std::string_view::npos
                                                  : line_end - start);
    std::size_t colon = line.find(':');
    if (colon == std::string_view::npos) return std::nullopt;
    std::string name =
        text::ascii_lowercase(utf8::trim_white_space(line.substr(0, colon)));
    std::string_view value = utf8::trim_white_space(line.substr(colon + 1));
    if (name == "content-length") {
      auto length = parse_unsigned(value, kDecimal, kMaxU64);
      if (!length) return std::nullopt;
      // Several lines: the smallest wins, and none can extend the body.
      limit = std::min(limit, *length);
    } else if (name == "transfer-encoding") {
      // Only the single coding "chunked"; a list is left alone rather than
      // half-decoded.
      if (text::ascii_iequals(value, "chunked")) chunked = true;
    }
  }

  // `limit` never exceeds body.size(), so the cast cannot truncate.
  body = body.substr(0, static_cast<std::size_t>(limit));
  Response response;
  response.status = static_cast<std::uint16_t>(*status);
  if (chunked) {
    auto decoded = decode_chunked(body);
    if (!decoded) return std::nullopt;
    response.body = std::move(*decoded);
  } else {
    response.body.assign(body);
  }
  return response;
}

std::optional<std::string> decode_chunked(std::string_view body) {
  std::string out;
  std::string_view rest = body;
  for (;;) {
    if (rest.size() < kCrLf.size()) return std::nullopt;
    std::size_t line_end = rest.find(kCrLf);
    if (line_end == std::string_view::npos) return std::nullopt;
    std::string_view size_line = rest.substr(0, line_end);
    if (!utf8::valid(size_line)) return std::nullopt;
    // Chunk extensions after ";" carry nothing the program uses.
    std::string_view size_text =
        utf8::trim_white_space(size_line.substr(0, size_line.find(';')));
    auto size = parse_unsigned(size_text, kHex, kMaxU64);
    if (!size) return std::nullopt;
    rest.remove_prefix(line_end + kCrLf.size());
    // Trailers and the final CR LF after the last chunk are not needed.
    if (*size == 0) return out;
    // Compared in 64 bits: a size near 2^64 must fail here, not wrap in an
    // addition or narrow in a cast.
    if (static_cast<std::uint64_t>(rest.size()) < *size) return std::nullopt;
    auto n = static_cast<std::size_t>(*size);
    out.append(rest.substr(0, n));
    rest.remove_prefix(n);
    // The chunk's closing CR LF is skipped, not checked.
    if (rest.size() < kCrLf.size()) return std::nullopt;
    rest.remove_prefix(kCrLf.size());
  }
}

}  // namespace twk::http
