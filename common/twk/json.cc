// Compact writing of library values. The strict reader is in
// json_canonical.cc (with json_scan.cc), trees of what it
// writes in json_tree.cc.
#include "twk/json.h"

#include "twk/json_scan.h"

namespace twk::json {
namespace {

using nlohmann::json;

}  // namespace

void append_string(std::string& out, std::string_view s) {
  out += '"';
  std::size_t run = 0;  // start of the pending run of plain bytes
  for (std::size_t i = 0; i < s.size(); ++i) {
    unsigned char c = static_cast<unsigned char>(s[i]);
    // Bytes from 0x80 on are written as they are (valid UTF-8 or not);
    // the others that are not plain need an escape.
    if (c >= 0x80 || scan::kPlainStringBytes.plain[c]) continue;
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
