// Argument checks and their messages.
#include "cli.h"

#include "twk/utf8.h"

namespace twk {
namespace {

// Characters that are shown escaped because they print nothing visible or
// would combine with the quotation mark: controls, separators other than the
// plain space, invisible format characters, combining marks, private use and
// noncharacters.
bool shown_escaped(char32_t c) {
  if (c < 0x20 || (c >= 0x7F && c <= 0xA0) || c == 0xAD) return true;
  if (c >= 0x300 && c <= 0x36F) return true;                 // combining
  if ((c >= 0x600 && c <= 0x605) || c == 0x61C || c == 0x6DD || c == 0x70F ||
      c == 0x180E || c == 0x1680) {
    return true;
  }
  if ((c >= 0x2000 && c <= 0x200F) || (c >= 0x2028 && c <= 0x202F) ||
      (c >= 0x205F && c <= 0x206F) || (c >= 0x20D0 && c <= 0x20FF)) {
    return true;
  }
  if (c == 0x3000 || (c >= 0xD800 && c <= 0xF8FF) ||
      (c >= 0xFE00 && c <= 0xFE0F) || c == 0xFEFF ||
      (c >= 0xFFF0 && c <= 0xFFFB) || (c & 0xFFFE) == 0xFFFE ||
      (c >= 0xE0000 && c <= 0xE0FFF) || c >= 0xF0000) {
    return true;
  }
  return false;
}

// Characters shown as a backslash and a letter, or as a backslash and
// themselves.
struct ShortEscape {
  char32_t c;
  std::string_view text;
};
constexpr ShortEscape kShortEscapes[] = {
    {'"', "\\\""}, {'\\', "\\\\"}, {'\0', "\\0"},
    {'\t', "\\t"}, {'\r', "\\r"},  {'\n', "\\n"},
};

// The short escape of `c`, or an empty view.
std::string_view short_escape(char32_t c) {
  for (const ShortEscape& e : kShortEscapes) {
    if (e.c == c) return e.text;
  }
  return {};
}

char32_t decode_valid(std::string_view s, std::size_t& i) {
  auto b = [&](std::size_t k) { return static_cast<unsigned char>(s[k]); };
  unsigned char c = b(i);
  std::size_t len = c < 0x80 ? 1 : c < 0xE0 ? 2 : c < 0xF0 ? 3 : 4;
  char32_t cp = len == 1 ? c : c & (0x7F >> len);
  for (std::size_t k = 1; k < len; ++k) cp = (cp << 6) | (b(i + k) & 0x3F);
  i += len;
  return cp;
}

}  // namespace

std::string quote_argument(std::string_view argument) {
  std::string text = utf8::lossy(argument);
  std::string out = "\"";
  std::size_t i = 0;
  while (i < text.size()) {
    std::size_t start = i;
    char32_t c = decode_valid(text, i);
    if (std::string_view escape = short_escape(c); !escape.empty()) {
      out += escape;
    } else if (shown_escaped(c)) {
      static constexpr char kHex[] = "0123456789abcdef";
      std::string hex;
      do {
        hex.insert(hex.begin(), kHex[c & 15]);
        c >>= 4;
      } while (c != 0);
      out += "\\u{" + hex + "}";
    } else {
      out.append(text, start, i - start);
    }
  }
  out += '"';
  return out;
}

Invocation parse_arguments(const std::vector<std::string>& args) {
  Invocation result;
  if (args.size() < 2) {
    result.error = "twk-hook: usage: twk-hook <agent> <hook>\n";
    return result;
  }
  const std::string& agent = args[0];
  const std::string& hook = args[1];
  if (agent != kAgentClaudeCode) {
    result.error =
        "twk-hook: Vantorel has no adapter for agent " + quote_argument(agent) + "\n";
    return result;
  }
  if (hook != "pre-tool-use" && hook != "post-tool-use") {
    result.error = "twk-hook: " + std::string(kAgentClaudeCode) + " has no " +
                   quote_argument(hook) + " hook that Vantorel handles\n";
    return result;
  }
  result.agent = agent;
  result.hook = hook;
  return result;
}

}  // namespace twk
