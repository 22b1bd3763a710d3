// Parsing request heads and formatting replies.
#include "http_request.h"

#include <array>

#include "twk/text.h"

namespace twk::core {
namespace {

constexpr HeadError kBadRequest{400};

// RFC 9110 token characters, used by methods and header names: a table,
// since every byte of every header name is looked up.
constexpr std::array<bool, 256> kTokenChars = [] {
  std::array<bool, 256> table{};
  for (int c = 'a'; c <= 'z'; ++c) table[c] = true;
  for (int c = 'A'; c <= 'Z'; ++c) table[c] = true;
  for (int c = '0'; c <= '9'; ++c) table[c] = true;
  for (char c : std::string_view("!#$%&'*+-.^_`|~")) {
    table[static_cast<unsigned char>(c)] = true;
  }
  return table;
}();

bool is_tchar(char c) { return kTokenChars[static_cast<unsigned char>(c)]; }

bool is_token(std::string_view s) {
  if (s.empty()) return false;
  for (char c : s) {
    if (!is_tchar(c)) return false;
  }
  return true;
}

// Control characters other than horizontal tab; DEL included.
bool is_ctl(char c) {
  unsigned char u = static_cast<unsigned char>(c);
  return (u < 0x20 && u != '\t') || u == 0x7f;
}

std::string_view trim_ows(std::string_view s) {
  while (!s.empty() && (s.front() == ' ' || s.front() == '\t')) {
    s.remove_prefix(1);
  }
  while (!s.empty() && (s.back() == ' ' || s.back() == '\t')) {
    s.remove_suffix(1);
  }
  return s;
}

// Splits at CR LF; false when a CR or LF stands anywhere else, since a
// server and a proxy that disagree about line ends disagree about where
// one request stops.
bool split_lines(std::string_view head, std::vector<std::string_view>& out) {
  std::size_t start = 0;
  for (std::size_t i = 0; i < head.size(); ++i) {
    if (head[i] == '\r') {
      if (i + 1 >= head.size() || head[i + 1] != '\n') return false;
      out.push_back(head.substr(start, i - start));
      start = i + 2;
      ++i;
    } else if (head[i] == '\n') {
      return false;
    }
  }
  out.push_back(head.substr(start));
  return true;
}

std::optional<HeadError> parse_request_line(std::string_view line,
                                            RequestHead& request) {
  std::size_t sp1 = line.find(' ');
  if (sp1 == std::string_view::npos) return kBadRequest;
  std::size_t sp2 = line.find(' ', sp1 + 1);
  if (sp2 == std::string_view::npos ||
      line.find(' ', sp2 + 1) != std::string_view::npos) {
    return kBadRequest;
  }
  std::string_view method = line.substr(0, sp1);
  std::string_view target = line.substr(sp1 + 1, sp2 - sp1 - 1);
  std::string_view version = line.substr(sp2 + 1);
  if (!is_token(method)) return kBadRequest;
  // Only the origin form ("/path?query"); Core is no proxy.
  if (target.empty() || target.front() != '/') return kBadRequest;
  for (char c : target) {
    if (is_ctl(c) || c == '\t' || static_cast<unsigned char>(c) >= 0x80) {
      return kBadRequest;
    }
  }
  if (version.size() != 8 || version.substr(0, 5) != "HTTP/" ||
      version[5] < '0' || version[5] > '9' || version[6] != '.' ||
      version[7] < '0' || version[7] > '9') {
    return kBadRequest;
  }
  if (version != "HTTP/1.1" && version != "HTTP/1.0") return HeadError{505};
  request.method = method;
  request.target = target;
  request.path = target.substr(0, target.find('?'));
  return std::nullopt;
}

std::optional<HeadError> apply_content_length(std::string_view value,
                                              bool& seen,
                                              RequestHead& request) {
  if (value.empty()) return kBadRequest;
  // A number past 64 bits is as far over the body limit as the largest one.
  std::optional<std::uint64_t> parsed =
      text::parse_decimal(value, UINT64_MAX, text::AboveLimit::kClamp);
  if (!parsed) return kBadRequest;
  std::uint64_t length = *parsed;
  // Two different lengths could make Core and a proxy read different
  // bodies; the same length twice is harmless.
  if (seen && length != request.content_length) return kBadRequest;
  seen = true;
  request.content_length = length;
  return std::nullopt;
}

}  // namespace

std::optional<std::string_view> RequestHead::header(
    std::string_view lower_name) const {
  for (const auto& [name, value] : headers) {
    if (name == lower_name) return std::string_view(value);
  }
  return std::nullopt;
}

std::variant<RequestHead, HeadError> parse_request_head(std::string_view head) {
  std::vector<std::string_view> lines;
  if (!split_lines(head, lines)) return kBadRequest;

  RequestHead request;
  if (auto error = parse_request_line(lines[0], request)) return *error;

  bool has_length = false;
  bool has_transfer_encoding = false;
  for (std::size_t i = 1; i < lines.size(); ++i) {
    std::string_view line = lines[i];
    // An empty line cannot occur (the head ends before the first one); a
    // line starting with white space is an obsolete continuation line.
    if (line.empty() || line.front() == ' ' || line.front() == '\t') {
      return kBadRequest;
    }
    std::size_t colon = line.find(':');
    if (colon == std::string_view::npos) return kBadRequest;
    // No white space may stand between the name and the colon.
    std::string_view name = line.substr(0, colon);
    if (!is_token(name)) return kBadRequest;
    std::string_view value = trim_ows(line.substr(colon + 1));
    for (char c : value) {
      if (is_ctl(c)) return kBadRequest;
    }
    std::string lower = text::ascii_lowercase(name);
    if (lower == "content-length") {
      if (auto error = apply_content_length(value, has_length, request)) {
        return *error;
      }
    } else if (lower == "transfer-encoding") {
      has_transfer_encoding = true;
    } else if (lower == "expect") {
      request.expect_continue = text::ascii_lowercase(value) == "100-continue";
    }
    request.headers.emplace_back(std::move(lower), std::string(value));
  }
  if (has_transfer_encoding) return HeadError{501};
  if (request.content_length > kMaxBodyBytes) return HeadError{413};
  return request;
}

std::string_view reason_phrase(int status) {
  static constexpr std::pair<int, std::string_view> kPhrases[] = {
      {100, "Continue"},
      {200, "OK"},
      {400, "Bad Request"},
      {401, "Unauthorized"},
      {404, "Not Found"},
      {405, "Method Not Allowed"},
      {408, "Request Timeout"},
      {413, "Content Too Large"},
      {431, "Request Header Fields Too Large"},
      {500, "Internal Server Error"},
      {501, "Not Implemented"},
      {505, "HTTP Version Not Supported"},
  };
  for (const auto& [code, phrase] : kPhrases) {
    if (code == status) return phrase;
  }
  return "Unknown";
}

std::string format_reply(
    int status, std::string_view content_type, std::string_view body,
    const std::vector<std::pair<std::string, std::string>>& extra_headers,
    bool head_only) {
  std::string out;
  out.reserve(160 + body.size());
  out += "HTTP/1.1 ";
  out += std::to_string(status);
  out += ' ';
  out += reason_phrase(status);
  out += "\r\nContent-Type: ";
  out += content_type;
  out += "\r\nContent-Length: ";
  out += std::to_string(body.size());
  out += "\r\nConnection: close\r\n";
  for (const auto& [name, value] : extra_headers) {
    out += name;
    out += ": ";
    out += value;
    out += "\r\n";
  }
  out += "\r\n";
  if (!head_only) out += body;
  return out;
}

}  // namespace twk::core
