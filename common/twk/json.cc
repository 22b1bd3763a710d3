// Strict parsing and compact writing on top of nlohmann/json. The canonical
// writer for the hook input, which does not build a tree, is in
// json_canonical.cc.
#include "twk/json.h"

#include <cstring>

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
