// Reading the audit log back for people: `twk-backend log` prints its
// records as a table (or as they are, for scripts), filtered by decision,
// time, session and project, and can follow the log as it grows.
#pragma once

#include <functional>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "twk/result.h"

namespace twk::core {

struct LogFilter {
  std::optional<std::string> decision;  // "allow", "ask", "deny" or "none"
  // Records at or after this time: an audit timestamp, or a prefix of one
  // ("2026-12-08", "2026-12-08T09").
  std::optional<std::string> since;
  std::optional<std::string> session;
  std::optional<std::string> project;  // the project directory, exactly
};

// The moment `text` names, as an audit timestamp prefix to compare with:
// an ISO date or date-time (a space may stand for the "T"), or a time back
// from `now` ("90s", "15m", "2h", "3d"). The failure says what is accepted.
Result<std::string> parse_since(std::string_view text,
                                std::string_view now_timestamp);

// True when the audit line `line` is a record that `filter` lets through.
// Lines that are not records (torn by a full disk, say) never are.
bool log_line_matches(std::string_view line, const LogFilter& filter);

// One record as a table row: time, decision, tool, a shortened input, the
// rule or check that decided, and the project. Nothing for a line that is
// not a record.
std::optional<std::string> log_table_row(std::string_view line);

// The header line of the table.
std::string log_table_header();

// The audit log at `path` and the files rotated from it (path.N ... path.1,
// oldest first), those that exist, in the order their lines were written.
std::vector<std::string> audit_log_files(const std::string& path);

}  // namespace twk::core
