// Core start-up under the start lock.
#include "start/launch.h"

#include <errno.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <signal.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <optional>

#include "http/client.h"
#include "twk/sys/dir_watch.h"
#include "twk/sys/error.h"
#include "twk/sys/fd.h"
#include "twk/sys/files.h"
#include "twk/sys/process.h"

namespace twk::start {
namespace {

using namespace std::chrono_literals;

constexpr auto kStartBudget = 5s;
constexpr auto kLockPoll = 20ms;
constexpr auto kAbandonedLockAge = 30s;
constexpr auto kWaitPoll = 25ms;
constexpr char kLoopback[] = "127.0.0.1";
// What the hook creates (the state directory and its ancestors, the lock,
// logs/ and the log) is its user's alone, whatever the umask: the log
// holds what Core says about every call, and a directory others may write
// into lets them plant records and links.
constexpr mode_t kDirMode = 0700;
constexpr mode_t kLogMode = 0600;
constexpr char kLogDirName[] = "logs";
constexpr char kLogName[] = "backend.log";
constexpr int kProbeBacklog = 128;

// The held start lock; removing the directory releases it.
class StartLock {
 public:
  explicit StartLock(std::string path) : path_(std::move(path)) {}
  ~StartLock() {
    // Nothing to do about a failed removal: a lock left behind is broken by
    // the first start that finds it older than 30 s.
    (void)::rmdir(path_.c_str());
  }
  StartLock(const StartLock&) = delete;
  StartLock& operator=(const StartLock&) = delete;

 private:
  std::string path_;
};

bool healthy(const Endpoint& endpoint, sys::Instant budget) {
  http::RequestResult r = http::request(endpoint.address, "GET", "/health",
                                        std::nullopt, {}, budget);
  auto* response = std::get_if<http::Response>(&r);
  return response && response->status == 200;
}

// Tries the lock until it is taken or the budget runs out.
Status take_lock(const std::string& lock_path, sys::Instant budget) {
  for (;;) {
    if (sys::now() >= budget) {
      return Failure{"another start of Core is taking too long"};
    }
    int err = sys::make_dir(lock_path, kDirMode);
    if (err == 0) return Ok{};
    if (err != EEXIST) {
      return Failure{"couldn't take Core's start lock: " +
                     sys::os_error_text(err)};
    }
    struct stat st;
    if (::stat(lock_path.c_str(), &st) == 0) {
      auto modified = std::chrono::system_clock::time_point(
          std::chrono::duration_cast<std::chrono::system_clock::duration>(
              std::chrono::seconds(st.st_mtim.tv_sec) +
              std::chrono::nanoseconds(st.st_mtim.tv_nsec)));
      auto wall = std::chrono::system_clock::now();
      // A lock far in the future was not made by a live holder just now:
      // its holder died before the wall clock was set back. Waiting for
      // the clock to catch up would block every start until then, so it
      // counts as abandoned like an old one. One only a little ahead is
      // waited on (clocks of one machine may step by a few seconds).
      auto skew = modified > wall ? modified - wall : wall - modified;
      if (skew > kAbandonedLockAge) {
        // Left by a hook that died holding it. The removal may fail or race
        // with another hook doing the same; either way the next mkdir
        // decides who holds the lock.
        (void)::rmdir(lock_path.c_str());
        continue;
      }
    }
    sys::sleep_for(kLockPoll);
  }
}

// A port that nothing listens on right now (not reserved: Core binds it).
Result<std::uint16_t> free_port() {
  auto fail = [](int err) {
    return Failure{"no free port for Core: " + sys::os_error_text(err)};
  };
  sys::UniqueFd probe(::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0));
  if (!probe.valid()) return fail(errno);
  int one = 1;
  (void)::setsockopt(probe.get(), SOL_SOCKET, SO_REUSEADDR, &one, sizeof one);
  net::SocketAddress address = net::loopback_v4(0);
  if (::bind(probe.get(), address.get(), address.length) != 0) return fail(errno);
  if (::listen(probe.get(), kProbeBacklog) != 0) return fail(errno);
  sockaddr_in bound{};
  socklen_t length = sizeof bound;
  if (::getsockname(probe.get(), reinterpret_cast<sockaddr*>(&bound),
                    &length) != 0) {
    return fail(errno);
  }
  return static_cast<std::uint16_t>(ntohs(bound.sin_port));
}

// Moves `fd` above the standard descriptors, so that the child's dup2s onto
// 1 and 2 cannot clobber it when the hook was started with some of 0, 1, 2
// closed.
sys::UniqueFd above_standard(sys::UniqueFd fd) {
  if (fd.get() > STDERR_FILENO) return fd;
  return sys::UniqueFd(::fcntl(fd.get(), F_DUPFD_CLOEXEC, STDERR_FILENO + 1));
}

// Spawns Core and waits for its record and a healthy /health.
Result<Endpoint> launch(const HookConfig& config, const std::string& binary,
                        sys::Instant budget) {
  Result<std::uint16_t> port = free_port();
  if (!port) return Failure{port.reason()};

  auto log_failure = [](int err) {
    return Failure{"couldn't open Core's log: " + sys::os_error_text(err)};
  };
  std::string logs = sys::join_path(config.state_dir, kLogDirName);
  (void)sys::make_dirs(logs, kDirMode);  // the opens below report problems
  // Neither logs/ nor the log is followed when it is a symbolic link: a
  // link planted there would have Core's output appended to, or a log
  // created in, whatever file it names.
  sys::UniqueFd logs_dir = sys::open_dir_no_follow(logs);
  if (!logs_dir.valid()) return log_failure(errno);
  // O_NONBLOCK so that a FIFO in the log's place cannot block the open
  // until some reader appears; it is cleared again before Core gets the
  // handle as its standard output and error.
  sys::UniqueFd log = sys::open_or_create_at(
      logs_dir.get(), kLogName, O_WRONLY | O_APPEND | O_NONBLOCK, kLogMode);
  if (!log.valid()) return log_failure(errno);
  logs_dir.reset();
  (void)::fcntl(log.get(), F_SETFL, O_APPEND);
  log = above_standard(std::move(log));
  if (!log.valid()) return Failure{sys::os_error_text(errno)};
  sys::UniqueFd log_dup(::fcntl(log.get(), F_DUPFD_CLOEXEC, STDERR_FILENO + 1));
  if (!log_dup.valid()) return Failure{sys::os_error_text(errno)};

  sys::SpawnSpec spec;
  spec.program = binary;
  spec.args = {"--host",      kLoopback,
               "--port",      std::to_string(port.value()),
               "--idle-exit", std::to_string(config.core_idle_exit)};
  spec.env_overrides = {{"TWK_ENDPOINT_FILE", config.endpoint_file}};
  spec.stdout_fd = log_dup.get();
  spec.stderr_fd = log.get();
  // The child must stay ours to wait for. Under a host that ignores
  // SIGCHLD (an ignored disposition survives exec) the kernel would reap it
  // at once: its exit would go unseen until the budget ran out, and the
  // SIGKILL at that point could reach another process that got its pid.
  (void)::signal(SIGCHLD, SIG_DFL);
  // Watched from before the spawn, so that a record written at once is
  // not missed: the wait below wakes as soon as it appears.
  std::optional<std::string> record_dir = sys::parent_path(config.endpoint_file);
  sys::DirectoryWatch record_changes(
      record_dir && !record_dir->empty() ? *record_dir : std::string("."));
  Result<sys::Child> child = sys::spawn(spec);
  log_dup.reset();
  log.reset();
  if (!child) {
    return Failure{"couldn't start Core at " + sys::display_path(binary) +
                   ": " + child.reason()};
  }

  for (;;) {
    if (sys::now() >= budget) {
      child->kill();
      return Failure{"Core didn't start in time"};
    }
    if (std::optional<int> status = child->poll()) {
      return Failure{"Core exited while starting (" +
                     sys::exit_status_text(*status) + ")"};
    }
    // Only the process we started counts: a record left by an older Core,
    // or one naming a forked child, is not our Core.
    std::optional<Endpoint> endpoint = read_endpoint(config.endpoint_file);
    if (endpoint && endpoint->pid &&
        static_cast<pid_t>(*endpoint->pid) == child->pid() &&
        healthy(*endpoint, budget)) {
      return *endpoint;
    }
    // Woken by the record's directory; kWaitPoll bounds the wait, also to
    // notice a child that exited.
    record_changes.wait(
        std::min<sys::Duration>(kWaitPoll, sys::time_left(budget)));
  }
}

}  // namespace

Result<Endpoint> start_core(const HookConfig& config, const std::string& binary,
                            const std::string& expected_executable,
                            sys::Instant deadline) {
  sys::Instant budget = sys::earliest(sys::now() + kStartBudget, deadline);
  std::string lock_path = config.endpoint_file + ".start-lock";
  if (std::optional<std::string> parent = sys::parent_path(lock_path);
      parent && !parent->empty()) {
    (void)sys::make_dirs(*parent, kDirMode);  // mkdir of the lock reports
  }
  Status taken = take_lock(lock_path, budget);
  if (!taken) return Failure{taken.reason()};
  StartLock lock(lock_path);

  // Another hook may have started Core while this one waited.
  if (std::optional<Endpoint> live =
          live_endpoint(config.endpoint_file, expected_executable);
      live && healthy(*live, budget)) {
    return *live;
  }
  (void)::unlink(config.endpoint_file.c_str());  // stale or absent
  return launch(config, binary, budget);
}

}  // namespace twk::start
