// Reading, answering and closing one connection.
#include "connection.h"

#include <errno.h>
#include <poll.h>
#include <sys/socket.h>

#include <algorithm>
#include <exception>
#include <optional>
#include <string>
#include <variant>

#include "http_request.h"
#include "log.h"

namespace twk::core {
namespace {

using Steady = std::chrono::steady_clock;

// The whole request must arrive within this time of the accept. A hook
// sends its request at once; this only bounds stalled or hostile peers.
constexpr Steady::duration kRequestTimeout = std::chrono::seconds(10);
// After the reply, unread input is drained for at most this long (or this
// many bytes) before the close: closing with unread data makes the kernel
// send a reset, which can destroy the reply before the client reads it.
constexpr Steady::duration kLingerTime = std::chrono::seconds(1);
constexpr std::size_t kLingerBytes = 64 * 1024;
constexpr std::size_t kReadChunk = 16 * 1024;

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

// Marks a connection idle in `registry` for its lifetime, or until done().
class IdleMark {
 public:
  IdleMark(int fd, IdleConnections& registry) : fd_(fd), registry_(registry) {
    registry_.mark(fd_);
  }
  ~IdleMark() { done(); }
  IdleMark(const IdleMark&) = delete;
  IdleMark& operator=(const IdleMark&) = delete;

  void done() {
    if (fd_ < 0) return;
    registry_.unmark(fd_);
    fd_ = -1;
  }

 private:
  int fd_;
  IdleConnections& registry_;
};

// Ends the connection without destroying the reply: FIN first, then drain
// whatever the client still sends until it closes or the linger ends.
// Needed only when the client may still be sending: closing with unread
// input makes the kernel answer with a reset.
void linger_close(int fd, IdleConnections& registry) {
  IdleMark idle(fd, registry);
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
  Connection(sys::UniqueFd fd, const Routes& routes, IdleConnections& idle)
      : fd_(std::move(fd)),
        routes_(routes),
        idle_(idle),
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
    linger_close(fd_.get(), idle_);
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
    IdleMark idle(fd_.get(), idle_);
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
    if (!routes_.wants_body(head.method, head.path, authorization)) {
      // Answered from the head alone (health checks, refusals): the body,
      // if any, is neither waited for nor kept.
      consumed_whole_request_ = length == 0 && buffer_.size() == body_start;
      Request request{head.method, head.path, authorization, {}};
      Reply answer = routes_.handle(request);
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
    Reply answer = routes_.handle(request);
    reply(answer.status, answer.body, answer.headers, answer.content_type,
          head.method == "HEAD");
    return std::nullopt;
  }

  ReadStatus read_more() {
    // Read on the stack and append what came: growing the buffer by a
    // whole chunk first would zero 16 KiB for every read.
    char chunk[kReadChunk];
    std::size_t got = 0;
    ReadStatus status = read_some(fd_.get(), chunk, kReadChunk, deadline_, got);
    buffer_.append(chunk, got);
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
  const Routes& routes_;
  IdleConnections& idle_;
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

}  // namespace

void IdleConnections::mark(int fd) {
  std::lock_guard<std::mutex> lock(mutex_);
  idle_[fd] = Clock::now();
}

void IdleConnections::unmark(int fd) {
  std::lock_guard<std::mutex> lock(mutex_);
  idle_.erase(fd);
}

bool IdleConnections::empty() const {
  std::lock_guard<std::mutex> lock(mutex_);
  return idle_.empty();
}

void IdleConnections::shut_down_idle_since(Clock::time_point cutoff) {
  std::lock_guard<std::mutex> lock(mutex_);
  for (auto it = idle_.begin(); it != idle_.end();) {
    if (it->second <= cutoff) {
      (void)::shutdown(it->first, SHUT_RDWR);
      it = idle_.erase(it);
    } else {
      ++it;
    }
  }
}

void serve_connection(sys::UniqueFd fd, const Routes& routes,
                      IdleConnections& idle) noexcept {
  try {
    Connection(std::move(fd), routes, idle).run();
  } catch (const std::exception&) {
    // Out of memory for this request; the descriptor is closed by now.
  }
}

int poll_timeout_ms(Steady::duration d) {
  if (d <= Steady::duration::zero()) return 0;
  // Rounded up, so a wait never ends just before the instant it is for.
  auto ms =
      std::chrono::duration_cast<std::chrono::milliseconds>(
          d + std::chrono::microseconds(999))
          .count();
  return static_cast<int>(std::min<long long>(ms, 3600 * 1000));
}

}  // namespace twk::core
