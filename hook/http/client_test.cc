// Tests of http::request against tiny servers on the loopback interface,
// each serving one connection on a thread of its own.
#include "http/client.h"

#include <errno.h>
#include <gtest/gtest.h>
#include <poll.h>
#include <sys/socket.h>

#include <chrono>
#include <functional>
#include <string>
#include <thread>
#include <utility>
#include <vector>

#include "twk/net/address.h"
#include "twk/sys/error.h"
#include "twk/sys/fd.h"
#include "twk/testing/contains.h"

namespace twk::http {
namespace {

using namespace std::chrono_literals;
using namespace std::string_literals;

constexpr auto kServerPatience = 10s;  // how long a test server waits at most
constexpr auto kGenerous = 5s;         // upper bound for "returns promptly"

sys::Instant in(sys::Duration d) { return sys::now() + d; }

// A bound (and optionally listening) TCP socket on a loopback address.
struct Listener {
  sys::UniqueFd fd;
  net::SocketAddress address;
};

// Binds to port 0 of the loopback address of `family`; the fd is invalid
// when that is not possible.
Listener bind_loopback(int family, bool listening, int backlog = 8) {
  Listener out{sys::UniqueFd(::socket(family, SOCK_STREAM | SOCK_CLOEXEC, 0)),
               *net::parse_socket_address(family == AF_INET6 ? "[::1]:0"
                                                             : "127.0.0.1:0")};
  auto* address = reinterpret_cast<sockaddr*>(&out.address.storage);
  if (!out.fd.valid() ||
      ::bind(out.fd.get(), address, out.address.length) < 0 ||
      (listening && ::listen(out.fd.get(), backlog) < 0) ||
      ::getsockname(out.fd.get(), address, &out.address.length) < 0) {
    out.fd.reset();
  }
  return out;
}

bool send_all(int fd, std::string_view data) {
  while (!data.empty()) {
    ssize_t n = ::send(fd, data.data(), data.size(), MSG_NOSIGNAL);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) return false;
    data.remove_prefix(static_cast<std::size_t>(n));
  }
  return true;
}

// Appends what one receive brings; false once the peer has closed (or on
// an error).
bool receive(int fd, std::string& out) {
  char buffer[4096];
  ssize_t n;
  do {
    n = ::recv(fd, buffer, sizeof buffer, 0);
  } while (n < 0 && errno == EINTR);
  if (n <= 0) return false;
  out.append(buffer, static_cast<std::size_t>(n));
  return true;
}

// Appends what arrives until the peer closes (or an error).
void read_until_eof(int fd, std::string& out) {
  while (receive(fd, out)) {
  }
}

// Appends one request: the head, then as many bytes as its Content-Length
// says. Returns false when the peer closes first.
bool read_request(int fd, std::string& out) {
  // The head's end is looked for once in each new piece, not in all that
  // came before: a 3 MiB body arrives in hundreds of receives, and
  // searching from the start each time made this quadratic (seconds under
  // the sanitizers).
  std::size_t end = std::string::npos;
  std::size_t length = 0;
  std::size_t searched = 0;
  for (;;) {
    if (end == std::string::npos) {
      end = out.find("\r\n\r\n", searched < 3 ? 0 : searched - 3);
      searched = out.size();
      if (end != std::string::npos) {
        std::size_t at = out.find("Content-Length: ");
        length = at < end ? std::stoul(out.substr(at + 16)) : 0;
      }
    }
    if (end != std::string::npos && out.size() >= end + 4 + length) return true;
    if (!receive(fd, out)) return false;
  }
}

// Serves one connection on a thread: `serve` gets the accepted socket,
// which is closed when it returns. Gives up waiting for a connection after
// kServerPatience, so a test whose client never connects still ends.
class TestServer {
 public:
  explicit TestServer(std::function<void(int)> serve, int family = AF_INET)
      : listener_(bind_loopback(family, true)) {
    if (!listener_.fd.valid()) return;
    thread_ = std::thread([this, serve = std::move(serve)] {
      pollfd pfd{listener_.fd.get(), POLLIN, 0};
      auto ms = std::chrono::milliseconds(kServerPatience).count();
      if (::poll(&pfd, 1, static_cast<int>(ms)) != 1) return;
      sys::UniqueFd conn(
          ::accept4(listener_.fd.get(), nullptr, nullptr, SOCK_CLOEXEC));
      if (!conn.valid()) return;
      serve(conn.get());
    });
  }
  ~TestServer() { join(); }

  bool ok() const { return listener_.fd.valid(); }
  const net::SocketAddress& address() const { return listener_.address; }

  // Waits until the connection has been served.
  void join() {
    if (thread_.joinable()) thread_.join();
  }

 private:
  Listener listener_;
  std::thread thread_;
};

// A server that records every byte of the request, answers with `reply`,
// and keeps reading until the client closes, so that anything sent after
// the request would show up in `received`.
struct RecordingServer {
  explicit RecordingServer(std::string reply, int family = AF_INET)
      : server(
            [this, reply = std::move(reply)](int fd) {
              if (!read_request(fd, received)) return;
              send_all(fd, reply);
              ::shutdown(fd, SHUT_WR);
              read_until_eof(fd, received);
            },
            family) {}
  std::string received;
  TestServer server;
};

// The text of a Message result, or a description of what came instead.
std::string message_of(const RequestResult& result) {
  if (std::holds_alternative<Response>(result)) return "<Response>";
  const auto& error = std::get<HttpError>(result);
  if (std::holds_alternative<Refused>(error)) return "<Refused>";
  return std::get<Message>(error).text;
}

// The reply in `result`; when there is none, status 0 and what came
// instead as the body, so that comparing it with a reply fails and says why.
Response reply_of(const RequestResult& result) {
  if (const Response* response = std::get_if<Response>(&result)) {
    return *response;
  }
  return {0, message_of(result)};
}

// GET /health without a token, by `deadline`.
RequestResult get(const net::SocketAddress& address,
                  sys::Instant deadline = in(kGenerous)) {
  return request(address, "GET", "/health", std::nullopt, "", deadline);
}

// The head request() sends to a server on 127.0.0.1 at `address`.
std::string head_for(const std::string& request_line,
                     const net::SocketAddress& address, std::size_t length,
                     const std::optional<std::string>& token = std::nullopt) {
  std::string head = request_line + "\r\nHost: 127.0.0.1:" +
                     std::to_string(address.port()) +
                     "\r\nContent-Type: application/json\r\nContent-Length: " +
                     std::to_string(length) + "\r\nConnection: close\r\n";
  if (token) head += "Authorization: Bearer " + *token + "\r\n";
  return head + "\r\n";
}

// GET /health from a server that answers `reply` and then closes.
RequestResult get_reply(std::string reply) {
  RecordingServer recorder(std::move(reply));
  EXPECT_TRUE(recorder.server.ok());
  return get(recorder.server.address());
}

// Calls `call` with a deadline 300ms ahead: it must time out then, neither
// sooner nor long after.
void expect_times_out_at_the_deadline(
    const std::function<RequestResult(sys::Instant)>& call) {
  sys::Instant start = sys::now();
  RequestResult result = call(start + 300ms);
  auto took = sys::now() - start;
  EXPECT_EQ(message_of(result), kTimedOut);
  EXPECT_GE(took, 250ms);
  EXPECT_LT(took, kGenerous);
}

TEST(Request, GetSendsExactlyTheFiveHeadLines) {
  RecordingServer recorder("HTTP/1.1 200 OK\r\nContent-Length: 2\r\n\r\nok");
  ASSERT_TRUE(recorder.server.ok());
  RequestResult result = get(recorder.server.address());
  recorder.server.join();
  EXPECT_EQ(recorder.received,
            head_for("GET /health HTTP/1.1", recorder.server.address(), 0));
  EXPECT_EQ(reply_of(result).status, 200);
  EXPECT_EQ(reply_of(result).body, "ok");
}

TEST(Request, PostSendsTokenAsSixthLineAndBodyByteForByte) {
  // Larger than the socket buffers, so the body goes out in many sends, and
  // not UTF-8, so nothing on the way may treat it as text.
  std::string body;
  for (std::size_t i = 0; body.size() < (3u << 20); ++i) {
    body.push_back(static_cast<char>((i * 7) % 256));
  }
  for (const std::string& token : {"s3cr3t-token"s, ""s}) {
    RecordingServer recorder("HTTP/1.1 401 Unauthorized\r\n\r\nnope");
    ASSERT_TRUE(recorder.server.ok());
    RequestResult result =
        request(recorder.server.address(), "POST", "/v1/policy/hook", token,
                body, in(kGenerous));
    recorder.server.join();
    std::string head = head_for("POST /v1/policy/hook HTTP/1.1",
                                recorder.server.address(), body.size(), token);
    ASSERT_EQ(recorder.received.size(), head.size() + body.size());
    EXPECT_EQ(recorder.received.substr(0, head.size()), head);
    EXPECT_TRUE(recorder.received.compare(head.size(), body.size(), body) == 0);
    // A 401 is a reply like any other; judging it is the caller's business.
    EXPECT_EQ(reply_of(result).status, 401);
    EXPECT_EQ(reply_of(result).body, "nope");
  }
}

TEST(Request, TalksToIpv6Loopback) {
  RecordingServer recorder("HTTP/1.1 204 No Content\r\n\r\n", AF_INET6);
  if (!recorder.server.ok()) GTEST_SKIP() << "no IPv6 loopback here";
  RequestResult result = get(recorder.server.address());
  recorder.server.join();
  std::string port = std::to_string(recorder.server.address().port());
  EXPECT_EQ(recorder.received.substr(0, recorder.received.find("Content-")),
            "GET /health HTTP/1.1\r\nHost: [::1]:" + port + "\r\n");
  EXPECT_EQ(reply_of(result).status, 204) << message_of(result);
}

TEST(Request, ClosedPortIsRefused) {
  // Bound but not listening: the port stays ours, and a connection to it is
  // answered with a reset.
  Listener bound = bind_loopback(AF_INET, false);
  ASSERT_TRUE(bound.fd.valid());
  EXPECT_EQ(message_of(get(bound.address)), "<Refused>");
}

TEST(Request, PassedDeadlineTimesOutWithoutConnecting) {
  Listener listener = bind_loopback(AF_INET, true);
  ASSERT_TRUE(listener.fd.valid());
  for (sys::Instant deadline : {sys::now() - 1s, sys::now()}) {
    EXPECT_EQ(message_of(get(listener.address, deadline)), kTimedOut);
  }
  // No connection is waiting to be accepted.
  pollfd pfd{listener.fd.get(), POLLIN, 0};
  EXPECT_EQ(::poll(&pfd, 1, 0), 0);
}

TEST(Request, PeerThatKeepsTheConnectionOpenTimesOutAtTheDeadline) {
  // Silent, or with a complete reply: either way the reply only counts once
  // the peer has closed.
  for (std::string reply :
       {""s, "HTTP/1.1 200 OK\r\nContent-Length: 2\r\n\r\nok"s}) {
    SCOPED_TRACE(reply);
    std::string received;
    TestServer server([&](int fd) {
      if (!read_request(fd, received)) return;
      send_all(fd, reply);
      read_until_eof(fd, received);
    });
    ASSERT_TRUE(server.ok());
    expect_times_out_at_the_deadline([&](sys::Instant deadline) {
      return request(server.address(), "POST", "/v1/policy/hook", "t", "{}",
                     deadline);
    });
    // The client closed its socket after giving up, so the server ended.
    server.join();
    EXPECT_TRUE(twk::testing::Contains(received, "\r\n\r\n{}"));
  }
}

TEST(Request, ConnectWaitIsBoundedByTheDeadline) {
  // A listener whose accept queue is full drops further connection
  // attempts, so a connect to it waits.
  Listener listener = bind_loopback(AF_INET, true, /*backlog=*/0);
  ASSERT_TRUE(listener.fd.valid());
  std::vector<sys::UniqueFd> fillers;
  bool stalled = false;
  for (int i = 0; i < 8 && !stalled; ++i) {
    sys::UniqueFd fd(
        ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC | SOCK_NONBLOCK, 0));
    ASSERT_TRUE(fd.valid());
    ::connect(fd.get(), listener.address.get(), listener.address.length);
    pollfd pfd{fd.get(), POLLOUT, 0};
    stalled = ::poll(&pfd, 1, 200) == 0;
    fillers.push_back(std::move(fd));
  }
  if (!stalled) GTEST_SKIP() << "this system does not drop connections";
  expect_times_out_at_the_deadline(
      [&](sys::Instant deadline) { return get(listener.address, deadline); });
}

TEST(Request, ClosedWithoutAReplyOrWithAMalformedOneIsNotHttp) {
  for (const char* reply : {"", "HTTP/1.1 OK 200\r\n\r\n", "HTTP/1.1 200"}) {
    EXPECT_EQ(message_of(get_reply(reply)), kNotHttp) << reply;
  }
}

TEST(Request, ReadsRepliesOverManyReceives) {
  std::string big;
  for (int i = 0; big.size() < 100'000; ++i) big += std::to_string(i) + ",";
  EXPECT_EQ(reply_of(get_reply("HTTP/1.1 200 OK\r\nContent-Length: " +
                               std::to_string(big.size()) + "\r\n\r\n" + big))
                .body,
            big);

  // A chunked reply in small pieces, split inside its lines.
  TestServer server([](int fd) {
    std::string request;
    if (!read_request(fd, request)) return;
    for (const char* piece :
         {"HTTP/1.1 200 OK\r\nTransfer-Encoding: chunked\r\n", "\r\n5;e=1\r",
          "\nhello\r\n", "6\r\n world\r\n0\r\n\r\n"}) {
      send_all(fd, piece);
      std::this_thread::sleep_for(5ms);
    }
  });
  ASSERT_TRUE(server.ok());
  EXPECT_EQ(reply_of(get(server.address())).body, "hello world");
}

// A reply of exactly kMaxReplyBytes is read whole; one byte more, or a
// peer that never stops sending, ends the request at once, long before its
// deadline.
TEST(Request, ReplyPastTheLimitIsCutOff) {
  const std::string head = "HTTP/1.1 200 OK\r\n\r\n";
  const std::string at_limit =
      head + std::string(kMaxReplyBytes - head.size(), 'b');
  EXPECT_EQ(reply_of(get_reply(at_limit)).body.size(),
            kMaxReplyBytes - head.size());
  EXPECT_EQ(message_of(get_reply(at_limit + "b")), kReplyTooLarge);

  TestServer endless([&head](int fd) {
    std::string request;
    if (!read_request(fd, request) || !send_all(fd, head)) return;
    const std::string chunk(64 << 10, 'x');
    while (send_all(fd, chunk)) {
    }
  });
  ASSERT_TRUE(endless.ok());
  sys::Instant start = sys::now();
  EXPECT_EQ(message_of(get(endless.address(), start + 2s)), kReplyTooLarge);
  EXPECT_LT(sys::now() - start, 1s);
}

TEST(Request, PeerGoneDuringSendIsAMessageNotASignal) {
  // SIGPIPE keeps its default action here: if a send raised it, the test
  // program would die. The body is far larger than the socket buffers, so
  // the client is still sending when the server goes.
  const std::string body(64u << 20, 'x');
  enum class Peer { kCloses, kResets, kHalfClosesThenResets };
  for (Peer peer :
       {Peer::kCloses, Peer::kResets, Peer::kHalfClosesThenResets}) {
    TestServer server([peer](int fd) {
      if (peer == Peer::kHalfClosesThenResets) {
        // The client sees the end of the reply stream first; the reset
        // that follows is then reported to its sends as EPIPE, the error
        // that comes with SIGPIPE unless the send asks for none.
        ::shutdown(fd, SHUT_WR);
        std::string some;
        while (some.size() < (1u << 20) && receive(fd, some)) {
        }
      }
      linger hard{1, 0};
      if (peer != Peer::kCloses) {
        ::setsockopt(fd, SOL_SOCKET, SO_LINGER, &hard, sizeof hard);
      }
    });
    ASSERT_TRUE(server.ok());
    RequestResult result = request(server.address(), "POST", "/v1/policy/hook",
                                   "t", body, in(kGenerous));
    std::string text = message_of(result);
    EXPECT_TRUE(twk::testing::Contains(text, " (os error "));
    EXPECT_EQ(text.back(), ')') << text;
    if (peer == Peer::kHalfClosesThenResets) {
      EXPECT_EQ(text, sys::os_error_text(EPIPE));
    }
  }
}

TEST(SocketTimeout, ConvertsToWholeMicrosecondsWithAOneMicrosecondFloor) {
  const struct {
    sys::Duration left;
    long long seconds, microseconds;
  } cases[] = {
      {1ns, 0, 1}, {999ns, 0, 1}, {1999ns, 0, 1}, {999'999'999ns, 0, 999'999},
      {8s + 1'500ns, 8, 1},
      // The largest time left a deadline can give.
      {sys::Duration::max(), 9'223'372'036, 854'775},
  };
  for (const auto& c : cases) {
    timeval tv = socket_timeout(c.left);
    EXPECT_EQ(tv.tv_sec, c.seconds) << c.left.count() << "ns";
    EXPECT_EQ(tv.tv_usec, c.microseconds) << c.left.count() << "ns";
  }
}

}  // namespace
}  // namespace twk::http
