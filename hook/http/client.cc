// One HTTP/1.1 exchange with Core: connect, send the head and the body, read
// until Core closes, parse. Each blocking call gets the time left to the
// caller's deadline as its own limit.
#include "http/client.h"

#include <errno.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <sys/socket.h>

#include <array>
#include <chrono>
#include <climits>

#include "http/reply.h"
#include "twk/sys/error.h"
#include "twk/sys/fd.h"

namespace twk::http {
namespace {

constexpr std::size_t kReceiveBufferSize = 8192;
constexpr std::int64_t kMaxPollMilliseconds = INT_MAX;  // 2147483647
constexpr std::int64_t kMicrosecondsPerSecond = 1'000'000;
constexpr std::string_view kCrLf = "\r\n";
constexpr std::string_view kShortWrite = "failed to write whole buffer";
constexpr std::string_view kNoErrorAfterHup = "no error set after POLLHUP";

Message timed_out() { return Message{std::string(kTimedOut)}; }

// A poll wait for the rest of a limit, in whole milliseconds, from 1 (so a
// sub-millisecond rest still waits instead of spinning) to INT_MAX.
int poll_milliseconds(sys::Duration rest) {
  auto ms = std::chrono::duration_cast<std::chrono::milliseconds>(rest).count();
  if (ms < 1) return 1;
  if (ms > kMaxPollMilliseconds) return static_cast<int>(kMaxPollMilliseconds);
  return static_cast<int>(ms);
}

// Either the connected socket or why there is none.
struct Connected {
  sys::UniqueFd fd;
  std::optional<HttpError> error;
};

Connected fail(HttpError error) { return {sys::UniqueFd(), std::move(error)}; }

// Connects within `limit`. The socket is made non-blocking only around the
// connect call itself, so that the wait can be bounded by poll and the later
// sends and receives are bounded by socket time-outs instead.
Connected connect_within(const net::SocketAddress& address, sys::Duration limit) {
  sys::UniqueFd fd(::socket(address.family(), SOCK_STREAM | SOCK_CLOEXEC, 0));
  if (!fd.valid()) return fail(to_http_error(errno));

  int flags = ::fcntl(fd.get(), F_GETFL);
  if (flags < 0) return fail(to_http_error(errno));
  if (::fcntl(fd.get(), F_SETFL, flags | O_NONBLOCK) < 0) {
    return fail(to_http_error(errno));
  }
  int rc = ::connect(fd.get(), address.get(), address.length);
  int connect_errno = rc < 0 ? errno : 0;
  if (::fcntl(fd.get(), F_SETFL, flags) < 0) return fail(to_http_error(errno));
  if (rc == 0) return {std::move(fd), std::nullopt};
  if (connect_errno != EINPROGRESS) return fail(to_http_error(connect_errno));

  sys::Instant wait_start = sys::now();
  for (;;) {
    sys::Duration used = sys::now() - wait_start;
    if (used >= limit) return fail(timed_out());
    pollfd pfd{fd.get(), POLLOUT, 0};
    int ready = ::poll(&pfd, 1, poll_milliseconds(limit - used));
    if (ready < 0) {
      if (errno == EINTR) continue;
      return fail(to_http_error(errno));
    }
    if (ready == 0) continue;  // the check at the top ends the wait
    if (pfd.revents & (POLLHUP | POLLERR)) {
      int pending = 0;
      socklen_t length = sizeof pending;
      if (::getsockopt(fd.get(), SOL_SOCKET, SO_ERROR, &pending, &length) < 0) {
        return fail(to_http_error(errno));
      }
      if (pending != 0) return fail(to_http_error(pending));
      return fail(Message{std::string(kNoErrorAfterHup)});
    }
    return {std::move(fd), std::nullopt};
  }
}

std::optional<HttpError> set_timeout(int fd, int option, sys::Duration left) {
  timeval tv = socket_timeout(left);
  if (::setsockopt(fd, SOL_SOCKET, option, &tv, sizeof tv) < 0) {
    return to_http_error(errno);
  }
  return std::nullopt;
}

// Writes all of `data`. MSG_NOSIGNAL turns a peer that has gone into an
// EPIPE result instead of a SIGPIPE that would end the process.
//
// The kernel restarts the send time-out with every call, so once a call has
// returned (partly sent, or interrupted) the time-out is set again to what
// is left of the deadline: a peer that reads slowly must not stretch the
// exchange past it. `refresh` carries that state from the head to the body.
std::optional<HttpError> send_all(int fd, std::string_view data,
                                  sys::Instant deadline, bool& refresh) {
  while (!data.empty()) {
    if (refresh) {
      sys::Duration left = sys::time_left(deadline);
      if (left == sys::Duration::zero()) return HttpError(timed_out());
      if (auto error = set_timeout(fd, SO_SNDTIMEO, left)) return *error;
    }
    ssize_t sent = ::send(fd, data.data(), data.size(), MSG_NOSIGNAL);
    refresh = true;
    if (sent < 0) {
      if (errno == EINTR) continue;
      return to_http_error(errno);
    }
    if (sent == 0) return Message{std::string(kShortWrite)};
    data.remove_prefix(static_cast<std::size_t>(sent));
  }
  return std::nullopt;
}

// Reads until the peer closes, then parses. The reply is never parsed
// early, even when a Content-Length says it is complete: Core signals the
// end of its reply by closing. Every receive is limited by the time left,
// and the whole reply by kMaxReplyBytes, so neither a slow peer nor a
// fast one without end holds the exchange past the deadline; parsing what
// was read takes a few milliseconds at most.
RequestResult read_reply(int fd, sys::Instant deadline) {
  std::string reply;
  std::array<char, kReceiveBufferSize> buffer;
  for (;;) {
    sys::Duration left = sys::time_left(deadline);
    if (left == sys::Duration::zero()) return HttpError(timed_out());
    if (auto error = set_timeout(fd, SO_RCVTIMEO, left)) return *error;
    ssize_t received = ::recv(fd, buffer.data(), buffer.size(), 0);
    // Unlike poll and send, an interrupted receive is not repeated; it ends
    // the exchange with its error text like any other failure.
    if (received < 0) return to_http_error(errno);
    if (received == 0) break;
    if (static_cast<std::size_t>(received) > kMaxReplyBytes - reply.size()) {
      return HttpError(Message{std::string(kReplyTooLarge)});
    }
    reply.append(buffer.data(), static_cast<std::size_t>(received));
  }
  std::optional<Response> response = parse_response(reply);
  if (!response) return HttpError(Message{std::string(kNotHttp)});
  return std::move(*response);
}

}  // namespace

timeval socket_timeout(sys::Duration left) {
  timeval tv{};
  if (left > sys::Duration::zero()) {
    // A nanosecond count in 64 bits is below 2^63-1 seconds, so the seconds
    // always fit time_t without a cap.
    auto micros = std::chrono::duration_cast<std::chrono::microseconds>(left);
    tv.tv_sec = static_cast<time_t>(micros.count() / kMicrosecondsPerSecond);
    tv.tv_usec =
        static_cast<suseconds_t>(micros.count() % kMicrosecondsPerSecond);
  }
  if (tv.tv_sec == 0 && tv.tv_usec == 0) tv.tv_usec = 1;
  return tv;
}

HttpError to_http_error(int errnum) {
  switch (errnum) {
    case ECONNREFUSED:
      return Refused{};
    case EAGAIN:  // also EWOULDBLOCK: a socket time-out expired
    case ETIMEDOUT:
      return timed_out();
    default:
      return Message{sys::os_error_text(errnum)};
  }
}

std::string request_head(const net::SocketAddress& address, std::string_view method,
                         std::string_view path,
                         const std::optional<std::string>& token,
                         std::size_t body_length) {
  std::string head;
  head.append(method).append(" ").append(path).append(" HTTP/1.1");
  head.append(kCrLf);
  head.append("Host: ").append(address.to_string()).append(kCrLf);
  head.append("Content-Type: application/json").append(kCrLf);
  head.append("Content-Length: ")
      .append(std::to_string(body_length))
      .append(kCrLf);
  head.append("Connection: close").append(kCrLf);
  if (token) {
    head.append("Authorization: Bearer ").append(*token).append(kCrLf);
  }
  head.append(kCrLf);
  return head;
}

RequestResult request(const net::SocketAddress& address, std::string_view method,
                      std::string_view path,
                      const std::optional<std::string>& token,
                      std::string_view body, sys::Instant deadline) {
  sys::Duration left = sys::time_left(deadline);
  if (left == sys::Duration::zero()) return HttpError(timed_out());

  Connected connected = connect_within(address, left);
  if (connected.error) return *connected.error;
  // The socket closes when `connected` goes out of scope, on every path.
  int fd = connected.fd.get();

  // The head and body go out in two writes; without Nagle the second is not
  // held back waiting for an acknowledgement. Not essential, so a failure
  // is ignored.
  int on = 1;
  (void)::setsockopt(fd, IPPROTO_TCP, TCP_NODELAY, &on, sizeof on);

  std::string head = request_head(address, method, path, token, body.size());

  left = sys::time_left(deadline);
  if (left == sys::Duration::zero()) return HttpError(timed_out());
  if (auto error = set_timeout(fd, SO_SNDTIMEO, left)) return *error;
  bool refresh = false;
  if (auto error = send_all(fd, head, deadline, refresh)) return *error;
  if (auto error = send_all(fd, body, deadline, refresh)) return *error;

  return read_reply(fd, deadline);
}

}  // namespace twk::http
