// Opening the listening socket.
#include "listener.h"

#include <errno.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <sys/socket.h>

#include <chrono>
#include <optional>

#include "twk/net/address.h"
#include "twk/sys/error.h"

namespace twk::core {
namespace {

// Enough for a burst of hooks from an agent that runs many tools at once.
constexpr int kListenBacklog = 128;
// A bound on each reply's send, set once on the listener for every accepted
// connection.
constexpr std::chrono::seconds kSendTimeout{5};

}  // namespace

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

}  // namespace twk::core
