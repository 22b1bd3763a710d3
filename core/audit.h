// The audit log: one JSON line per hook event in
// {state_dir}/logs/audit.jsonl, saying what was called, in which session
// and project, which rule matched and what was decided. Large tool inputs
// and every tool response are recorded only by size and SHA-256, never in
// full, so that the log does not become a copy of the files the agent read.
#pragma once

#include <sys/types.h>

#include <atomic>
#include <cstddef>
#include <cstdint>
#include <functional>
#include <mutex>
#include <nlohmann/json.hpp>
#include <optional>
#include <string>
#include <string_view>

#include "event.h"
#include "log.h"
#include "policy.h"
#include "twk/result.h"
#include "twk/sys/fd.h"

namespace twk::core {

// Tool inputs up to this size (as compact JSON) are recorded in full.
inline constexpr std::size_t kAuditInputBytes = 4096;
// Session ids, tool names and project paths up to this size, likewise.
inline constexpr std::size_t kAuditFieldBytes = 1024;

// `value` itself when its compact JSON text is at most `limit` bytes long,
// else {"bytes": <length of that text>, "sha256": "<hex digest of it>"}.
nlohmann::json value_or_fingerprint(const nlohmann::json& value,
                                    std::size_t limit);

// {"bytes": <length of text>, "sha256": "<hex digest of text>"}.
nlohmann::json fingerprint(std::string_view text);

// The audit record of `event` (as the hook sends it) and its verdict, as
// one line of compact JSON without the line feed.
std::string audit_line(WallTime time, const Event& event,
                       const Verdict& verdict);

// {state_dir}/logs/audit.jsonl.
std::string audit_log_path(const std::string& state_dir);

// When the log is rotated: once a line would take it past `max_bytes`, it
// becomes PATH.1 (PATH.1 becomes PATH.2, and so on; PATH.keep is dropped)
// and a new log is started. Lines being written by other requests at that
// moment still land in the old file, which may so pass the size a little.
struct AuditRotation {
  std::uint64_t max_bytes = std::uint64_t(64) << 20;
  unsigned keep = 5;
};

// Rotation as the environment sets it: TWK_AUDIT_MAX_BYTES (at least 1024)
// and TWK_AUDIT_KEEP (1 to 999); the defaults for values unset or out of
// range.
AuditRotation audit_rotation_from_env();

// Where records go besides (or instead of) the file: the system log, one
// message per record holding the record's JSON, so that journald or rsyslog
// can forward the decisions of every agent on a machine to central storage.
enum class AuditSyslog { kOff, kAlso, kOnly };

// TWK_AUDIT_SYSLOG: "also" or "only"; anything else is off.
AuditSyslog audit_syslog_from_env();

// Sends one record to the system log (identity "twk-audit", facility user,
// priority info).
void send_to_syslog(std::string_view line);

class AuditLog {
 public:
  // `log` hears when appending starts failing and when it works again.
  // `syslog` receives each record when `to_syslog` is not kOff (tests pass
  // their own; Core passes send_to_syslog).
  AuditLog(std::string path, std::function<void(std::string_view)> log,
           AuditRotation rotation = {},
           AuditSyslog to_syslog = AuditSyslog::kOff,
           std::function<void(std::string_view)> syslog = send_to_syslog);

  const std::string& path() const { return path_; }

  // Appends `line` and a line feed with one write(2) on a descriptor opened
  // with O_APPEND, so that lines from concurrent requests (and other Core
  // processes) never interleave. Rotates first when the line would take
  // the log past its size; rotation renames under a lock on the log's
  // directory, and a line written meanwhile to the renamed file stays there,
  // so no line is split or lost. Creates the file with mode 0600 and its
  // directory with mode 0700 when they are missing. Thread-safe; returns
  // false when the line could not be written whole.
  bool append(std::string_view line) const;

 private:
  // The log's directory and the log itself, open for appending, with the
  // identities they had when opened.
  struct OpenLog {
    sys::UniqueFd dir;
    sys::UniqueFd file;
    dev_t dir_device = 0;
    ino_t dir_inode = 0;
    dev_t device = 0;
    ino_t inode = 0;
    off_t size = 0;
  };

  // append() to the file alone; Ok, or why the line was not written whole.
  Status try_append(std::string_view line) const;
  // The log opened for appending, created 0600 (and its directory 0700)
  // when missing; refused when either is not this user's, the directory
  // is a link, or the log is not a regular file.
  Result<OpenLog> open_log() const;
  // True when `open_` still is what the path names (the same directory and
  // file, this user's, the file regular), with the file's size in *size.
  bool still_current(off_t* size) const;
  // Renames the log (the file `fd` has open) and its older copies one step
  // on, unless another writer already has.
  void rotate(int fd) const;

  const std::string path_;
  const std::string dir_;   // the directory path_ is in
  const std::string name_;  // path_'s last component
  const uid_t euid_;
  const AuditRotation rotation_;
  const AuditSyslog to_syslog_;
  const std::function<void(std::string_view)> syslog_;
  const std::function<void(std::string_view)> log_;
  mutable std::atomic<bool> failing_{false};
  // The last write stopped short: the file ends in the middle of a line.
  mutable std::atomic<bool> torn_{false};
  // The log stays open between appends; `mutex_` guards it and orders
  // this process's writes.
  mutable std::mutex mutex_;
  mutable std::optional<OpenLog> open_;
};

}  // namespace twk::core
