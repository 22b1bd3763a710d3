// Numeric socket addresses: parsing the "host:port" text of Core's endpoint
// record and writing the standard form that goes into "Host:".
#include "twk/net/address.h"

#include <arpa/inet.h>
#include <netinet/in.h>

#include <limits>

#include "twk/text.h"

namespace twk::net {
namespace {

constexpr std::uint32_t kMaxPort = 65535;
constexpr std::uint64_t kMaxScopeId = std::numeric_limits<std::uint32_t>::max();

// Reads `text` as a numeric address of `family` into `addr`. inet_pton
// wants a terminated string, and a NUL inside would end the text early and
// let trailing junk through.
bool numeric_address(int family, std::string_view text, void* addr) {
  if (text.find('\0') != std::string_view::npos) return false;
  std::string terminated(text);
  return inet_pton(family, terminated.c_str(), addr) == 1;
}

std::optional<SocketAddress> parse_v4(std::string_view host,
                                      std::uint16_t port) {
  SocketAddress out;
  auto* sin = reinterpret_cast<sockaddr_in*>(&out.storage);
  // Only four dotted decimal parts: names and shorthand forms such as
  // "127.1" fail here.
  if (!numeric_address(AF_INET, host, &sin->sin_addr)) return std::nullopt;
  sin->sin_family = AF_INET;
  sin->sin_port = htons(port);
  out.length = sizeof(sockaddr_in);
  return out;
}

std::optional<SocketAddress> parse_v6(std::string_view inside,
                                      std::uint16_t port) {
  SocketAddress out;
  auto* sin6 = reinterpret_cast<sockaddr_in6*>(&out.storage);
  if (std::size_t percent = inside.find('%');
      percent != std::string_view::npos) {
    // Only a numeric scope: interface names would need a lookup, and the
    // record is written by Core with what the system reported.
    auto scope = text::parse_decimal(inside.substr(percent + 1), kMaxScopeId);
    if (!scope) return std::nullopt;
    sin6->sin6_scope_id = static_cast<std::uint32_t>(*scope);
    inside = inside.substr(0, percent);
  }
  if (!numeric_address(AF_INET6, inside, &sin6->sin6_addr)) {
    return std::nullopt;
  }
  sin6->sin6_family = AF_INET6;
  sin6->sin6_port = htons(port);
  out.length = sizeof(sockaddr_in6);
  return out;
}

}  // namespace

std::uint16_t SocketAddress::port() const {
  switch (family()) {
    case AF_INET:
      return ntohs(reinterpret_cast<const sockaddr_in*>(&storage)->sin_port);
    case AF_INET6:
      return ntohs(reinterpret_cast<const sockaddr_in6*>(&storage)->sin6_port);
    default:
      return 0;
  }
}

std::string SocketAddress::to_string() const {
  char text[INET6_ADDRSTRLEN] = {};
  std::string out;
  if (family() == AF_INET) {
    const auto* sin = reinterpret_cast<const sockaddr_in*>(&storage);
    if (inet_ntop(AF_INET, &sin->sin_addr, text, sizeof text) == nullptr) {
      return out;
    }
    out = text;
  } else if (family() == AF_INET6) {
    const auto* sin6 = reinterpret_cast<const sockaddr_in6*>(&storage);
    // glibc's inet_ntop writes the RFC 5952 form: lower case, longest run
    // of zero groups compressed, no leading zeros in a group.
    if (inet_ntop(AF_INET6, &sin6->sin6_addr, text, sizeof text) == nullptr) {
      return out;
    }
    out += '[';
    out += text;
    if (sin6->sin6_scope_id != 0) {
      out += '%';
      out += std::to_string(sin6->sin6_scope_id);
    }
    out += ']';
  } else {
    return out;
  }
  out += ':';
  out += std::to_string(port());
  return out;
}

std::optional<SocketAddress> host_address(std::string_view host,
                                          std::uint16_t port) {
  if (host.size() >= 2 && host.front() == '[' && host.back() == ']') {
    return parse_v6(host.substr(1, host.size() - 2), port);
  }
  if (std::optional<SocketAddress> v4 = parse_v4(host, port)) return v4;
  return parse_v6(host, port);
}

std::optional<SocketAddress> parse_socket_address(std::string_view text) {
  std::string_view host;
  bool bracketed = !text.empty() && text.front() == '[';
  std::size_t port_start;
  if (bracketed) {
    std::size_t close = text.find(']');
    if (close == std::string_view::npos) return std::nullopt;
    if (close + 1 >= text.size() || text[close + 1] != ':') {
      return std::nullopt;
    }
    host = text.substr(1, close - 1);
    port_start = close + 2;
  } else {
    std::size_t colon = text.rfind(':');
    if (colon == std::string_view::npos) return std::nullopt;
    host = text.substr(0, colon);
    port_start = colon + 1;
  }
  auto port = text::parse_decimal(text.substr(port_start), kMaxPort);
  if (!port) return std::nullopt;
  auto port16 = static_cast<std::uint16_t>(*port);
  // An unbracketed host is IPv4 only: a bare IPv6 address would make the
  // port ambiguous ("::1:80").
  return bracketed ? parse_v6(host, port16) : parse_v4(host, port16);
}

SocketAddress loopback_v4(std::uint16_t port) {
  SocketAddress out;
  auto* sin = reinterpret_cast<sockaddr_in*>(&out.storage);
  sin->sin_family = AF_INET;
  sin->sin_port = htons(port);
  sin->sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  out.length = sizeof(sockaddr_in);
  return out;
}

}  // namespace twk::net
