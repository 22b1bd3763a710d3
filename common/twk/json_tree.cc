// Trees and members of canonical text, which the strict reader has already
// checked: compact, so that a plain scan splits it, and with every string
// and number in one known form. Reading it takes a fraction of what the
// library's character-at-a-time parser takes, which used to be about as
// much as everything else Core does for a request. Bounds are checked all
// the same: on anything unexpected the reader gives up.
#include <charconv>
#include <cstdint>
#include <cstring>
#include <utility>

#include "twk/json.h"
#include "twk/json_scan.h"

namespace twk::json {
namespace {

class CanonicalReader {
 public:
  explicit CanonicalReader(std::string_view text)
      : p_(text.data()), end_(text.data() + text.size()) {}

  const char* at() const { return p_; }
  bool done() const { return p_ == end_; }

  // Takes `c` if it is next.
  bool take(char c) {
    if (p_ == end_ || *p_ != c) return false;
    ++p_;
    return true;
  }

  bool value(Value& out);
  bool string(std::string& out);

  // Passes over a value without reading it: strings by looking for their
  // closing quote, which memchr finds at memory speed.
  bool skip();

 private:
  bool object(Value& out);
  bool array(Value& out);

  // Reads the comma-separated items of an object or array whose opening
  // bracket is next, each with `item`, up to `close`.
  template <class Item>
  bool items(char close, Item&& item) {
    ++p_;
    if (take(close)) return true;
    do {
      if (!item()) return false;
    } while (take(','));
    return take(close);
  }
  bool number(Value& out);
  bool skip_string();

  template <class T>
  bool word(std::string_view word, Value& out, T v) {
    if (static_cast<std::size_t>(end_ - p_) < word.size() ||
        std::string_view(p_, word.size()) != word) {
      return false;
    }
    p_ += word.size();
    out = v;
    return true;
  }

  const char* p_;
  const char* end_;
};

bool CanonicalReader::value(Value& out) {
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
      return word("true", out, true);
    case 'f':
      return word("false", out, false);
    case 'n':
      return word("null", out, nullptr);
    default:
      return number(out);
  }
}

bool CanonicalReader::object(Value& out) {
  out = Value::object();
  auto& members = out.get_ref<Value::object_t&>();
  return items('}', [&] {
    std::string key;
    Value member;
    if (!string(key) || !take(':') || !value(member)) return false;
    // Keys are unique in canonical text; a repeat would keep the last.
    members.insert_or_assign(std::move(key), std::move(member));
    return true;
  });
}

bool CanonicalReader::array(Value& out) {
  out = Value::array();
  auto& elements = out.get_ref<Value::array_t&>();
  return items(']', [&] {
    elements.emplace_back();
    return value(elements.back());
  });
}

// Numbers as the library reads them: an integer that fits is unsigned when
// not negative, signed when negative; anything else is a double, which the
// canonical text spells so that it reads back exactly.
bool CanonicalReader::number(Value& out) {
  if (p_ == end_) return false;
  scan::NumberText number = scan::number_text(p_, end_);
  if (number.end == nullptr) return false;
  const char* first = std::exchange(p_, number.end);
  if (number.fits && *first == '-') {
    std::int64_t v = 0;
    std::from_chars(first, p_, v);
    out = v;
  } else if (number.fits) {
    std::uint64_t v = 0;
    std::from_chars(first, p_, v);
    out = v;
  } else {
    double v = 0;
    Decimal decimal;
    if (!scan::to_double(first, p_, v, decimal)) return false;
    out = v;
  }
  return true;
}

// A string literal, decoded.
bool CanonicalReader::string(std::string& out) {
  if (p_ == end_ || *p_ != '"') return false;
  const char* first = p_ + 1;
  return skip_string() && scan::decode_canonical(first, p_ - 1, out);
}

bool CanonicalReader::skip_string() {
  ++p_;
  for (;;) {
    const char* quote = static_cast<const char*>(
        std::memchr(p_, '"', static_cast<std::size_t>(end_ - p_)));
    if (quote == nullptr) return false;
    // The backslashes before the quote decide whether it closes.
    std::size_t backslashes = 0;
    for (const char* q = quote; q > p_ && q[-1] == '\\'; --q) ++backslashes;
    p_ = quote + 1;
    if (backslashes % 2 == 0) return true;
  }
}

bool CanonicalReader::skip() {
  if (p_ == end_) return false;
  if (*p_ == '"') return skip_string();
  if (*p_ != '{' && *p_ != '[') {
    // A number, true, false or null: up to what follows it.
    const char* first = p_;
    while (p_ != end_ && *p_ != ',' && *p_ != '}' && *p_ != ']') ++p_;
    return p_ != first;
  }
  std::size_t depth = 0;
  while (p_ != end_) {
    char c = *p_;
    if (c == '"') {
      if (!skip_string()) return false;
      continue;
    }
    ++p_;
    if (c == '{' || c == '[') {
      ++depth;
    } else if ((c == '}' || c == ']') && --depth == 0) {
      return true;
    }
  }
  return false;
}

}  // namespace

Value parse_canonical(std::string_view canonical) {
  Value out;
  CanonicalReader reader(canonical);
  if (!reader.value(out) || !reader.done()) {
    return Value(Value::value_t::discarded);
  }
  return out;
}

std::vector<MemberText> members(std::string_view canonical) {
  std::vector<MemberText> out;
  CanonicalReader reader(canonical);
  if (!reader.take('{') || reader.take('}')) return out;
  do {
    MemberText m;
    if (!reader.string(m.key) || !reader.take(':')) return {};
    const char* begin = reader.at();
    if (!reader.skip()) return {};
    m.value =
        std::string_view(begin, static_cast<std::size_t>(reader.at() - begin));
    out.push_back(std::move(m));
  } while (reader.take(','));
  if (!reader.take('}') || !reader.done()) return {};
  return out;
}

Result<Value> parse(std::string_view text, std::size_t max_depth) {
  Result<std::string> canonical = canonicalize(text, max_depth);
  if (!canonical) return Failure{canonical.reason()};
  Value value = parse_canonical(*canonical);
  // Not reached: the reader's own text reads back.
  if (value.is_discarded()) return Failure{std::string(kNotJson)};
  return value;
}

}  // namespace twk::json
