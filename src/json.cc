// Strict parsing and canonical writing on top of nlohmann/json.
//
// canonicalize() drives the library's SAX parser and writes the output as
// the events arrive. Each object's members are written in arrival order and
// remembered as spans of the output; when the object closes out of order,
// its spans are re-laid in key order (last duplicate winning). Already
// sorted objects, the common case, cost nothing extra.
#include "json.h"

#include <algorithm>
#include <charconv>
#include <cstring>
#include <vector>

namespace twk::json {
namespace {

using nlohmann::json;

// Rejections that the library does not make on its own.
bool has_forbidden_bytes(std::string_view text) {
  if (std::memchr(text.data(), '\0', text.size()) != nullptr) return true;
  // The library skips a UTF-8 byte order mark silently; a hook input or
  // record that starts with one is not the JSON text we accept.
  return text.size() >= 3 && text.substr(0, 3) == "\xEF\xBB\xBF";
}

// Bytes that a JSON string literal cannot hold as they are.
struct EscapeTable {
  bool needs[256] = {};
  constexpr EscapeTable() {
    for (int c = 0; c < 0x20; ++c) needs[c] = true;
    needs[static_cast<unsigned char>('"')] = true;
    needs[static_cast<unsigned char>('\\')] = true;
  }
};
constexpr EscapeTable kEscape;

void append_double(std::string& out, double value) {
  char buffer[64];
  // The library's own shortest round-trip form ("1.0", "1e+100"), so that
  // numbers come out exactly as a dump of the parsed value would write them.
  char* end =
      nlohmann::detail::to_chars(buffer, buffer + sizeof buffer, value);
  out.append(buffer, static_cast<std::size_t>(end - buffer));
}

template <class Int>
void append_integer(std::string& out, Int value) {
  char buffer[24];
  auto [end, ec] = std::to_chars(buffer, buffer + sizeof buffer, value);
  (void)ec;  // 24 bytes hold every 64-bit integer
  out.append(buffer, static_cast<std::size_t>(end - buffer));
}

class Canonicalizer {
 public:
  explicit Canonicalizer(std::size_t size_hint) {
    out_.reserve(size_hint + 16);
  }

  std::string take() { return std::move(out_); }

  // SAX events.
  bool null() {
    before_value();
    out_ += "null";
    return after_value();
  }
  bool boolean(bool v) {
    before_value();
    out_ += v ? "true" : "false";
    return after_value();
  }
  bool number_integer(json::number_integer_t v) {
    before_value();
    append_integer(out_, v);
    return after_value();
  }
  bool number_unsigned(json::number_unsigned_t v) {
    before_value();
    append_integer(out_, v);
    return after_value();
  }
  bool number_float(json::number_float_t v, const json::string_t&) {
    before_value();
    append_double(out_, v);
    return after_value();
  }
  bool string(json::string_t& v) {
    before_value();
    append_string(out_, v);
    return after_value();
  }
  bool binary(json::binary_t&) { return false; }
  bool start_object(std::size_t) { return open(true, '{'); }
  bool start_array(std::size_t) { return open(false, '['); }
  bool key(json::string_t& k) {
    Frame& f = frames_[depth_ - 1];
    if (!f.members.empty()) {
      out_ += ',';
      if (f.sorted && !(f.members.back().key < k)) f.sorted = false;
    }
    f.members.push_back(Member{k, out_.size(), 0});
    append_string(out_, k);
    out_ += ':';
    return true;
  }
  bool end_object() {
    Frame& f = frames_[depth_ - 1];
    if (!f.sorted) reorder(f);
    out_ += '}';
    --depth_;
    return after_value();
  }
  bool end_array() {
    out_ += ']';
    --depth_;
    return after_value();
  }
  bool parse_error(std::size_t, const std::string&,
                   const nlohmann::detail::exception&) {
    return false;
  }

 private:
  struct Member {
    std::string key;    // the raw key bytes, for ordering
    std::size_t begin;  // offset of the key's opening quote in out_
    std::size_t end;    // offset just past the member's value
  };
  struct Frame {
    bool object = false;
    bool sorted = true;
    std::size_t start = 0;  // offset just past the opening bracket
    std::size_t count = 0;  // array elements written so far
    std::vector<Member> members;
  };

  void before_value() {
    if (depth_ == 0) return;
    Frame& f = frames_[depth_ - 1];
    if (!f.object && f.count++ > 0) out_ += ',';
  }

  bool after_value() {
    if (depth_ > 0) {
      Frame& f = frames_[depth_ - 1];
      if (f.object) f.members.back().end = out_.size();
    }
    return true;
  }

  bool open(bool object, char bracket) {
    if (depth_ >= kMaxDepth) return false;  // stops the parser at once
    before_value();
    out_ += bracket;
    if (frames_.size() <= depth_) frames_.emplace_back();
    // Frames are reused across siblings, so their member vectors keep their
    // capacity instead of being allocated per object.
    Frame& f = frames_[depth_];
    f.object = object;
    f.sorted = true;
    f.start = out_.size();
    f.count = 0;
    f.members.clear();
    ++depth_;
    return true;
  }

  // Re-lays the members of the object that starts at f.start in key order;
  // of equal keys only the last one stays.
  void reorder(Frame& f) {
    order_.resize(f.members.size());
    for (std::size_t i = 0; i < order_.size(); ++i) order_[i] = i;
    std::stable_sort(order_.begin(), order_.end(),
                     [&](std::size_t a, std::size_t b) {
                       return f.members[a].key < f.members[b].key;
                     });
    scratch_.clear();
    for (std::size_t i = 0; i < order_.size(); ++i) {
      const Member& m = f.members[order_[i]];
      // Equal keys sit together in arrival order; the last one wins.
      if (i + 1 < order_.size() && f.members[order_[i + 1]].key == m.key) {
        continue;
      }
      if (!scratch_.empty()) scratch_ += ',';
      scratch_.append(out_, m.begin, m.end - m.begin);
    }
    out_.replace(f.start, out_.size() - f.start, scratch_);
  }

  std::string out_;
  std::vector<Frame> frames_;
  std::size_t depth_ = 0;
  std::vector<std::size_t> order_;
  std::string scratch_;
};

// Builds a library value through the library's own SAX-to-DOM builder, with
// the depth rule enforced before a level is opened.
class DepthLimitedDom {
 public:
  explicit DepthLimitedDom(json& result) : dom_(result, false) {}

  bool null() { return dom_.null(); }
  bool boolean(bool v) { return dom_.boolean(v); }
  bool number_integer(json::number_integer_t v) {
    return dom_.number_integer(v);
  }
  bool number_unsigned(json::number_unsigned_t v) {
    return dom_.number_unsigned(v);
  }
  bool number_float(json::number_float_t v, const json::string_t& s) {
    return dom_.number_float(v, s);
  }
  bool string(json::string_t& v) { return dom_.string(v); }
  bool binary(json::binary_t&) { return false; }
  bool start_object(std::size_t n) {
    return ++depth_ <= kMaxDepth && dom_.start_object(n);
  }
  bool start_array(std::size_t n) {
    return ++depth_ <= kMaxDepth && dom_.start_array(n);
  }
  bool key(json::string_t& k) { return dom_.key(k); }
  bool end_object() {
    --depth_;
    return dom_.end_object();
  }
  bool end_array() {
    --depth_;
    return dom_.end_array();
  }
  bool parse_error(std::size_t p, const std::string& t,
                   const nlohmann::detail::exception& e) {
    return dom_.parse_error(p, t, e);
  }

 private:
  nlohmann::detail::json_sax_dom_parser<json> dom_;
  std::size_t depth_ = 0;
};

// The one place where the library's calls may throw; every throw is a
// rejection.
template <class Sax>
bool run_parser(std::string_view text, Sax& sax) {
  if (has_forbidden_bytes(text)) return false;
  try {
    return json::sax_parse(text.begin(), text.end(), &sax);
  } catch (...) {
    return false;
  }
}

}  // namespace

void append_string(std::string& out, std::string_view s) {
  out += '"';
  std::size_t run = 0;  // start of the pending run of plain bytes
  for (std::size_t i = 0; i < s.size(); ++i) {
    unsigned char c = static_cast<unsigned char>(s[i]);
    if (!kEscape.needs[c]) continue;
    out.append(s.data() + run, i - run);
    run = i + 1;
    switch (c) {
      case '"': out += "\\\""; break;
      case '\\': out += "\\\\"; break;
      case '\b': out += "\\b"; break;
      case '\t': out += "\\t"; break;
      case '\n': out += "\\n"; break;
      case '\f': out += "\\f"; break;
      case '\r': out += "\\r"; break;
      default: {
        static constexpr char kHex[] = "0123456789abcdef";
        char u[6] = {'\\', 'u', '0', '0', kHex[c >> 4], kHex[c & 15]};
        out.append(u, sizeof u);
      }
    }
  }
  out.append(s.data() + run, s.size() - run);
  out += '"';
}

std::optional<std::string> canonicalize(std::string_view text) {
  Canonicalizer sax(text.size());
  if (!run_parser(text, sax)) return std::nullopt;
  return sax.take();
}

std::optional<Value> parse(std::string_view text) {
  Value result;
  DepthLimitedDom sax(result);
  if (!run_parser(text, sax) || result.is_discarded()) return std::nullopt;
  return result;
}

std::string dump(const Value& value) {
  try {
    return value.dump(-1, ' ', false, json::error_handler_t::replace);
  } catch (...) {
    // Only reachable through allocation failure; an empty text is then the
    // least harmful answer.
    return std::string();
  }
}

}  // namespace twk::json
