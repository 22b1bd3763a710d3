// Starting a detached child program and watching it without blocking, and
// looking at which executable a process runs.
#pragma once


#include <sys/types.h>

#include <cstdint>
#include <optional>
#include <string>
#include <utility>
#include <vector>

#include "twk/result.h"

namespace twk::sys {

struct SpawnSpec {
  // Looked up along PATH when it holds no "/", else used as a path (a
  // relative one against the working directory).
  std::string program;
  std::vector<std::string> args;  // after the program name
  // Variables set in the child on top of this process's environment.
  std::vector<std::pair<std::string, std::string>> env_overrides;
  int stdout_fd = -1;  // becomes the child's 1 (must be >= 3)
  int stderr_fd = -1;  // becomes the child's 2 (must be >= 3)
};

// A started child. Dropping it neither waits for nor signals the child.
class Child {
 public:
  explicit Child(pid_t pid) : pid_(pid) {}
  pid_t pid() const { return pid_; }

  // The wait status once the child has ended, without blocking. A failing
  // poll counts as "still running".
  std::optional<int> poll();

  // SIGKILL; failure is ignored (the child may be gone already).
  void kill();

 private:
  pid_t pid_;
};

// Spawns `spec` with stdin from /dev/null, in a new process group that it
// leads, with an empty signal mask, SIGPIPE at its default action, and no
// inherited descriptor besides 0, 1 and 2. Every part of that set-up must
// take, or nothing is spawned. The failure is the system's error text.
Result<Child> spawn(const SpawnSpec& spec);

// The executable file of process `pid` (the target of /proc/{pid}/exe)
// when that process belongs to this program's effective uid; nothing when
// it belongs to another user, has gone, or cannot be looked at.
std::optional<std::string> own_process_executable(std::uint32_t pid);

// "exit status: N", or "signal: N (NAME)" with " (core dumped)" appended
// when a core was written; unknown signal numbers have no name.
std::string exit_status_text(int wait_status);

// Linux name of signals 1 to 31 ("SIGKILL" for 9); nullptr otherwise.
const char* signal_name(int signo);

}  // namespace twk::sys
