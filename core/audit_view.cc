// Filtering and formatting audit records for `twk-backend log`.
#include "audit_view.h"

#include <nlohmann/json.hpp>

#include <algorithm>
#include <cctype>
#include <cstdlib>
#include <ctime>

#include "twk/json.h"
#include "twk/sys/files.h"

namespace twk::core {
namespace {

using nlohmann::json;

constexpr std::size_t kRotatedFilesLooked = 99;
constexpr std::size_t kToolWidth = 10;
constexpr std::size_t kInputWidth = 48;
constexpr std::size_t kRuleWidth = 32;

std::optional<json> record_of(std::string_view line) {
  Result<json> value = twk::json::parse(line);
  if (!value || !value->is_object()) return std::nullopt;
  return std::move(*value);
}

std::string text_member(const json& object, const char* key) {
  auto it = object.find(key);
  return it != object.end() && it->is_string() ? it->get<std::string>()
                                               : std::string();
}

// `text` on one line and at most `width` characters, "…" marking a cut.
std::string fit(std::string_view text, std::size_t width) {
  std::string out;
  std::size_t chars = 0;
  for (std::size_t i = 0; i < text.size(); ++i) {
    unsigned char c = static_cast<unsigned char>(text[i]);
    bool starts_char = (c & 0xC0) != 0x80;
    if (starts_char && ++chars > width) {
      // Drop the last character kept for the ellipsis.
      while (!out.empty() &&
             (static_cast<unsigned char>(out.back()) & 0xC0) == 0x80) {
        out.pop_back();
      }
      if (!out.empty()) out.pop_back();
      return out + "\u2026";
    }
    out += c < 0x20 || c == 0x7f ? ' ' : static_cast<char>(c);
  }
  return out;
}

std::string pad(std::string text, std::size_t width) {
  std::size_t chars = 0;
  for (unsigned char c : text) chars += (c & 0xC0) != 0x80 ? 1 : 0;
  if (chars < width) text.append(width - chars, ' ');
  return text;
}

// What a call was about, in a few words: the command, the file, or the
// input as JSON; a recorded-by-size input says how large it was.
std::string input_summary(const json& input) {
  if (input.is_object()) {
    if (input.contains("sha256") && input.contains("bytes")) {
      return "(" + input["bytes"].dump() + " bytes)";
    }
    for (const char* key : {"command", "file_path", "notebook_path", "path",
                            "pattern", "url"}) {
      std::string text = text_member(input, key);
      if (!text.empty()) return text;
    }
  }
  return input.is_null() ? std::string() : input.dump();
}

std::string rule_summary(const json& rule, const std::string& decision) {
  if (!rule.is_object()) return decision == "none" ? "no opinion" : "default";
  std::string layer = text_member(rule, "layer");
  std::string check = text_member(rule, "check");
  if (!check.empty()) return layer + " check " + check;
  std::string name = text_member(rule, "name");
  return layer + " rule " + (name.empty() ? rule.value("number", json()).dump()
                                          : name);
}

}  // namespace

Result<std::string> parse_since(std::string_view text,
                                std::string_view now_timestamp) {
  std::string s(text);
  if (s.size() >= 2 && s.find_first_not_of("0123456789") == s.size() - 1) {
    long long amount = std::atoll(s.c_str());
    long long unit = 0;
    switch (s.back()) {
      case 's': unit = 1; break;
      case 'm': unit = 60; break;
      case 'h': unit = 3600; break;
      case 'd': unit = 86400; break;
      default: break;
    }
    if (unit != 0 && now_timestamp.size() >= 19) {
      std::tm tm{};
      std::string now(now_timestamp.substr(0, 19));
      if (::strptime(now.c_str(), "%Y-%m-%dT%H:%M:%S", &tm) != nullptr) {
        std::time_t then = ::timegm(&tm) - amount * unit;
        std::tm out{};
        ::gmtime_r(&then, &out);
        char buffer[32];
        std::strftime(buffer, sizeof buffer, "%Y-%m-%dT%H:%M:%S", &out);
        return std::string(buffer);
      }
    }
  }
  std::replace(s.begin(), s.end(), ' ', 'T');
  // A prefix of an audit timestamp, at least a date: digits and separators
  // in their places up to the seconds (a fraction or "Z" may follow).
  static constexpr std::string_view kShape = "dddd-dd-ddTdd:dd:dd";
  bool shaped = s.size() >= 10;
  for (std::size_t i = 0; shaped && i < std::min(s.size(), kShape.size());
       ++i) {
    shaped = kShape[i] == 'd' ? std::isdigit(static_cast<unsigned char>(s[i]))
                              : s[i] == kShape[i];
  }
  if (!shaped) {
    return Failure{"--since takes a time like 2026-12-08, \"2026-12-08 "
                   "09:30\" or 2026-12-08T09:30:00Z, or a time back from now "
                   "like 90s, 15m, 2h or 3d, not \"" + std::string(text) + "\""};
  }
  return s;
}

bool log_line_matches(std::string_view line, const LogFilter& filter) {
  std::optional<json> record = record_of(line);
  if (!record) return false;
  if (filter.decision && text_member(*record, "decision") != *filter.decision) {
    return false;
  }
  if (filter.since && text_member(*record, "time") < *filter.since) {
    return false;
  }
  if (filter.session && text_member(*record, "session") != *filter.session) {
    return false;
  }
  if (filter.project && text_member(*record, "project") != *filter.project) {
    return false;
  }
  return true;
}

std::string log_table_header() {
  return pad("TIME (UTC)", 19) + "  " + pad("DECISION", 8) + "  " +
         pad("TOOL", kToolWidth) + "  " + pad("INPUT", kInputWidth) + "  " +
         pad("DECIDED BY", kRuleWidth) + "  PROJECT";
}

std::optional<std::string> log_table_row(std::string_view line) {
  std::optional<json> record = record_of(line);
  if (!record) return std::nullopt;
  std::string time = text_member(*record, "time").substr(0, 19);
  std::replace(time.begin(), time.end(), 'T', ' ');
  std::string input = input_summary(record->value("input", json()));
  return pad(time, 19) + "  " + pad(text_member(*record, "decision"), 8) +
         "  " + pad(fit(text_member(*record, "tool"), kToolWidth), kToolWidth) +
         "  " + pad(fit(input, kInputWidth), kInputWidth) + "  " +
         pad(fit(rule_summary(record->value("rule", json()),
                             text_member(*record, "decision")),
                 kRuleWidth),
             kRuleWidth) +
         "  " + fit(text_member(*record, "project"), 200);
}

std::vector<std::string> audit_log_files(const std::string& path) {
  std::vector<std::string> files;
  for (std::size_t n = kRotatedFilesLooked; n >= 1; --n) {
    std::string rotated = path + "." + std::to_string(n);
    if (sys::is_regular_file(rotated)) files.push_back(rotated);
  }
  if (sys::is_regular_file(path)) files.push_back(path);
  return files;
}

}  // namespace twk::core
