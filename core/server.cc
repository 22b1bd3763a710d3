// The listening socket, the worker threads that accept connections and
// answer each one's request through Routes, and the main loop that watches
// the idle deadline, the stop signals and the endpoint record.
#include "server.h"

#include <arpa/inet.h>
#include <errno.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <signal.h>
#include <sys/epoll.h>
#include <sys/resource.h>
#include <sys/eventfd.h>
#include <sys/signalfd.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <condition_variable>
#include <exception>
#include <functional>
#include <future>
#include <map>
#include <mutex>
#include <thread>
#include <variant>

#include "audit.h"
#include "http_request.h"
#include "log.h"
#include "options.h"
#include "policy.h"
#include "connection.h"
#include "listener.h"
#include "record.h"
#include "twk/endpoint_record.h"
#include "twk/net/address.h"
#include "routes.h"
#include "twk/sys/error.h"
#include "twk/sys/fd.h"
#include "twk/sys/process.h"

namespace twk::core {
namespace {

using Steady = std::chrono::steady_clock;
using std::chrono::duration_cast;
using std::chrono::milliseconds;

// Connections served at once, one per worker thread; more wait in the
// backlog. Each holds its worker for at most its request, send and linger
// times (connection.cc, listener.cc).
constexpr std::size_t kMaxConnections = 64;
// Workers kept waiting for connections. A new connection is taken by a
// worker that is already waiting, on the thread the kernel wakes for it:
// creating a thread or handing the connection to another one costs about
// 100 microseconds on a small virtual machine, more than answering it.
constexpr std::size_t kSpareWorkers = 2;
// A worker beyond the spares ends after waiting this long for work.
constexpr int kSpareWorkerIdleMs = 30 * 1000;
// The main loop re-checks at least this often; poll() takes int ms.
constexpr Steady::duration kLongestWait = std::chrono::hours(1);
// After a failed accept for want of descriptors or memory, a pause before
// the next try.
constexpr Steady::duration kBusyRecheck = std::chrono::milliseconds(10);
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

// What the main loop and the workers share. Lives in serve(), which waits
// for every worker before returning.
struct Shared {
  Shared(const Routes& r, int listener_fd, int stop_fd)
      : routes(r), listener(listener_fd), stop(stop_fd) {}

  const Routes& routes;
  const int listener;  // non-blocking
  const int stop;      // an eventfd, readable once the workers are to end
  std::atomic<Steady::rep> last_activity{0};
  std::mutex mutex;
  std::condition_variable all_done;
  // Guarded by mutex:
  std::size_t workers = 0;  // threads running worker()
  std::size_t waiting = 0;  // workers waiting for a connection
  std::size_t active = 0;   // connections being served
  IdleConnections idle;  // has its own lock

  void touch() {
    last_activity.store(Steady::now().time_since_epoch().count());
  }
  Steady::time_point last() const {
    return Steady::time_point(Steady::duration(last_activity.load()));
  }
};

// Serves one accepted connection, with the bookkeeping around it.
void serve_connection(int fd, Shared& shared) {
  serve_connection(sys::UniqueFd(fd), shared.routes, shared.idle);
  shared.touch();
  std::lock_guard<std::mutex> lock(shared.mutex);
  --shared.active;
}

void worker(Shared* shared);

// Starts one more worker; false when no thread could be had. Called with
// shared.mutex held.
bool add_worker_locked(Shared& shared) {
  try {
    std::thread(worker, &shared).detach();
  } catch (const std::system_error&) {
    return false;
  }
  ++shared.workers;
  return true;
}

// A worker waits for a connection (in its own epoll set, so that the kernel
// wakes one waiting worker per connection rather than all of them), accepts
// it and serves it on its own thread. Before serving, it starts another
// worker if it was the last one waiting, so that a slow client never holds
// up the next connection. It ends when told to stop, or when it has waited
// long enough while other workers wait too.
void worker(Shared* shared_ptr) {
  Shared& shared = *shared_ptr;
  sys::UniqueFd poller(::epoll_create1(EPOLL_CLOEXEC));
  bool ready = false;
  if (poller.valid()) {
    epoll_event on_listener{};
    on_listener.events = EPOLLIN | EPOLLEXCLUSIVE;
    on_listener.data.fd = shared.listener;
    epoll_event on_stop{};
    on_stop.events = EPOLLIN;
    on_stop.data.fd = shared.stop;
    ready =
        ::epoll_ctl(poller.get(), EPOLL_CTL_ADD, shared.listener,
                    &on_listener) == 0 &&
        ::epoll_ctl(poller.get(), EPOLL_CTL_ADD, shared.stop, &on_stop) == 0;
  }
  std::unique_lock<std::mutex> lock(shared.mutex);
  while (ready) {
    ++shared.waiting;
    lock.unlock();
    epoll_event events[2];
    int n = ::epoll_wait(poller.get(), events, 2, kSpareWorkerIdleMs);
    const bool wait_failed = n < 0 && errno != EINTR;
    bool stop = false;
    bool incoming = false;
    for (int i = 0; i < n; ++i) {
      if (events[i].data.fd == shared.stop) stop = true;
      if (events[i].data.fd == shared.listener) incoming = true;
    }
    int fd = -1;
    if (incoming && !stop) {
      fd = ::accept4(shared.listener, nullptr, nullptr, SOCK_CLOEXEC);
      if (fd < 0 && (errno == EMFILE || errno == ENFILE || errno == ENOBUFS ||
                     errno == ENOMEM)) {
        // The connection stays queued and the listener readable; pause
        // instead of spinning on it.
        std::this_thread::sleep_for(kBusyRecheck);
      }
      // EAGAIN: another worker took it; others (ECONNABORTED): next one.
    }
    lock.lock();
    --shared.waiting;
    if (stop || wait_failed) break;
    if (fd < 0) {
      if (n == 0 && shared.waiting >= kSpareWorkers) break;  // not needed
      continue;
    }
    ++shared.active;
    if (shared.waiting == 0 && shared.workers < kMaxConnections) {
      (void)add_worker_locked(shared);
    }
    lock.unlock();
    shared.touch();
    serve_connection(fd, shared);
    lock.lock();
  }
  // The last thing a worker touches is the shared count, under the lock, so
  // serve() may return once it reads zero.
  if (--shared.workers == 0) shared.all_done.notify_all();
}

// Tells every worker to stop once its connection is answered, and waits,
// on every way out of serve(), until none is left: they all refer to the
// Shared that is about to go.
class StopWorkers {
 public:
  explicit StopWorkers(Shared& shared) : shared_(shared) {}
  ~StopWorkers() {
    stop();
    std::unique_lock<std::mutex> lock(shared_.mutex);
    shared_.all_done.wait(lock, [this] { return shared_.workers == 0; });
  }
  StopWorkers(const StopWorkers&) = delete;
  StopWorkers& operator=(const StopWorkers&) = delete;

  // Tells the workers to end; they do once their connections are answered.
  void stop() {
    std::uint64_t one = 1;
    // An eventfd stays readable until read, and no one reads it: every
    // worker sees it, now or when it next waits.
    while (::write(shared_.stop, &one, sizeof one) < 0 && errno == EINTR) {
    }
  }

 private:
  Shared& shared_;
};

// Runs until a stop signal, the idle deadline or the loss of the endpoint
// record; returns why it stopped.
std::string watch(int signal_fd, Shared& shared, Steady::duration idle,
                  const std::string& record_path,
                  const Endpoint& record) {
  Steady::time_point next_record_check = Steady::now() + kRecordCheck;
  for (;;) {
    if (Steady::now() >= next_record_check) {
      RecordOwner owner = record_owner(record_path, record);
      if (owner == RecordOwner::kOther) {
        return "the endpoint record no longer names this Core";
      }
      if (owner == RecordOwner::kTampered) {
        // Whoever rewrote it knows the token: stop, so that the next hook
        // starts a Core with a fresh token and an honest record (the
        // tampered one is removed on the way out).
        return "the endpoint record was changed by someone else";
      }
      next_record_check = Steady::now() + kRecordCheck;
    }
    std::size_t active;
    bool saturated;
    {
      std::lock_guard<std::mutex> lock(shared.mutex);
      active = shared.active;
      // Every worker busy and none to be added: connections that only wait
      // make way for those queued behind them.
      saturated =
          shared.waiting == 0 && shared.workers >= kMaxConnections;
    }
    if (saturated && !shared.idle.empty() &&
        connections_queued(shared.listener)) {
      shared.idle.shut_down_idle_since(Steady::now() - kIdleEvictAge);
    }
    Steady::duration wait = kLongestWait;
    if (idle > Steady::duration::zero()) {
      // A request in progress is activity, however long it takes.
      Steady::duration left =
          active > 0 ? idle : shared.last() + idle - Steady::now();
      if (left <= Steady::duration::zero()) {
        return "idle for " +
               std::to_string(
                   duration_cast<std::chrono::seconds>(idle).count()) +
               "s";
      }
      wait = std::min(wait, left);
    }
    wait = std::min(wait, next_record_check - Steady::now());
    if (saturated) wait = std::min(wait, kSaturatedCheck);

    pollfd fds[1] = {{signal_fd, POLLIN, 0}};
    int ready = ::poll(fds, 1, poll_timeout_ms(wait));
    if (ready < 0 && errno != EINTR) {
      return "waiting for signals failed: " + sys::os_error_text(errno);
    }
    if (ready <= 0) continue;
    signalfd_siginfo info;
    if (::read(signal_fd, &info, sizeof info) == sizeof info) {
      const char* name = sys::signal_name(static_cast<int>(info.ssi_signo));
      return std::string("received ") + (name ? name : "a signal");
    }
  }
}

Status serve_blocked(const ServerConfig& config,
                                         const sigset_t& signals) {
  PolicyConfig policy_config;
  policy_config.managed_path = kManagedPolicyPath;
  policy_config.user_path = config.policy_path;
  policy_config.user_path_given = config.policy_path_given;
  policy_config.facts = config.check_facts;
  policy_config.log = [](std::string_view line) { log_message(line); };
  Policy policy(std::move(policy_config));
  // Reading the policy (YAML, compiling its patterns) takes about a
  // millisecond. It runs on a thread of its own from the start, so that
  // binding, publishing the record and answering the hook's health check
  // need not wait for it; the first policy request does, if it comes first.
  // Declared after `policy`, so that leaving this function waits for it
  // before `policy` goes.
  std::future<void> loading;
  try {
    loading = std::async(std::launch::async, [&policy] { policy.load(); });
  } catch (const std::system_error&) {
    // No thread to be had: the first request reads the policy.
  }

  // Bind before anything is published: a record must only ever name a port
  // that this process holds.
  Result<sys::UniqueFd> listener = open_listener(config.host, config.port);
  if (!listener) return Failure{listener.reason()};
  Result<std::uint16_t> port = bound_port(listener->get());
  if (!port) return Failure{port.reason()};

  sys::UniqueFd signal_fd(::signalfd(-1, &signals, SFD_CLOEXEC | SFD_NONBLOCK));
  if (!signal_fd.valid()) {
    return Failure{"couldn't watch for stop signals: " +
                   sys::os_error_text(errno)};
  }
  sys::UniqueFd stop_fd(::eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK));
  if (!stop_fd.valid()) {
    return Failure{"couldn't create an event descriptor: " +
                   sys::os_error_text(errno)};
  }
  Result<std::string> token = random_token();
  if (!token) return Failure{token.reason()};

  std::optional<net::SocketAddress> address =
      net::host_address(config.host, *port);
  if (!address) return Failure{"not a numeric address: " + config.host};
  Endpoint record{*address, *token, static_cast<std::uint32_t>(::getpid())};
  Status written = write_endpoint_record(config.record_path,
                                         endpoint_record_text(record));
  if (!written) return written;
  // Clamped so that the idle deadline fits the monotonic clock's range.
  std::uint64_t idle_seconds =
      std::min(config.idle_exit_seconds, kMaxIdleExitSeconds);
  log_message("started: pid " + std::to_string(*record.pid) + ", " +
              endpoint_url(record.address) +
              ", record " + log_field(config.record_path) + ", idle exit " +
              (idle_seconds == 0 ? std::string("off")
                                 : std::to_string(idle_seconds) + "s"));

  AuditLog audit(config.audit_path,
                 [](std::string_view line) { log_message(line); },
                 audit_rotation_from_env(), audit_syslog_from_env());
  Routes routes(*token, policy, &audit);
  Shared shared(routes, listener->get(), stop_fd.get());
  shared.touch();
  std::string reason;
  {
    // Requests in progress still get their replies: leaving this block
    // stops the workers and waits for them, each bounded by its timeouts.
    StopWorkers stop_workers(shared);
    bool started = false;
    {
      std::lock_guard<std::mutex> lock(shared.mutex);
      for (std::size_t i = 0; i < kSpareWorkers; ++i) {
        started = add_worker_locked(shared) || started;
      }
    }
    try {
      reason = started ? watch(signal_fd.get(), shared,
                               std::chrono::seconds(idle_seconds),
                               config.record_path, record)
                       : "couldn't start a worker thread";
    } catch (const std::exception& e) {
      reason = "unexpected failure: ";
      reason += e.what();
    }
    // Withdraw the record before the socket stops listening, so that it
    // never names a port that refuses connections for longer than this
    // takes. Shutting the listener down (rather than closing it while the
    // workers still watch it) refuses new connections and drops those not
    // yet accepted.
    (void)remove_record_if_ours(config.record_path, record);
    log_message("stopping: " + reason);
    stop_workers.stop();
    (void)::shutdown(listener->get(), SHUT_RD);
  }
  listener->reset();
  log_message("stopped");
  return Ok{};
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
  if (::getrlimit(RLIMIT_NOFILE, &files) == 0 && files.rlim_cur < files.rlim_max) {
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
