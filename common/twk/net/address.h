// Numeric socket addresses (IPv4 or IPv6 with a port): parsed from Core's
// endpoint record, connected to by the client, written into "Host:".
#pragma once

#include <sys/socket.h>

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

namespace twk::net {

struct SocketAddress {
  sockaddr_storage storage{};
  socklen_t length = 0;

  int family() const { return storage.ss_family; }
  const sockaddr* get() const {
    return reinterpret_cast<const sockaddr*>(&storage);
  }
  std::uint16_t port() const;

  // Standard text form: "127.0.0.1:43117", "[::1]:9000", and for a non-zero
  // IPv6 scope id "[fe80::1%2]:80" (RFC 5952 address form).
  std::string to_string() const;
};

// Parses "a.b.c.d:port" or "[ipv6]:port" (optionally "[ipv6%scope]:port").
// Host names, "localhost" included, are not accepted; the port is decimal,
// 0 to 65535.
std::optional<SocketAddress> parse_socket_address(std::string_view text);

// A numeric host without a port ("127.0.0.1", "::1", "[::1]") with `port`:
// how Core's --host names the address to listen on. Nothing for names.
std::optional<SocketAddress> host_address(std::string_view host,
                                          std::uint16_t port);

// The IPv4 loopback address with `port`.
SocketAddress loopback_v4(std::uint16_t port);

}  // namespace twk::net
