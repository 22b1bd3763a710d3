// Policy files that are re-read when they change. Each request stats the
// file (device, inode, size, modification and change time); a different
// result means a new read. File times tick coarsely (a few milliseconds),
// so a write of the same size in the same tick as the last read leaves the
// stamp unchanged: while the file's modification time is that recent, the
// text is read again and compared. A file that no longer parses keeps its
// last good rules but is reported broken until it is fixed.
#pragma once

#include <sys/stat.h>

#include <cstddef>
#include <functional>
#include <list>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <string_view>
#include <unordered_map>

#include "rules.h"
#include "twk/result.h"

namespace twk::core {

// Where a message about a policy file goes: Core's log in the server.
using PolicyLog = std::function<void(std::string_view)>;

// Policy files larger than this are refused as broken: a policy is a page
// or two of text, and every request may have to read it again.
inline constexpr std::size_t kMaxPolicyBytes = 1 << 20;

enum class PolicyState {
  kMissing,  // no file at the path
  kLoaded,   // the file parsed; `rules` are its rules
  kBroken,   // unreadable or invalid; `rules` are the last good ones, if any
};

struct PolicySnapshot {
  PolicyState state = PolicyState::kMissing;
  // kLoaded: the file's rules. kBroken: the rules of the last version that
  // parsed, or null when none ever did. kMissing: null.
  std::shared_ptr<const RuleSet> rules;
  // kBroken: why, with line and column when the fault has a position.
  std::string error;
};

// Identifies one version of a file cheaply. Editors that save by renaming
// change the inode, those that write in place change size or times.
struct FileStamp {
  dev_t device = 0;
  ino_t inode = 0;
  off_t size = 0;
  timespec modified{};
  timespec changed{};
  bool operator==(const FileStamp& other) const;
};

FileStamp stamp_of(const struct stat& st);

// One read of a policy file.
struct PolicyRead {
  std::string text;
  FileStamp stamp;       // of the version read
  std::string error;     // empty on success, else why there is no text
  bool missing = false;  // the error is that no file is there
};

// Reads the file at `path` (a regular file of at most kMaxPolicyBytes).
PolicyRead read_policy(const std::string& path);

// Ok when `text` holds more than white space; else why a user's policy
// file of nothing but white space is refused.
Status policy_not_empty(std::string_view text);

class PolicyFile {
 public:
  // `log` gets one line each time the file's state or version changes.
  // `users_own`: the user's policy, which decides alone. Such a file is
  // read only once a save has settled (see settled()), and one with
  // nothing but white space in it is broken rather than a policy without
  // rules: an empty file is a save caught half way or a mistake, never a
  // wish to drop every rule. A project's file only ever adds strictness,
  // so it is read as it is, and a project that keeps rewriting its file
  // cannot make each of its calls wait.
  PolicyFile(std::string path, PolicyLog log, bool users_own = false);

  const std::string& path() const { return path_; }

  // The file's current state, re-read first when it changed. Thread-safe;
  // never throws.
  PolicySnapshot current();

 private:
  void reload(const FileStamp& seen);
  // Waits (up to a bound) until the file has not been modified for a
  // moment, so that a save in progress is not read half done; returns the
  // stamp it then has.
  FileStamp settled(FileStamp seen) const;
  // True while a change could hide behind an unchanged stamp.
  bool stamp_is_recent() const;

  const std::string path_;
  const PolicyLog log_;
  const bool users_own_;
  std::mutex mutex_;
  bool checked_ = false;  // guarded by mutex_, like everything below
  FileStamp stamp_;
  PolicySnapshot snapshot_;
  std::optional<std::string> text_;  // as last read; nothing if it failed
  timespec read_at_{};               // wall-clock time of the last read
};

// The project policies seen lately, by path, each a PolicyFile. Holds at
// most `capacity` of them and forgets the one used longest ago.
class PolicyCache {
 public:
  PolicyCache(std::size_t capacity, PolicyLog log);

  // The watched file at `path`, created on first use. Thread-safe.
  std::shared_ptr<PolicyFile> get(const std::string& path);

  std::size_t size() const;

 private:
  using Order = std::list<std::string>;  // most recently used first
  struct Entry {
    std::shared_ptr<PolicyFile> file;
    Order::iterator position;
  };

  const std::size_t capacity_;
  const PolicyLog log_;
  mutable std::mutex mutex_;
  Order order_;
  std::unordered_map<std::string, Entry> entries_;
};

}  // namespace twk::core
