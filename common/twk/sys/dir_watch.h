// Waiting for a file to appear or change in a directory, without polling:
// the hook waits for the record of the Core it started, which appears a few
// milliseconds after the spawn, and a fixed sleep between looks would cost
// more than the start itself.
#pragma once

#include <string>

#include "twk/sys/clock.h"
#include "twk/sys/fd.h"

namespace twk::sys {

class DirectoryWatch {
 public:
  // Watches `dir` for files created, written and closed, or renamed into
  // it. A directory that cannot be watched (no inotify, no such directory)
  // makes wait() a plain sleep, so callers need no second path.
  explicit DirectoryWatch(const std::string& dir);

  // Returns when something changed in the directory since the last call,
  // or after `limit`, whichever comes first.
  void wait(Duration limit);

 private:
  UniqueFd fd_;
};

}  // namespace twk::sys
