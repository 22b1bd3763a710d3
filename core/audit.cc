// Building and appending audit records.
#include "audit.h"

#include <errno.h>
#include <fcntl.h>
#include <sys/file.h>
#include <syslog.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstdlib>
#include <mutex>

#include "twk/json.h"
#include "sha256.h"
#include "twk/sys/error.h"
#include "twk/sys/fd.h"
#include "twk/sys/files.h"
#include "twk/sys/io.h"
#include "twk/text.h"

namespace twk::core {
namespace {

constexpr mode_t kFileMode = 0600;
constexpr mode_t kDirectoryMode = 0700;

// The member `key` of `object`, or null.
const nlohmann::json& member(const nlohmann::json& object,
                             std::string_view key) {
  static const nlohmann::json kNull;
  if (!object.is_object()) return kNull;
  auto it = object.find(key);
  return it == object.end() ? kNull : *it;
}

}  // namespace

nlohmann::json fingerprint(std::string_view text) {
  return {{"bytes", text.size()}, {"sha256", sha256_hex(text)}};
}

nlohmann::json value_or_fingerprint(const nlohmann::json& value,
                                    std::size_t limit) {
  std::string text = json::dump(value);
  if (text.size() <= limit) return value;
  return fingerprint(text);
}

namespace {

// The record's "rule": the rule or check that decided, with its layer and
// file; null when nothing did.
nlohmann::json rule_record(const Verdict& verdict) {
  nlohmann::json rule = nullptr;
  if (const LayerVerdict* decider = verdict.decider()) {
    if (decider->rule_index) {
      rule = {{"layer", std::string(layer_name(decider->layer))},
              {"number", *decider->rule_index + 1},
              {"name", decider->rule_name}};
      if (!decider->path.empty()) rule["file"] = decider->path;
    } else if (!decider->check.empty()) {
      rule = {{"layer", std::string(layer_name(decider->layer))},
              {"check", decider->check}};
      if (!decider->path.empty()) rule["file"] = decider->path;
    }
  }
  return rule;
}

// The record's "policy_errors": each layer's file that could not be used;
// null when every one could.
nlohmann::json policy_errors_record(const Verdict& verdict) {
  nlohmann::json policy_errors = nullptr;
  for (const LayerVerdict& layer : verdict.layers) {
    if (!layer.error.empty()) {
      policy_errors.push_back({{"file", layer.path}, {"error", layer.error}});
    }
  }
  return policy_errors;
}

}  // namespace

std::string audit_line(WallTime time, const Event& request,
                       const Verdict& verdict) {
  const nlohmann::json& event = request.value();
  const nlohmann::json& input = member(event, "input");
  nlohmann::json rule = rule_record(verdict);
  nlohmann::json policy_errors = policy_errors_record(verdict);

  // Written member by member, keys in sorted order as everywhere else, so
  // that the tool's input can be copied in as the compact text it had in
  // the request rather than written out again from its tree (the largest
  // cost of a record), and a large input or response is hashed as it came.
  std::string line = "{";
  auto key = [&line](std::string_view name) {
    if (line.size() > 1) line += ',';
    line += '"';
    line += name;
    line += "\":";
  };
  auto value = [&line](const nlohmann::json& v) { line += json::dump(v); };
  // Each field is written once: as it is when short, else its fingerprint.
  auto field = [&](std::string_view name, const nlohmann::json& v) {
    key(name);
    std::string text = json::dump(v);
    if (text.size() <= kAuditFieldBytes) {
      line += text;
    } else {
      value(fingerprint(text));
    }
  };

  field("agent", member(event, "agent"));
  key("decision");
  json::append_string(line, decision_name(verdict.decision));
  field("hook", member(event, "hook"));
  key("input");
  std::string_view tool_input = request.tool_input_text();
  if (tool_input.empty()) {
    line += "null";
  } else if (tool_input.size() > kAuditInputBytes) {
    value(fingerprint(tool_input));
  } else {
    line += tool_input;
  }
  if (!policy_errors.is_null()) {
    key("policy_errors");
    value(policy_errors);
  }
  field("project", member(member(event, "context"), "projectDir"));
  if (verdict.decision != Decision::kNone) {
    key("reason");
    value(verdict.reason);
  }
  std::string_view response = request.tool_response_text();
  // An explicit null counts as no response.
  if (!response.empty() && response != "null") {
    key("response");
    value(fingerprint(response));
  }
  key("rule");
  value(rule);
  field("session", member(input, "session_id"));
  key("time");
  json::append_string(line, log_timestamp(time));
  field("tool", member(input, "tool_name"));
  line += '}';
  return line;
}

std::string audit_log_path(const std::string& state_dir) {
  return sys::join_path(sys::join_path(state_dir, "logs"), "audit.jsonl");
}

AuditRotation audit_rotation_from_env() {
  AuditRotation rotation;
  auto number = [](const char* name) -> std::optional<std::uint64_t> {
    const char* v = std::getenv(name);
    if (v == nullptr) return std::nullopt;
    return text::parse_decimal(v);
  };
  if (auto max = number("TWK_AUDIT_MAX_BYTES"); max && *max >= 1024) {
    rotation.max_bytes = *max;
  }
  if (auto keep = number("TWK_AUDIT_KEEP"); keep && *keep >= 1 && *keep <= 999) {
    rotation.keep = static_cast<unsigned>(*keep);
  }
  return rotation;
}

AuditSyslog audit_syslog_from_env() {
  const char* v = std::getenv("TWK_AUDIT_SYSLOG");
  if (v == nullptr) return AuditSyslog::kOff;
  std::string_view value(v);
  if (value == "also") return AuditSyslog::kAlso;
  if (value == "only") return AuditSyslog::kOnly;
  return AuditSyslog::kOff;
}

void send_to_syslog(std::string_view line) {
  static std::once_flag opened;
  std::call_once(opened, [] { ::openlog("twk-audit", LOG_NDELAY, LOG_USER); });
  ::syslog(LOG_INFO, "%.*s", static_cast<int>(line.size()), line.data());
}

namespace {

std::string directory_of(const std::string& path) {
  std::optional<std::string> parent = sys::parent_path(path);
  return parent && !parent->empty() ? *parent : ".";
}

}  // namespace

AuditLog::AuditLog(std::string path, std::function<void(std::string_view)> log,
                   AuditRotation rotation, AuditSyslog to_syslog,
                   std::function<void(std::string_view)> syslog)
    : path_(std::move(path)),
      dir_(directory_of(path_)),
      name_(sys::file_name(path_)),
      euid_(::geteuid()),
      rotation_(rotation),
      to_syslog_(to_syslog),
      syslog_(std::move(syslog)),
      log_(std::move(log)) {}

void AuditLog::rotate(int fd) const {
  sys::UniqueFd dir_fd(
      ::open(dir_.c_str(), O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC));
  if (!dir_fd.valid()) return;  // the write below reports what is wrong
  // One rotation at a time, across threads and Core processes alike.
  while (::flock(dir_fd.get(), LOCK_EX) != 0) {
    if (errno != EINTR) return;
  }
  struct stat ours, current;
  // Only the file this writer has open is rotated: if the name already
  // points elsewhere, another writer rotated it first.
  if (::fstat(fd, &ours) == 0 &&
      ::fstatat(dir_fd.get(), name_.c_str(), &current, AT_SYMLINK_NOFOLLOW) ==
          0 &&
      ours.st_dev == current.st_dev && ours.st_ino == current.st_ino) {
    for (unsigned n = rotation_.keep; n >= 1; --n) {
      std::string from = n == 1 ? name_ : name_ + "." + std::to_string(n - 1);
      std::string to = name_ + "." + std::to_string(n);
      // A missing older copy is no error: there may be fewer than `keep`.
      (void)::renameat(dir_fd.get(), from.c_str(), dir_fd.get(), to.c_str());
    }
  }
  (void)::flock(dir_fd.get(), LOCK_UN);
}

Result<AuditLog::OpenLog> AuditLog::open_log() const {
  auto failed = [this](std::string_view what) {
    return Failure{"couldn't open " + sys::display_path(path_) + ": " +
                   std::string(what)};
  };
  OpenLog log;
  // The directory is opened without following a link in its last
  // component and must be this user's: a logs/ swapped for a link to, or
  // a directory of, someone else would receive the records.
  constexpr int kDirFlags = O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC;
  log.dir = sys::UniqueFd(::open(dir_.c_str(), kDirFlags));
  if (!log.dir.valid() && errno == ENOENT) {
    (void)sys::make_dirs(dir_, kDirectoryMode);
    log.dir = sys::UniqueFd(::open(dir_.c_str(), kDirFlags));
  }
  if (!log.dir.valid()) {
    return failed(errno == ELOOP || errno == ENOTDIR
                      ? "its directory is a symbolic link or not a directory"
                      : sys::os_error_text(errno));
  }
  struct stat st;
  if (::fstat(log.dir.get(), &st) != 0) {
    return failed(sys::os_error_text(errno));
  }
  if (st.st_uid != euid_) return failed("its directory belongs to another user");
  log.dir_device = st.st_dev;
  log.dir_inode = st.st_ino;
  // O_NONBLOCK: a FIFO planted at the path must fail the open, not hang
  // the request until someone reads it. Writes to a regular file ignore it.
  constexpr int kFlags =
      O_WRONLY | O_APPEND | O_CLOEXEC | O_NOFOLLOW | O_NONBLOCK;
  const int dir_fd = log.dir.get();
  log.file = sys::UniqueFd(::openat(dir_fd, name_.c_str(), kFlags));
  if (!log.file.valid() && errno == ENOENT) {
    log.file = sys::UniqueFd(::openat(dir_fd, name_.c_str(),
                                      kFlags | O_CREAT | O_EXCL, kFileMode));
    if (log.file.valid()) {
      // The umask may have taken bits away; the log is exactly 0600.
      (void)::fchmod(log.file.get(), kFileMode);
    } else if (errno == EEXIST) {
      log.file = sys::UniqueFd(::openat(dir_fd, name_.c_str(), kFlags));
    }
  }
  if (!log.file.valid()) {
    return failed(errno == ENXIO || errno == ELOOP
                      ? "it isn't a regular file"
                      : sys::os_error_text(errno));
  }
  if (::fstat(log.file.get(), &st) != 0) {
    return failed(sys::os_error_text(errno));
  }
  if (!S_ISREG(st.st_mode)) return failed("it isn't a regular file");
  if (st.st_uid != euid_) return failed("it belongs to another user");
  log.device = st.st_dev;
  log.inode = st.st_ino;
  log.size = st.st_size;
  return log;
}

bool AuditLog::still_current(off_t* size) const {
  if (!open_) return false;
  // Two stats instead of opening both again: the directory at the path
  // must still be the one open (not renamed, replaced or swapped for a
  // link) and the name in it must still be the file open (not rotated or
  // removed by hand). Anything else opens afresh, with open_log's checks.
  struct stat st;
  if (::fstatat(AT_FDCWD, dir_.c_str(), &st, AT_SYMLINK_NOFOLLOW) != 0 ||
      st.st_dev != open_->dir_device || st.st_ino != open_->dir_inode ||
      st.st_uid != euid_) {
    return false;
  }
  if (::fstatat(open_->dir.get(), name_.c_str(), &st, AT_SYMLINK_NOFOLLOW) !=
          0 ||
      st.st_dev != open_->device || st.st_ino != open_->inode ||
      !S_ISREG(st.st_mode) || st.st_uid != euid_) {
    return false;
  }
  *size = st.st_size;
  return true;
}

Status AuditLog::try_append(std::string_view line) const {
  std::string text;
  text.reserve(line.size() + 1);
  text += line;
  text += '\n';

  std::lock_guard<std::mutex> lock(mutex_);
  // The log stays open while the path still names it, so that a log
  // rotated or removed by hand is simply started again.
  off_t size = 0;
  if (!still_current(&size)) {
    open_.reset();
    Result<OpenLog> opened = open_log();
    if (!opened) return Failure{opened.reason()};
    open_ = std::move(*opened);
    size = open_->size;
  }
  if (size > 0 &&
      static_cast<std::uint64_t>(size) + text.size() > rotation_.max_bytes) {
    rotate(open_->file.get());
    open_.reset();
    Result<OpenLog> opened = open_log();
    if (!opened) return Failure{opened.reason()};
    open_ = std::move(*opened);
    size = open_->size;
  }
  // A line this writer left without its end (a full disk cut a write
  // short) would swallow this record too: end it first, so that only the
  // torn record is lost.
  const bool ends_torn_line = torn_.exchange(false) && size > 0;
  if (ends_torn_line) text.insert(text.begin(), '\n');
  for (;;) {
    ssize_t n = sys::io().write(open_->file.get(), text.data(), text.size());
    if (n < 0 && errno == EINTR) continue;
    if (n < 0) {
      if (ends_torn_line) torn_ = true;  // still torn
      int err = errno;  // before display_path() can change it
      open_.reset();  // the next append opens afresh and reports anew
      return Failure{"couldn't write to " + sys::display_path(path_) + ": " +
                     sys::os_error_text(err)};
    }
    // A second write would not be atomic with the first; a short write
    // (a full disk) leaves a torn line, which readers skip as not JSON and
    // the next append ends (above).
    if (static_cast<std::size_t>(n) != text.size()) {
      torn_ = true;
      open_.reset();
      return Failure{"couldn't write a whole line to " +
                     sys::display_path(path_)};
    }
    return Ok{};
  }
}

bool AuditLog::append(std::string_view line) const {
  if (to_syslog_ != AuditSyslog::kOff && syslog_) syslog_(line);
  if (to_syslog_ == AuditSyslog::kOnly) return true;
  Status written = Ok{};
  try {
    written = try_append(line);
  } catch (const std::exception&) {
    written = Failure{"out of memory"};
  }
  if (!written) {
    if (!failing_.exchange(true) && log_) {
      log_("audit log: " + written.reason() +
           "; further failures are not logged until it works again");
    }
    return false;
  }
  if (failing_.exchange(false) && log_) {
    log_("audit log: writing " + sys::display_path(path_) + " works again");
  }
  return true;
}

}  // namespace twk::core
