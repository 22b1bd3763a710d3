// Formatting and writing Core's log lines.
#include "log.h"

#include <errno.h>
#include <time.h>
#include <unistd.h>

#include <cstdio>
#include <mutex>

#include "twk/sys/files.h"

namespace twk::core {

std::string log_timestamp(WallTime time) {
  using std::chrono::duration_cast;
  using std::chrono::microseconds;
  using std::chrono::seconds;
  auto since_epoch = duration_cast<microseconds>(time.time_since_epoch());
  auto whole = duration_cast<seconds>(since_epoch);
  auto micros = since_epoch - whole;
  if (micros.count() < 0) {  // before 1970: floor, not truncate
    whole -= seconds(1);
    micros += seconds(1);
  }
  time_t t = static_cast<time_t>(whole.count());
  struct tm tm;
  if (::gmtime_r(&t, &tm) == nullptr) return "-";
  char buffer[64];
  std::snprintf(buffer, sizeof buffer, "%04d-%02d-%02dT%02d:%02d:%02d.%06lldZ",
                tm.tm_year + 1900, tm.tm_mon + 1, tm.tm_mday, tm.tm_hour,
                tm.tm_min, tm.tm_sec, static_cast<long long>(micros.count()));
  return buffer;
}

std::string request_log_line(WallTime time, std::string_view method,
                             std::string_view path, int status,
                             std::optional<std::int64_t> micros) {
  return log_timestamp(time) + " " + log_field(method) + " " + log_field(path) +
         " " + std::to_string(status) + " " +
         (micros ? std::to_string(*micros) + "us" : std::string("-"));
}

namespace {

// `text` with every byte for which `keep` is false written as \xNN.
template <class Keep>
std::string escaped(std::string_view text, Keep keep) {
  static constexpr char kHex[] = "0123456789abcdef";
  std::string out;
  out.reserve(text.size());
  for (char ch : text) {
    unsigned char c = static_cast<unsigned char>(ch);
    if (keep(c)) {
      out += ch;
    } else {
      out += "\\x";
      out += kHex[c >> 4];
      out += kHex[c & 0xf];
    }
  }
  return out;
}

}  // namespace

std::string log_field(std::string_view text) {
  if (text.empty()) return "-";
  return escaped(text, [](unsigned char c) {
    return c > 0x20 && c < 0x7f && c != '\\';
  });
}

std::string log_line_text(std::string_view text) {
  return escaped(text, [](unsigned char c) { return c >= 0x20 && c != 0x7f; });
}

void write_log_line(std::string_view line) {
  static std::mutex mutex;
  try {
    std::string text = log_line_text(line);
    text += '\n';
    std::lock_guard<std::mutex> lock(mutex);
    (void)sys::write_all(STDOUT_FILENO, text);  // ignored, see the header
  } catch (...) {
    // No memory for the line, or the mutex failed: drop the line.
  }
}

void log_message(std::string_view message) {
  try {
    write_log_line(log_timestamp(std::chrono::system_clock::now()) + " " +
                   std::string(message));
  } catch (...) {
    // Only allocation can fail here; a lost log line is acceptable.
  }
}

}  // namespace twk::core
