// Reading a policy request: the body is first rewritten in compact form by
// the same one-pass validator the hook uses, which has no white space left
// and so can be split into members by a plain scan; only the members that
// are needed as values are then parsed by the JSON library.
#include "event.h"

#include <algorithm>
#include <charconv>
#include <cmath>
#include <cstdint>
#include <cstring>
#include <optional>
#include <vector>

#include "twk/json.h"
#include "twk/utf8.h"

namespace twk::core {
namespace {

// Where the string literal that starts at text[at] ends (one past its
// closing quote). The text is valid compact JSON.
std::size_t string_end(std::string_view text, std::size_t at) {
  const char* p = text.data() + at + 1;
  const char* end = text.data() + text.size();
  for (;;) {
    // Only a quote or a backslash matter; memchr finds the next quote at
    // memory speed, and the backslashes before it decide whether it closes.
    const char* quote = static_cast<const char*>(std::memchr(p, '"', end - p));
    if (quote == nullptr) return text.size();  // not reached on valid text
    std::size_t backslashes = 0;
    for (const char* q = quote; q > p && q[-1] == '\\'; --q) ++backslashes;
    if (backslashes % 2 == 0) {
      return static_cast<std::size_t>(quote + 1 - text.data());
    }
    p = quote + 1;
  }
}

// Where the value that starts at text[at] ends. The text is valid compact
// JSON.
std::size_t value_end(std::string_view text, std::size_t at) {
  char first = text[at];
  if (first == '"') return string_end(text, at);
  std::size_t i = at;
  if (first != '{' && first != '[') {
    // A number, true, false or null: up to what follows it.
    while (i < text.size() && text[i] != ',' && text[i] != '}' &&
           text[i] != ']') {
      ++i;
    }
    return i;
  }
  std::size_t depth = 0;
  while (i < text.size()) {
    char c = text[i];
    if (c == '"') {
      i = string_end(text, i);
      continue;
    }
    if (c == '{' || c == '[') {
      ++depth;
    } else if ((c == '}' || c == ']') && --depth == 0) {
      return i + 1;
    }
    ++i;
  }
  return i;
}

struct Member {
  std::string key;
  std::size_t begin;  // of the value
  std::size_t end;
};

// The members of the object that starts at text[at], in text order.
std::vector<Member> members(std::string_view text, std::size_t at) {
  std::vector<Member> out;
  std::size_t i = at + 1;  // past '{'
  while (i < text.size() && text[i] != '}') {
    std::size_t key_end = string_end(text, i);
    std::string_view raw = text.substr(i + 1, key_end - i - 2);
    Member m;
    if (raw.find('\\') == std::string_view::npos) {
      m.key.assign(raw);
    } else {
      m.key =
          nlohmann::json::parse(text.substr(i, key_end - i)).get<std::string>();
    }
    m.begin = key_end + 1;  // past ':'
    m.end = value_end(text, m.begin);
    i = m.end;
    if (i < text.size() && text[i] == ',') ++i;
    out.push_back(std::move(m));
  }
  return out;
}

// Builds the value of compact JSON text that the canonical writer has
// already checked, without the library's character-at-a-time lexer (which
// takes about as long as everything else Core does for a request). Checks
// bounds all the same: on anything unexpected it reports failure, and the
// caller falls back to the library.
class Builder {
 public:
  explicit Builder(std::string_view text)
      : p_(text.data()), end_(text.data() + text.size()) {}

  bool build(nlohmann::json& out) { return value(out) && p_ == end_; }

 private:
  bool value(nlohmann::json& out) {
    if (p_ == end_) return false;
    switch (*p_) {
      case '{':
        return object(out);
      case '[':
        return array(out);
      case '"': {
        std::string s;
        if (!string(s)) return false;
        out = std::move(s);
        return true;
      }
      case 't':
        return literal("true", out, true);
      case 'f':
        return literal("false", out, false);
      case 'n':
        return literal("null", out, nullptr);
      default:
        return number(out);
    }
  }

  bool object(nlohmann::json& out) {
    out = nlohmann::json::object();
    auto& members = out.get_ref<nlohmann::json::object_t&>();
    ++p_;
    if (p_ != end_ && *p_ == '}') {
      ++p_;
      return true;
    }
    for (;;) {
      std::string key;
      if (!string(key) || p_ == end_ || *p_++ != ':') return false;
      nlohmann::json member;
      if (!value(member)) return false;
      // Keys are unique in canonical text; a repeat would keep the last.
      members.insert_or_assign(std::move(key), std::move(member));
      if (p_ == end_) return false;
      char c = *p_++;
      if (c == '}') return true;
      if (c != ',') return false;
    }
  }

  bool array(nlohmann::json& out) {
    out = nlohmann::json::array();
    auto& items = out.get_ref<nlohmann::json::array_t&>();
    ++p_;
    if (p_ != end_ && *p_ == ']') {
      ++p_;
      return true;
    }
    for (;;) {
      items.emplace_back();
      if (!value(items.back()) || p_ == end_) return false;
      char c = *p_++;
      if (c == ']') return true;
      if (c != ',') return false;
    }
  }

  template <class T>
  bool literal(std::string_view word, nlohmann::json& out, T v) {
    if (static_cast<std::size_t>(end_ - p_) < word.size() ||
        std::string_view(p_, word.size()) != word) {
      return false;
    }
    p_ += word.size();
    out = v;
    return true;
  }

  static int hex(char c) {
    if (c >= '0' && c <= '9') return c - '0';
    if (c >= 'a' && c <= 'f') return c - 'a' + 10;
    if (c >= 'A' && c <= 'F') return c - 'A' + 10;
    return -1;
  }

  bool hex4(unsigned& code) {
    if (end_ - p_ < 4) return false;
    code = 0;
    for (int i = 0; i < 4; ++i) {
      int h = hex(*p_++);
      if (h < 0) return false;
      code = code * 16 + static_cast<unsigned>(h);
    }
    return true;
  }

  // A string literal, decoded; the text between escapes is copied in runs.
  bool string(std::string& out) {
    if (p_ == end_ || *p_ != '"') return false;
    ++p_;
    for (;;) {
      const char* run = p_;
      while (p_ != end_ && *p_ != '"' && *p_ != '\\') ++p_;
      out.append(run, static_cast<std::size_t>(p_ - run));
      if (p_ == end_) return false;
      if (*p_++ == '"') return true;
      if (p_ == end_) return false;
      char e = *p_++;
      switch (e) {
        case '"':
        case '\\':
        case '/':
          out += e;
          break;
        case 'b':
          out += '\b';
          break;
        case 'f':
          out += '\f';
          break;
        case 'n':
          out += '\n';
          break;
        case 'r':
          out += '\r';
          break;
        case 't':
          out += '\t';
          break;
        case 'u': {
          unsigned cp = 0;
          if (!hex4(cp)) return false;
          if (cp >= 0xD800 && cp <= 0xDBFF) {
            unsigned low = 0;
            if (end_ - p_ < 2 || p_[0] != '\\' || p_[1] != 'u') return false;
            p_ += 2;
            if (!hex4(low) || low < 0xDC00 || low > 0xDFFF) return false;
            cp = 0x10000 + ((cp - 0xD800) << 10) + (low - 0xDC00);
          } else if (cp >= 0xDC00 && cp <= 0xDFFF) {
            return false;
          }
          utf8::append(out, cp);
          break;
        }
        default:
          return false;
      }
    }
  }

  // Numbers as the library reads them: an integer that fits is unsigned
  // when not negative, signed when negative; anything else is a double.
  bool number(nlohmann::json& out) {
    const char* first = p_;
    bool integer = true;
    while (p_ != end_) {
      char c = *p_;
      if (c == '.' || c == 'e' || c == 'E') {
        integer = false;
      } else if (!(c == '-' || c == '+' || (c >= '0' && c <= '9'))) {
        break;
      }
      ++p_;
    }
    if (p_ == first) return false;
    if (integer) {
      if (*first == '-') {
        std::int64_t v = 0;
        auto [ptr, ec] = std::from_chars(first, p_, v);
        if (ec == std::errc() && ptr == p_) {
          out = v;
          return true;
        }
      } else {
        std::uint64_t v = 0;
        auto [ptr, ec] = std::from_chars(first, p_, v);
        if (ec == std::errc() && ptr == p_) {
          out = v;
          return true;
        }
      }
    }
    double d = 0;
    auto [ptr, ec] = std::from_chars(first, p_, d);
    if (ec != std::errc() || ptr != p_ || !std::isfinite(d)) return false;
    out = d;
    return true;
  }

  const char* p_;
  const char* end_;
};

// The value of canonical JSON text.
nlohmann::json parse_valid(std::string_view text) {
  nlohmann::json out;
  if (Builder(text).build(out)) return out;
  return nlohmann::json::parse(text);  // not reached for the writer's text
}

}  // namespace

Result<Event> Event::read(std::string_view body, std::size_t max_depth) {
  // A leading byte order mark is skipped, as JSON readers commonly do.
  constexpr std::string_view kBom = "\xEF\xBB\xBF";
  std::string_view text = body;
  if (text.starts_with(kBom)) text.remove_prefix(kBom.size());

  Event event;
  if (!json::append_canonical(event.canonical_, text, max_depth)) {
    // Tell the common reasons apart only once the body has failed.
    if (text.find('\0') != std::string_view::npos) {
      return Failure{"the body contains a NUL byte"};
    }
    if (!nesting_within(text, max_depth)) {
      return Failure{"the body is nested too deeply"};
    }
    return Failure{"the body isn't JSON"};
  }
  const std::string& c = event.canonical_;
  if (c.front() != '{') return Failure{"the body isn't a JSON object"};

  event.value_ = nlohmann::json::object();
  for (const Member& m : members(c, 0)) {
    std::string_view value =
        std::string_view(c).substr(m.begin, m.end - m.begin);
    if (m.key != "input" || value.front() != '{') {
      event.value_[m.key] = parse_valid(value);
      continue;
    }
    nlohmann::json input = nlohmann::json::object();
    for (const Member& im : members(c, m.begin)) {
      Span span{im.begin, im.end - im.begin};
      if (im.key == "tool_response") {
        event.tool_response_ = span;
        continue;
      }
      if (im.key == "tool_input") event.tool_input_ = span;
      input[im.key] = parse_valid(event.span(span));
    }
    event.value_["input"] = std::move(input);
  }
  return event;
}

bool nesting_within(std::string_view json, std::size_t max_depth) {
  std::size_t depth = 0;
  bool in_string = false;
  bool escaped = false;
  for (char c : json) {
    if (in_string) {
      if (escaped) {
        escaped = false;
      } else if (c == '\\') {
        escaped = true;
      } else if (c == '"') {
        in_string = false;
      }
      continue;
    }
    switch (c) {
      case '"':
        in_string = true;
        break;
      case '[':
      case '{':
        if (++depth > max_depth) return false;
        break;
      case ']':
      case '}':
        // Unbalanced closers are the parser's business, not this scan's.
        if (depth > 0) --depth;
        break;
      default:
        break;
    }
  }
  return true;
}

}  // namespace twk::core
