// Core's life as a server: reading the policy, binding, starting the
// workers (connection_workers.h), publishing the endpoint record, the main
// loop that watches the idle deadline, the stop signals and the record,
// and stopping in order.
#include "server.h"

#include <errno.h>
#include <poll.h>
#include <signal.h>
#include <sys/resource.h>
#include <sys/signalfd.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <exception>
#include <future>
#include <optional>
#include <system_error>
#include <utility>

#include "audit.h"
#include "connection.h"
#include "connection_workers.h"
#include "listener.h"
#include "log.h"
#include "options.h"
#include "policy.h"
#include "record.h"
#include "routes.h"
#include "twk/endpoint_record.h"
#include "twk/net/address.h"
#include "twk/sys/error.h"
#include "twk/sys/fd.h"
#include "twk/sys/process.h"

namespace twk::core {
namespace {

using Steady = std::chrono::steady_clock;

// The main loop re-checks at least this often; poll() takes int ms.
constexpr Steady::duration kLongestWait = std::chrono::hours(1);
// When every worker is busy and connections wait to be accepted, a
// connection that has sent no whole request head for this long (or is only
// being drained after its reply) gives its worker up. A hook sends its
// head the moment it connects, so only stalled or hostile peers wait this
// long; without this, a few hundred idle connections from any local
// process would hold every worker for the whole request timeout.
constexpr Steady::duration kIdleEvictAge = std::chrono::milliseconds(100);
// How often the main loop looks for such connections while it is full.
constexpr Steady::duration kSaturatedCheck = std::chrono::milliseconds(10);
// How often Core checks that its endpoint record still names it.
constexpr Steady::duration kRecordCheck = std::chrono::seconds(1);

// What the main loop watches.
struct Watched {
  int signal_fd;
  int listener;
  Steady::duration idle;  // zero: never stop for idleness
  const std::string& record_path;
  const Endpoint& record;
  ConnectionWorkers& workers;
  IdleConnections& idle_connections;
};

// Why the endpoint record means Core must stop, or null.
const char* record_stop_reason(const Watched& w) {
  switch (record_owner(w.record_path, w.record)) {
    case RecordOwner::kOther:
      return "the endpoint record no longer names this Core";
    case RecordOwner::kTampered:
      // Whoever rewrote it knows the token: stop, so that the next hook
      // starts a Core with a fresh token and an honest record (the
      // tampered one is removed on the way out).
      return "the endpoint record was changed by someone else";
    case RecordOwner::kThis:
    case RecordOwner::kUnknown:
      break;
  }
  return nullptr;
}

// When every worker is busy and none can be added, connections that only
// wait make way for those queued behind them. True while saturated.
bool make_way(const Watched& w) {
  if (!w.workers.saturated()) return false;
  if (!w.idle_connections.empty() && connections_queued(w.listener)) {
    w.idle_connections.shut_down_idle_since(Steady::now() - kIdleEvictAge);
  }
  return true;
}

// Waits up to `wait` for a stop signal: its name when one came, nothing
// when none did, a failure when the wait itself failed.
Result<std::optional<std::string>> wait_for_signal(int signal_fd,
                                                   Steady::duration wait) {
  pollfd fds[1] = {{signal_fd, POLLIN, 0}};
  int ready = ::poll(fds, 1, poll_timeout_ms(wait));
  if (ready < 0 && errno != EINTR) {
    return Failure{"waiting for signals failed: " + sys::os_error_text(errno)};
  }
  signalfd_siginfo info;
  if (ready <= 0 || ::read(signal_fd, &info, sizeof info) != sizeof info) {
    return std::optional<std::string>();
  }
  const char* name = sys::signal_name(static_cast<int>(info.ssi_signo));
  return std::optional<std::string>(std::string("received ") +
                                    (name ? name : "a signal"));
}

// Runs until a stop signal, the idle deadline or the loss of the endpoint
// record, and says which; a failure when it could not watch.
Result<std::string> watch(const Watched& w) {
  Steady::time_point next_record_check = Steady::now() + kRecordCheck;
  for (;;) {
    if (Steady::now() >= next_record_check) {
      if (const char* reason = record_stop_reason(w)) {
        return std::string(reason);
      }
      next_record_check = Steady::now() + kRecordCheck;
    }
    // Workers that ended after idling are joined here too, not only when
    // the next one starts, so their stacks go back soon after a burst.
    w.workers.reap();
    const bool saturated = make_way(w);
    Steady::duration wait =
        std::min(kLongestWait, next_record_check - Steady::now());
    if (w.idle > Steady::duration::zero()) {
      // A request in progress is activity, however long it takes.
      Steady::duration left = w.workers.counts().active > 0
                                  ? w.idle
                                  : w.workers.last_activity() + w.idle -
                                        Steady::now();
      if (left <= Steady::duration::zero()) {
        auto seconds =
            std::chrono::duration_cast<std::chrono::seconds>(w.idle).count();
        return "idle for " + std::to_string(seconds) + "s";
      }
      wait = std::min(wait, left);
    }
    if (saturated) wait = std::min(wait, kSaturatedCheck);
    Result<std::optional<std::string>> signal =
        wait_for_signal(w.signal_fd, wait);
    if (!signal) return Failure{signal.reason()};
    if (*signal) return std::move(**signal);
  }
}

PolicyConfig policy_config(const ServerConfig& config) {
  PolicyConfig out;
  out.managed_path = kManagedPolicyPath;
  out.user_path = config.policy_path;
  out.user_path_given = config.policy_path_given;
  out.facts = config.check_facts;
  out.log = [](std::string_view line) { log_message(line); };
  return out;
}

// Reading the policy (YAML, compiling its patterns) takes about a
// millisecond. It runs on a thread of its own from the start, so that
// binding, publishing the record and answering the hook's health check
// need not wait for it; the first policy request does, if it comes first.
std::future<void> load_in_background(Policy& policy) {
  try {
    return std::async(std::launch::async, [&policy] { policy.load(); });
  } catch (const std::system_error&) {
    return {};  // no thread to be had: the first request reads the policy
  }
}

// The bound listener and the record that will name it.
struct Bound {
  sys::UniqueFd listener;
  Endpoint record;
};

// Binds and makes the record (with a fresh token), but publishes nothing:
// a record must only ever name a port that this process holds and serves.
Result<Bound> bind(const ServerConfig& config) {
  Result<sys::UniqueFd> listener = open_listener(config.host, config.port);
  if (!listener) return Failure{listener.reason()};
  Result<std::uint16_t> port = bound_port(listener->get());
  if (!port) return Failure{port.reason()};
  Result<std::string> token = random_token();
  if (!token) return Failure{token.reason()};
  std::optional<net::SocketAddress> address =
      net::host_address(config.host, *port);
  if (!address) return Failure{"not a numeric address: " + config.host};
  return Bound{std::move(*listener),
               Endpoint{*address, *token,
                        static_cast<std::uint32_t>(::getpid())}};
}

// Serves with the workers started, from publishing the record to stopping
// in order. Ok after a clean stop, else why serving failed.
Status publish_and_watch(const ServerConfig& config, Bound& bound,
                         int signal_fd, ConnectionWorkers& workers,
                         IdleConnections& idle) {
  Status written = write_endpoint_record(config.record_path,
                                         endpoint_record_text(bound.record));
  if (!written) return written;
  // Clamped so that the idle deadline fits the monotonic clock's range.
  std::uint64_t idle_seconds =
      std::min(config.idle_exit_seconds, kMaxIdleExitSeconds);
  log_message("started: pid " + std::to_string(*bound.record.pid) + ", " +
              endpoint_url(bound.record.address) + ", record " +
              log_field(config.record_path) + ", idle exit " +
              (idle_seconds == 0 ? std::string("off")
                                 : std::to_string(idle_seconds) + "s"));
  Result<std::string> stopped = Failure{"unexpected failure"};
  try {
    stopped = watch({signal_fd, bound.listener.get(),
                     std::chrono::seconds(idle_seconds), config.record_path,
                     bound.record, workers, idle});
  } catch (const std::exception& e) {
    stopped = Failure{std::string("unexpected failure: ") + e.what()};
  }
  // Withdraw the record before the socket stops listening, so that it never
  // names a port that refuses connections for longer than this takes.
  (void)remove_record_if_ours(config.record_path, bound.record);
  log_message("stopping: " + (stopped ? *stopped : stopped.reason()));
  // Requests in progress still get their replies: the workers end once
  // theirs are answered, each bounded by its timeouts. Shutting the
  // listener down (rather than closing it while the workers still watch
  // it) refuses new connections and drops those not yet accepted.
  workers.stop();
  (void)::shutdown(bound.listener.get(), SHUT_RD);
  workers.join();
  bound.listener.reset();
  log_message("stopped");
  if (!stopped) return Failure{stopped.reason()};
  return Ok{};
}

Status serve_blocked(const ServerConfig& config, const sigset_t& signals) {
  Policy policy(policy_config(config));
  // Declared after `policy`, so that leaving this function waits for the
  // load before `policy` goes.
  std::future<void> loading = load_in_background(policy);

  sys::UniqueFd signal_fd(::signalfd(-1, &signals, SFD_CLOEXEC | SFD_NONBLOCK));
  if (!signal_fd.valid()) {
    return Failure{"couldn't watch for stop signals: " +
                   sys::os_error_text(errno)};
  }
  Result<Bound> bound = bind(config);
  if (!bound) return Failure{bound.reason()};

  AuditLog audit(config.audit_path,
                 [](std::string_view line) { log_message(line); },
                 audit_rotation_from_env(), audit_syslog_from_env());
  Routes routes(bound->record.token, policy, &audit);
  IdleConnections idle;
  WorkerSettings settings;
  settings.listener = bound->listener.get();
  settings.serve = [&routes, &idle](sys::UniqueFd fd) {
    serve_connection(std::move(fd), routes, idle);
  };
  // Declared last: destroyed (stopped and joined) first, on every way out.
  ConnectionWorkers workers(std::move(settings));
  // Started before the record is published, so that a Core without workers
  // fails without ever being named.
  if (Status started = workers.start(); !started) {
    return Failure{"couldn't start the workers: " + started.reason()};
  }
  return publish_and_watch(config, *bound, signal_fd.get(), workers, idle);
}

}  // namespace

Status serve(const ServerConfig& config) {
  sigset_t signals;
  sigemptyset(&signals);
  sigaddset(&signals, SIGTERM);
  sigaddset(&signals, SIGINT);
  sigaddset(&signals, SIGHUP);
  // Blocked before any thread exists, so that every thread inherits the
  // mask and the signals arrive only through the signalfd.
  (void)::pthread_sigmask(SIG_BLOCK, &signals, nullptr);
  // A hook that hangs up before its reply is written must not end Core.
  (void)::signal(SIGPIPE, SIG_IGN);
  // Core inherits the descriptor limit of the hook that started it, which
  // may be tiny; each connection and each audit line needs descriptors.
  rlimit files{};
  if (::getrlimit(RLIMIT_NOFILE, &files) == 0 &&
      files.rlim_cur < files.rlim_max) {
    files.rlim_cur = files.rlim_max;
    (void)::setrlimit(RLIMIT_NOFILE, &files);
  }
  try {
    return serve_blocked(config, signals);
  } catch (const std::exception& e) {
    return Failure{std::string("unexpected failure: ") + e.what()};
  }
}

}  // namespace twk::core
