// twk-backend log: the audit log as a readable table, or as its JSON lines
// for scripts, filtered, and followed as it grows.
#pragma once

#include <cstdio>
#include <string>

#include "audit_view.h"

namespace twk::core {

struct LogCommand {
  std::string path;  // the audit log; rotated files beside it are read too
  LogFilter filter;
  bool json = false;    // the records as they are, one per line
  bool follow = false;  // then wait for new records, like tail -f
};

// Prints the records `command` selects to `out`, oldest first. With
// follow it does not return until the process is interrupted. Returns the
// exit status: 0, or 1 when the log cannot be read (said on `err`).
int run_log_command(const LogCommand& command, std::FILE* out,
                    std::FILE* err);

}  // namespace twk::core
