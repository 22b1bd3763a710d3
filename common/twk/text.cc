// The shared text helpers.
#include "twk/text.h"

namespace twk::text {

std::string ascii_lowercase(std::string_view s) {
  std::string out(s);
  for (char& c : out) c = ascii_lower(c);
  return out;
}

bool ascii_iequals(std::string_view a, std::string_view b) {
  if (a.size() != b.size()) return false;
  for (std::size_t i = 0; i < a.size(); ++i) {
    if (ascii_lower(a[i]) != ascii_lower(b[i])) return false;
  }
  return true;
}

std::string enclosed(std::string_view s, char mark) {
  std::string out;
  out.reserve(s.size() + 2);
  out += mark;
  out += s;
  out += mark;
  return out;
}

std::optional<std::uint64_t> parse_decimal(std::string_view text,
                                           std::uint64_t limit,
                                           AboveLimit above) {
  if (text.empty()) return std::nullopt;
  std::uint64_t value = 0;
  bool over = false;
  for (char c : text) {
    if (c < '0' || c > '9') return std::nullopt;
    if (over) continue;  // the rest must still be digits
    std::uint64_t digit = static_cast<std::uint64_t>(c - '0');
    if (value > (limit - digit) / 10) {
      over = true;
      continue;
    }
    value = value * 10 + digit;
  }
  if (!over) return value;
  if (above == AboveLimit::kClamp) return limit;
  return std::nullopt;
}

}  // namespace twk::text
