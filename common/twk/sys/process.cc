// Child processes through posix_spawn.
#include "twk/sys/process.h"

#include <errno.h>
#include <fcntl.h>
#include <signal.h>
#include <spawn.h>
#include <string.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include "twk/sys/error.h"
#include "twk/sys/fd.h"
#include "twk/sys/files.h"

extern char** environ;

namespace twk::sys {
namespace {

// Frees posix_spawn's attribute and file-action objects on every way out.
struct SpawnAttrs {
  posix_spawnattr_t attr;
  posix_spawn_file_actions_t actions;
  int failed = 0;  // the error of an init that failed; then neither is used
  bool attr_made = false;
  bool actions_made = false;
  SpawnAttrs() {
    failed = posix_spawnattr_init(&attr);
    attr_made = failed == 0;
    if (failed == 0) {
      failed = posix_spawn_file_actions_init(&actions);
      actions_made = failed == 0;
    }
  }
  ~SpawnAttrs() {
    if (actions_made) posix_spawn_file_actions_destroy(&actions);
    if (attr_made) posix_spawnattr_destroy(&attr);
  }
  SpawnAttrs(const SpawnAttrs&) = delete;
  SpawnAttrs& operator=(const SpawnAttrs&) = delete;
};

}  // namespace

std::optional<int> Child::poll() {
  int status = 0;
  pid_t r = ::waitpid(pid_, &status, WNOHANG);
  if (r == pid_) return status;
  return std::nullopt;
}

void Child::kill() { (void)::kill(pid_, SIGKILL); }

Result<Child> spawn(const SpawnSpec& spec) {
  SpawnAttrs s;
  if (s.failed != 0) return Failure{os_error_text(s.failed)};
  // The first set-up call that fails; each is checked, since a child
  // started without, say, its descriptors closed would keep the host's
  // pipes open for as long as Core runs.
  int failed = 0;
  auto check = [&failed](int rc) {
    if (failed == 0 && rc != 0) failed = rc;
  };
  sigset_t empty, pipe_only;
  sigemptyset(&empty);
  sigemptyset(&pipe_only);
  sigaddset(&pipe_only, SIGPIPE);
  check(posix_spawnattr_setsigmask(&s.attr, &empty));
  // The hook ignores SIGPIPE and ignored signals survive exec; Core gets the
  // default back.
  check(posix_spawnattr_setsigdefault(&s.attr, &pipe_only));
  check(posix_spawnattr_setpgroup(&s.attr, 0));
  check(posix_spawnattr_setflags(&s.attr, POSIX_SPAWN_SETSIGMASK |
                                              POSIX_SPAWN_SETSIGDEF |
                                              POSIX_SPAWN_SETPGROUP));

  check(posix_spawn_file_actions_adddup2(&s.actions, spec.stdout_fd,
                                         STDOUT_FILENO));
  check(posix_spawn_file_actions_adddup2(&s.actions, spec.stderr_fd,
                                         STDERR_FILENO));
  check(posix_spawn_file_actions_addopen(&s.actions, STDIN_FILENO, "/dev/null",
                                         O_RDONLY, 0));
  // Our own descriptors are all close-on-exec, but the hook may have
  // inherited open descriptors from the agent host. Core outlives the hook,
  // and a host that waits for end-of-file on the hook's pipes would hang on
  // any copy Core kept.
  check(posix_spawn_file_actions_addclosefrom_np(&s.actions, 3));
  if (failed != 0) return Failure{os_error_text(failed)};

  std::vector<std::string> env_storage;
  for (char** e = environ; e && *e; ++e) {
    std::string entry(*e);
    bool overridden = false;
    for (const auto& [name, value] : spec.env_overrides) {
      if (entry.size() > name.size() && entry.compare(0, name.size(), name) == 0 &&
          entry[name.size()] == '=') {
        overridden = true;
      }
    }
    if (!overridden) env_storage.push_back(std::move(entry));
  }
  for (const auto& [name, value] : spec.env_overrides) {
    env_storage.push_back(name + "=" + value);
  }

  std::vector<char*> argv;
  argv.push_back(const_cast<char*>(spec.program.c_str()));
  for (const std::string& a : spec.args) argv.push_back(const_cast<char*>(a.c_str()));
  argv.push_back(nullptr);
  std::vector<char*> envp;
  for (std::string& e : env_storage) envp.push_back(e.data());
  envp.push_back(nullptr);

  pid_t pid = -1;
  int rc = posix_spawnp(&pid, spec.program.c_str(), &s.actions, &s.attr,
                        argv.data(), envp.data());
  if (rc != 0) return Failure{os_error_text(rc)};
  return Child(pid);
}

std::optional<std::string> own_process_executable(std::uint32_t pid) {
  // Owner and image are read through one descriptor of /proc/{pid}, so both
  // describe the same process even if the pid is reused in between. The
  // directory belongs to the process's effective uid (root when the process
  // made itself non-dumpable).
  UniqueFd dir(::open(("/proc/" + std::to_string(pid)).c_str(),
                      O_RDONLY | O_DIRECTORY | O_CLOEXEC));
  if (!dir.valid()) return std::nullopt;
  struct stat st;
  if (::fstat(dir.get(), &st) != 0 || st.st_uid != ::geteuid()) {
    return std::nullopt;
  }
  return read_link_at(dir.get(), "exe");
}

const char* signal_name(int signo) {
  static constexpr const char* kNames[] = {
      nullptr,   "SIGHUP",  "SIGINT",    "SIGQUIT", "SIGILL",    "SIGTRAP",
      "SIGABRT", "SIGBUS",  "SIGFPE",    "SIGKILL", "SIGUSR1",   "SIGSEGV",
      "SIGUSR2", "SIGPIPE", "SIGALRM",   "SIGTERM", "SIGSTKFLT", "SIGCHLD",
      "SIGCONT", "SIGSTOP", "SIGTSTP",   "SIGTTIN", "SIGTTOU",   "SIGURG",
      "SIGXCPU", "SIGXFSZ", "SIGVTALRM", "SIGPROF", "SIGWINCH",  "SIGIO",
      "SIGPWR",  "SIGSYS"};
  if (signo < 1 || signo > 31) return nullptr;
  return kNames[signo];
}

std::string exit_status_text(int status) {
  if (WIFEXITED(status)) {
    return "exit status: " + std::to_string(WEXITSTATUS(status));
  }
  if (WIFSIGNALED(status)) {
    int signo = WTERMSIG(status);
    std::string text = "signal: " + std::to_string(signo);
    if (const char* name = signal_name(signo)) {
      text += " (";
      text += name;
      text += ')';
    }
    if (WCOREDUMP(status)) text += " (core dumped)";
    return text;
  }
  return "exit status: unknown";
}

}  // namespace twk::sys
