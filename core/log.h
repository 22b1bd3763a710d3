// Core's log: one line per request and per lifecycle event on standard
// output, which the hook appends to Core's log file. Each line is one
// write(2), so lines of concurrent requests never interleave and nothing
// waits in a buffer when the process ends.
#pragma once

#include <chrono>
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

namespace twk::core {

using WallTime = std::chrono::system_clock::time_point;

// UTC with microseconds: "2024-05-01T12:00:00.000123Z".
std::string log_timestamp(WallTime time);

// `text` safe for one space-separated log field: printable ASCII stays,
// every other byte (spaces, controls, backslash, non-ASCII) becomes \xNN,
// and an empty text becomes "-". Request paths come from clients and must
// not be able to forge log lines.
std::string log_field(std::string_view text);

// `text` safe as the rest of one log line: control bytes (a line feed
// above all, and terminal escapes) become \xNN, everything else stays.
// Messages quote what policy files and requests hold, and a project's
// file must not be able to add lines of its own to Core's log.
std::string log_line_text(std::string_view text);

// "<timestamp> <method> <path> <status> <micros>us", with "-" in place of
// the duration when it is not known (a request too malformed to time).
std::string request_log_line(WallTime time, std::string_view method,
                             std::string_view path, int status,
                             std::optional<std::int64_t> micros);

// Writes `line` and a line feed to standard output in one call. Thread-safe;
// failures (a closed or full log) are ignored, as logging must never stop
// Core from answering.
void write_log_line(std::string_view line);

// write_log_line of the current time and `message`.
void log_message(std::string_view message);

}  // namespace twk::core
