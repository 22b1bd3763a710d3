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

// Enough for a burst of hooks from an agent that runs many tools at once.
constexpr int kListenBacklog = 128;
// Connections served at once, one per worker thread; more wait in the
// backlog. Each holds its worker for at most kRequestTimeout + kSendTimeout +
// kLingerTime.
constexpr std::size_t kMaxConnections = 64;
// Workers kept waiting for connections. A new connection is taken by a
// worker that is already waiting, on the thread the kernel wakes for it:
// creating a thread or handing the connection to another one costs about
// 100 microseconds on a small virtual machine, more than answering it.
constexpr std::size_t kSpareWorkers = 2;
// A worker beyond the spares ends after waiting this long for work.
constexpr int kSpareWorkerIdleMs = 30 * 1000;
// The whole request must arrive within this time of the accept. A hook
// sends its request at once; this only bounds stalled or hostile peers.
constexpr Steady::duration kRequestTimeout = std::chrono::seconds(10);
constexpr std::chrono::seconds kSendTimeout{5};
// After the reply, unread input is drained for at most this long (or this
// many bytes) before the close: closing with unread data makes the kernel
// send a reset, which can destroy the reply before the client reads it.
constexpr Steady::duration kLingerTime = std::chrono::seconds(1);
constexpr std::size_t kLingerBytes = 64 * 1024;
constexpr std::size_t kReadChunk = 16 * 1024;
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
  // Connections that wait for their request head or drain after their
  // reply, by descriptor, with the time they started waiting. An entry is
  // removed before its descriptor is closed, so a descriptor found here is
  // still that connection's.
  std::map<int, Steady::time_point> idle;

  void touch() {
    last_activity.store(Steady::now().time_since_epoch().count());
  }
  Steady::time_point last() const {
    return Steady::time_point(Steady::duration(last_activity.load()));
  }
};

int poll_timeout_ms(Steady::duration d) {
  if (d <= Steady::duration::zero()) return 0;
  // Rounded up, so a wait never ends just before the instant it is for.
  auto ms =
      duration_cast<milliseconds>(d + std::chrono::microseconds(999)).count();
  return static_cast<int>(std::min<long long>(ms, 3600 * 1000));
}

enum class ReadStatus { kData, kClosed, kTimedOut, kFailed };

// One recv of up to `size` bytes, waiting no later than `deadline`.
// Data that has already arrived is read without a poll first.
ReadStatus read_some(int fd, char* buffer, std::size_t size,
                     Steady::time_point deadline, std::size_t& got) {
  for (;;) {
    ssize_t n = ::recv(fd, buffer, size, MSG_DONTWAIT);
    if (n > 0) {
      got = static_cast<std::size_t>(n);
      return ReadStatus::kData;
    }
    if (n == 0) return ReadStatus::kClosed;
    if (errno == EINTR) continue;
    if (errno != EAGAIN && errno != EWOULDBLOCK) return ReadStatus::kFailed;
    pollfd p{fd, POLLIN, 0};
    int ready = ::poll(&p, 1, poll_timeout_ms(deadline - Steady::now()));
    if (ready < 0 && errno == EINTR) continue;
    if (ready < 0) return ReadStatus::kFailed;
    if (ready == 0) return ReadStatus::kTimedOut;
  }
}

// Sends everything; failures (the peer left, the send timed out) end the
// exchange and are not reported, since there is no one left to tell.
void send_all(int fd, std::string_view data) {
  while (!data.empty()) {
    ssize_t n = ::send(fd, data.data(), data.size(), MSG_NOSIGNAL);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) return;
    data.remove_prefix(static_cast<std::size_t>(n));
  }
}

// Marks a connection as idle (see Shared::idle) for its lifetime, or until
// done() is called.
class IdleMark {
 public:
  IdleMark(int fd, Shared& shared) : fd_(fd), shared_(shared) {
    std::lock_guard<std::mutex> lock(shared_.mutex);
    shared_.idle[fd_] = Steady::now();
  }
  ~IdleMark() { done(); }
  IdleMark(const IdleMark&) = delete;
  IdleMark& operator=(const IdleMark&) = delete;

  void done() {
    if (fd_ < 0) return;
    std::lock_guard<std::mutex> lock(shared_.mutex);
    shared_.idle.erase(fd_);
    fd_ = -1;
  }

 private:
  int fd_;
  Shared& shared_;
};

// Shuts down the connections idle for longer than kIdleEvictAge; their
// workers see the end of input and go back to accepting. Called with
// shared.mutex held.
void evict_idle_locked(Shared& shared) {
  const Steady::time_point cutoff = Steady::now() - kIdleEvictAge;
  for (auto it = shared.idle.begin(); it != shared.idle.end();) {
    if (it->second <= cutoff) {
      (void)::shutdown(it->first, SHUT_RDWR);
      it = shared.idle.erase(it);
    } else {
      ++it;
    }
  }
}

// Ends the connection without destroying the reply: FIN first, then drain
// whatever the client still sends until it closes or the linger ends.
// Needed only when the client may still be sending: closing with unread
// input makes the kernel answer with a reset.
void linger_close(int fd, Shared& shared) {
  IdleMark idle(fd, shared);
  (void)::shutdown(fd, SHUT_WR);
  Steady::time_point deadline = Steady::now() + kLingerTime;
  char buffer[4096];
  std::size_t drained = 0;
  while (drained < kLingerBytes) {
    std::size_t got = 0;
    if (read_some(fd, buffer, sizeof buffer, deadline, got) !=
        ReadStatus::kData) {
      return;
    }
    drained += got;
  }
}

// One connection: read one request, answer it, log it, close.
class Connection {
 public:
  Connection(sys::UniqueFd fd, Shared& shared)
      : fd_(std::move(fd)),
        shared_(shared),
        accepted_(Steady::now()),
        deadline_(accepted_ + kRequestTimeout) {}

  // The socket has the send time-out and TCP_NODELAY of the listener.
  void run() {
    std::optional<int> error_status = read_request();
    if (!error_status && !answered_) return;  // the peer left: no one to answer
    if (error_status) {
      std::string body = "{\"error\":\"";
      body += lower(std::string(reason_phrase(*error_status)));
      body += "\"}";
      reply(*error_status, body, {});
    }
    // A client that sent exactly one request and nothing after it (the
    // hook) has nothing left to send, so the connection is simply closed:
    // the wait for its close would cost a thread wake-up per request.
    if (consumed_whole_request_) {
      char byte;
      ssize_t n = ::recv(fd_.get(), &byte, 1, MSG_DONTWAIT | MSG_PEEK);
      if (n == 0 || (n < 0 && (errno == EAGAIN || errno == EWOULDBLOCK))) {
        return;
      }
    }
    linger_close(fd_.get(), shared_);
  }

 private:
  static std::string lower(std::string s) {
    for (char& c : s) {
      if (c >= 'A' && c <= 'Z') c = static_cast<char>(c - 'A' + 'a');
    }
    return s;
  }

  // Reads and answers the request. Returns the status of an error reply to
  // send instead, or nothing (answered, or the peer left).
  std::optional<int> read_request() {
    IdleMark idle(fd_.get(), shared_);
    std::size_t head_end = std::string::npos;
    while (head_end == std::string::npos) {
      if (buffer_.size() > kMaxHeadBytes) return 431;
      ReadStatus status = read_more();
      if (status == ReadStatus::kTimedOut && !buffer_.empty()) return 408;
      if (status != ReadStatus::kData) return std::nullopt;
      // The blank line may straddle two reads; look back three bytes.
      std::size_t from = scanned_ >= 3 ? scanned_ - 3 : 0;
      head_end = buffer_.find("\r\n\r\n", from);
      scanned_ = buffer_.size();
    }
    idle.done();
    if (head_end + 4 > kMaxHeadBytes) return 431;

    auto parsed =
        parse_request_head(std::string_view(buffer_).substr(0, head_end));
    if (const HeadError* error = std::get_if<HeadError>(&parsed)) {
      return error->status;  // logged with method "-" and no path
    }
    RequestHead& head = std::get<RequestHead>(parsed);
    method_ = head.method;
    path_ = head.path;
    std::optional<std::string_view> authorization =
        head.header("authorization");

    std::size_t body_start = head_end + 4;
    std::size_t length = static_cast<std::size_t>(head.content_length);
    if (!shared_.routes.wants_body(head.method, head.path, authorization)) {
      // Answered from the head alone (health checks, refusals): the body,
      // if any, is neither waited for nor kept.
      consumed_whole_request_ = length == 0 && buffer_.size() == body_start;
      Request request{head.method, head.path, authorization, {}};
      Reply answer = shared_.routes.handle(request);
      reply(answer.status, answer.body, answer.headers, answer.content_type,
            head.method == "HEAD");
      return std::nullopt;
    }
    // One allocation for the rest of the body (at most kMaxBodyBytes), plus
    // room for the last read to overshoot; none when it is all in.
    if (buffer_.size() - body_start < length) {
      buffer_.reserve(body_start + length + kReadChunk);
    }
    if (head.expect_continue && length > buffer_.size() - body_start) {
      send_all(fd_.get(), "HTTP/1.1 100 Continue\r\n\r\n");
    }
    while (buffer_.size() - body_start < length) {
      ReadStatus status = read_more();
      if (status == ReadStatus::kTimedOut) return 408;
      if (status != ReadStatus::kData) return std::nullopt;
    }

    consumed_whole_request_ = buffer_.size() == body_start + length;
    std::string_view body =
        std::string_view(buffer_).substr(body_start, length);
    Request request{head.method, head.path, authorization, body};
    Reply answer = shared_.routes.handle(request);
    reply(answer.status, answer.body, answer.headers, answer.content_type,
          head.method == "HEAD");
    return std::nullopt;
  }

  ReadStatus read_more() {
    std::size_t old = buffer_.size();
    buffer_.resize(old + kReadChunk);
    std::size_t got = 0;
    ReadStatus status =
        read_some(fd_.get(), buffer_.data() + old, kReadChunk, deadline_, got);
    buffer_.resize(old + got);
    return status;
  }

  void reply(int status, std::string_view body,
             const std::vector<std::pair<std::string, std::string>>& headers,
             std::string_view content_type = "application/json",
             bool head_only = false) {
    send_all(fd_.get(),
             format_reply(status, content_type, body, headers, head_only));
    answered_ = true;
    auto micros = std::chrono::duration_cast<std::chrono::microseconds>(
                      Steady::now() - accepted_)
                      .count();
    write_log_line(request_log_line(std::chrono::system_clock::now(), method_,
                                    path_, status, micros));
  }

  sys::UniqueFd fd_;
  Shared& shared_;
  Steady::time_point accepted_;
  Steady::time_point deadline_;
  std::string buffer_;
  std::size_t scanned_ = 0;
  std::string method_ = "-";
  std::string path_;
  bool answered_ = false;
  // The request was read to its last byte and nothing followed it.
  bool consumed_whole_request_ = false;
};

// Serves one accepted connection, with the bookkeeping around it.
void serve_connection(int fd, Shared& shared) {
  try {
    Connection(sys::UniqueFd(fd), shared).run();
  } catch (const std::exception&) {
    // Out of memory for this request; the descriptor is closed by now.
  }
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

// A listening TCP socket on a numeric address; on failure the reason.
Result<sys::UniqueFd> open_listener(const std::string& host,
                                    std::uint16_t port) {
  std::optional<net::SocketAddress> address = net::host_address(host, port);
  if (!address) return Failure{"not a numeric address: " + host};

  auto failed = [&](const char* step) {
    int err = errno;  // before anything below can change it
    return Failure{std::string(step) + " " + address->to_string() + ": " +
                   sys::os_error_text(err)};
  };
  sys::UniqueFd fd(::socket(address->family(),
                            SOCK_STREAM | SOCK_CLOEXEC | SOCK_NONBLOCK, 0));
  if (!fd.valid()) return failed("couldn't create a socket for");
  // SO_REUSEADDR lets a new Core bind a port whose last connections are in
  // TIME_WAIT. SO_REUSEPORT is deliberately not set: it would let a second
  // process bind the same port and take part of the connections.
  int yes = 1;
  (void)::setsockopt(fd.get(), SOL_SOCKET, SO_REUSEADDR, &yes, sizeof yes);
  if (::bind(fd.get(), address->get(), address->length) != 0) {
    return failed("couldn't listen on");
  }
  // Set here once for every accepted connection, which inherits them: a
  // bound on each reply's send, and no wait for a delayed ACK before the
  // reply (one send) goes out.
  timeval send_timeout{kSendTimeout.count(), 0};
  (void)::setsockopt(fd.get(), SOL_SOCKET, SO_SNDTIMEO, &send_timeout,
                     sizeof send_timeout);
  (void)::setsockopt(fd.get(), IPPROTO_TCP, TCP_NODELAY, &yes, sizeof yes);
  if (::listen(fd.get(), kListenBacklog) != 0) {
    return failed("couldn't listen on");
  }
  return fd;
}

Result<std::uint16_t> bound_port(int fd) {
  sockaddr_storage storage{};
  socklen_t length = sizeof storage;
  if (::getsockname(fd, reinterpret_cast<sockaddr*>(&storage), &length) != 0) {
    return Failure{"couldn't read the bound port: " +
                   sys::os_error_text(errno)};
  }
  if (storage.ss_family == AF_INET6) {
    return ntohs(reinterpret_cast<sockaddr_in6*>(&storage)->sin6_port);
  }
  return ntohs(reinterpret_cast<sockaddr_in*>(&storage)->sin_port);
}

// True when connections wait on the listening socket to be accepted.
bool connections_queued(int listener) {
  pollfd p{listener, POLLIN, 0};
  return ::poll(&p, 1, 0) > 0 && (p.revents & POLLIN) != 0;
}

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
      if (saturated && !shared.idle.empty() &&
          connections_queued(shared.listener)) {
        evict_idle_locked(shared);
      }
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

std::optional<std::string> serve_blocked(const ServerConfig& config,
                                         const sigset_t& signals) {
  PolicyConfig policy_config;
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
  if (!listener) return listener.reason();
  Result<std::uint16_t> port = bound_port(listener->get());
  if (!port) return port.reason();

  sys::UniqueFd signal_fd(::signalfd(-1, &signals, SFD_CLOEXEC | SFD_NONBLOCK));
  if (!signal_fd.valid()) {
    return "couldn't watch for stop signals: " + sys::os_error_text(errno);
  }
  sys::UniqueFd stop_fd(::eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK));
  if (!stop_fd.valid()) {
    return "couldn't create an event descriptor: " + sys::os_error_text(errno);
  }
  Result<std::string> token = random_token();
  if (!token) return token.reason();

  std::optional<net::SocketAddress> address =
      net::host_address(config.host, *port);
  if (!address) return "not a numeric address: " + config.host;
  Endpoint record{*address, *token, static_cast<std::uint32_t>(::getpid())};
  Status written = write_endpoint_record(config.record_path,
                                         endpoint_record_text(record));
  if (!written) return written.reason();
  // Clamped so that the idle deadline fits the monotonic clock's range.
  std::uint64_t idle_seconds =
      std::min(config.idle_exit_seconds, kMaxIdleExitSeconds);
  log_message("started: pid " + std::to_string(*record.pid) + ", " +
              endpoint_url(record.address) +
              ", record " + log_field(config.record_path) + ", idle exit " +
              (idle_seconds == 0 ? std::string("off")
                                 : std::to_string(idle_seconds) + "s"));

  AuditLog audit(config.audit_path,
                 [](std::string_view line) { log_message(line); });
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
  return std::nullopt;
}

}  // namespace

std::optional<std::string> serve(const ServerConfig& config) {
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
    return std::string("unexpected failure: ") + e.what();
  }
}

}  // namespace twk::core
