// Watching policy files for changes and reloading them.
#include "policy_watch.h"

#include <errno.h>
#include <fcntl.h>
#include <time.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <thread>
#include <variant>

#include "log.h"
#include "policy_yaml.h"
#include "twk/sys/error.h"
#include "twk/sys/fd.h"
#include "twk/sys/io.h"

namespace twk::core {
namespace {

bool same_time(const timespec& a, const timespec& b) {
  return a.tv_sec == b.tv_sec && a.tv_nsec == b.tv_nsec;
}

std::string rule_count(std::size_t n) {
  return std::to_string(n) + (n == 1 ? " rule" : " rules");
}

}  // namespace

PolicyRead read_policy(const std::string& path) {
  PolicyRead result;
  // O_NONBLOCK: a FIFO at the path must not hang the request.
  sys::UniqueFd fd(::open(path.c_str(), O_RDONLY | O_CLOEXEC | O_NONBLOCK));
  if (!fd.valid()) {
    int err = errno;
    result.missing = err == ENOENT || err == ENOTDIR;
    result.error = result.missing
                       ? std::string("there is no such file")
                       : "couldn't open it: " + sys::os_error_text(err);
    return result;
  }
  struct stat st;
  if (::fstat(fd.get(), &st) != 0) {
    result.error = "couldn't read it: " + sys::os_error_text(errno);
    return result;
  }
  if (!S_ISREG(st.st_mode)) {
    result.error = "it isn't a regular file";
    return result;
  }
  result.stamp = stamp_of(st);
  if (static_cast<std::size_t>(st.st_size) > kMaxPolicyBytes) {
    result.error =
        "it is larger than " + std::to_string(kMaxPolicyBytes) + " bytes";
    return result;
  }
  char buffer[16 * 1024];
  for (;;) {
    ssize_t n = sys::io().read(fd.get(), buffer, sizeof buffer);
    if (n < 0 && errno == EINTR) continue;
    if (n < 0) {
      result.error = "couldn't read it: " + sys::os_error_text(errno);
      return result;
    }
    if (n == 0) break;
    result.text.append(buffer, static_cast<std::size_t>(n));
    if (result.text.size() > kMaxPolicyBytes) {
      result.error =
          "it is larger than " + std::to_string(kMaxPolicyBytes) + " bytes";
      return result;
    }
  }
  return result;
}

Status policy_not_empty(std::string_view text) {
  if (text.find_first_not_of(" \t\r\n") != std::string_view::npos) {
    return Ok{};
  }
  return Failure{"it is empty; write at least a default or a rule into it, "
                 "or delete it to use the built-in policy"};
}

bool FileStamp::operator==(const FileStamp& other) const {
  return device == other.device && inode == other.inode && size == other.size &&
         same_time(modified, other.modified) &&
         same_time(changed, other.changed);
}

FileStamp stamp_of(const struct stat& st) {
  return {st.st_dev, st.st_ino, st.st_size, st.st_mtim, st.st_ctim};
}

PolicyFile::PolicyFile(std::string path, PolicyLog log, bool users_own)
    : path_(std::move(path)),
      log_(log ? std::move(log) : PolicyLog([](std::string_view) {})),
      users_own_(users_own) {}

PolicySnapshot PolicyFile::current() {
  try {
    std::lock_guard<std::mutex> lock(mutex_);
    struct stat st;
    if (::stat(path_.c_str(), &st) != 0) {
      int err = errno;
      if (err == ENOENT || err == ENOTDIR) {
        if (snapshot_.state != PolicyState::kMissing || !checked_) {
          if (checked_) log_("policy " + log_field(path_) + " was removed");
          snapshot_ = PolicySnapshot{};
        }
      } else {
        // Unreadable, e.g. a directory on the way without search rights:
        // the file may well be there, so this is not "missing".
        std::string error = "couldn't look at it: " + sys::os_error_text(err);
        if (snapshot_.state != PolicyState::kBroken ||
            snapshot_.error != error) {
          log_("policy " + log_field(path_) + " is broken: " + error);
        }
        snapshot_.state = PolicyState::kBroken;
        snapshot_.error = std::move(error);
      }
      checked_ = true;
      stamp_ = FileStamp{};
      text_.reset();
      return snapshot_;
    }
    FileStamp seen = stamp_of(st);
    if (!checked_ || snapshot_.state == PolicyState::kMissing ||
        !(seen == stamp_) || stamp_is_recent()) {
      reload(users_own_ ? settled(seen) : seen);
    }
    checked_ = true;
    return snapshot_;
  } catch (const std::exception&) {
    // Only allocation can fail above. Without memory no policy can be
    // trusted to have been read right: report the file as broken.
    PolicySnapshot broken;
    broken.state = PolicyState::kBroken;
    broken.error = "out of memory";
    return broken;
  }
}

FileStamp PolicyFile::settled(FileStamp seen) const {
  // Editors, shell redirections and sync tools save in place: the file is
  // truncated, then written in one or more pieces. Each intermediate state
  // (empty, a prefix) may well parse, and would drop rules while it lasts.
  // Saves take microseconds to milliseconds; a file untouched for
  // kSettleTime is taken as saved. A file that keeps changing (or whose
  // time lies in the future) is read after kMaxSettleWait all the same.
  constexpr std::chrono::milliseconds kSettleTime{100};
  constexpr std::chrono::milliseconds kMaxSettleWait{1000};
  using Steady = std::chrono::steady_clock;
  const Steady::time_point give_up = Steady::now() + kMaxSettleWait;
  for (;;) {
    timespec now{};
    ::clock_gettime(CLOCK_REALTIME, &now);
    auto age = std::chrono::seconds(now.tv_sec - seen.modified.tv_sec) +
               std::chrono::nanoseconds(now.tv_nsec - seen.modified.tv_nsec);
    Steady::duration left = give_up - Steady::now();
    if (age >= kSettleTime || left <= Steady::duration::zero()) return seen;
    Steady::duration wait = age < Steady::duration::zero()
                                ? Steady::duration(kSettleTime)
                                : Steady::duration(kSettleTime - age);
    std::this_thread::sleep_for(std::min(wait, left));
    struct stat st;
    if (::stat(path_.c_str(), &st) != 0) return seen;  // reload() sees why
    seen = stamp_of(st);
  }
}

// Called with mutex_ held.
void PolicyFile::reload(const FileStamp& seen) {
  PolicyRead read = read_policy(path_);
  if (read.missing) {  // removed between the stat and the open
    if (snapshot_.state != PolicyState::kMissing) {
      log_("policy " + log_field(path_) + " was removed");
    }
    snapshot_ = PolicySnapshot{};
    stamp_ = FileStamp{};
    text_.reset();
    return;
  }
  // The stamp of the version actually read: a write that lands after it
  // changes the stamp again and causes another read.
  bool same_text = read.error.empty() && checked_ &&
                   snapshot_.state != PolicyState::kMissing &&
                   read.stamp == stamp_ && text_ && read.text == *text_;
  stamp_ = read.error.empty() ? read.stamp : seen;
  ::clock_gettime(CLOCK_REALTIME, &read_at_);
  if (same_text) return;  // a recent file re-read: nothing changed
  text_.reset();
  if (read.error.empty()) text_ = std::move(read.text);
  std::string error = read.error;
  if (error.empty() && users_own_) {
    if (Status full = policy_not_empty(*text_); !full) error = full.reason();
  }
  if (error.empty()) {
    std::variant<RuleSet, PolicyError> parsed = parse_policy(*text_);
    if (RuleSet* rules = std::get_if<RuleSet>(&parsed)) {
      log_("policy " + log_field(path_) +
           " loaded: " + rule_count(rules->rules.size()) + ", default " +
           std::string(decision_name(rules->default_decision)));
      snapshot_.state = PolicyState::kLoaded;
      snapshot_.rules = std::make_shared<const RuleSet>(std::move(*rules));
      snapshot_.error.clear();
      return;
    }
    error = error_text(std::get<PolicyError>(parsed));
  }
  log_("policy " + log_field(path_) + " is broken: " + error +
       (snapshot_.rules ? "; keeping its last good rules, and asking"
                        : "; no good version yet, so asking") +
       " about every call until it is fixed");
  snapshot_.state = PolicyState::kBroken;
  snapshot_.error = std::move(error);
}

bool PolicyFile::stamp_is_recent() const {
  // Two seconds cover the timestamp granularity of every local file system
  // in use (FAT's is two seconds) and clock steps between file system and
  // system clock.
  constexpr long kRecentSeconds = 2;
  const timespec& m = stamp_.modified;
  if (read_at_.tv_sec - m.tv_sec > kRecentSeconds) return false;
  return snapshot_.state != PolicyState::kMissing;
}

PolicyCache::PolicyCache(std::size_t capacity, PolicyLog log)
    : capacity_(capacity == 0 ? 1 : capacity),
      log_(log ? std::move(log) : PolicyLog([](std::string_view) {})) {}

std::shared_ptr<PolicyFile> PolicyCache::get(const std::string& path) {
  std::lock_guard<std::mutex> lock(mutex_);
  auto it = entries_.find(path);
  if (it != entries_.end()) {
    order_.splice(order_.begin(), order_, it->second.position);
    return it->second.file;
  }
  if (entries_.size() >= capacity_) {
    // Requests still holding the evicted file keep it alive until done.
    entries_.erase(order_.back());
    order_.pop_back();
  }
  order_.push_front(path);
  auto file = std::make_shared<PolicyFile>(path, log_);
  entries_.emplace(path, Entry{file, order_.begin()});
  return file;
}

std::size_t PolicyCache::size() const {
  std::lock_guard<std::mutex> lock(mutex_);
  return entries_.size();
}

}  // namespace twk::core
