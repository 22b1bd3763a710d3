// Tests of socket address parsing and of the text form used in "Host:".
#include "twk/net/address.h"

#include <arpa/inet.h>
#include <gtest/gtest.h>
#include <netinet/in.h>

#include <string>

namespace twk::net {
namespace {

using namespace std::string_view_literals;

// The text form after a parse, or "<none>" when the text does not parse.
std::string round_trip(std::string_view text) {
  auto address = parse_socket_address(text);
  return address ? address->to_string() : "<none>";
}

// Checks that `address` is of `family` on `port` and written as `text`.
void expect_address(const SocketAddress& address, int family,
                    std::uint16_t port, std::string_view text) {
  EXPECT_EQ(address.family(), family);
  EXPECT_EQ(address.length,
            family == AF_INET ? sizeof(sockaddr_in) : sizeof(sockaddr_in6));
  EXPECT_EQ(address.port(), port);
  EXPECT_EQ(address.to_string(), text);
}

// What `text`, already in its text form, parses to; checked to be of
// `family` on `port` and to be written back as it was.
SocketAddress parsed(std::string_view text, int family, std::uint16_t port) {
  auto address = parse_socket_address(text);
  EXPECT_TRUE(address) << text;
  if (!address) return {};
  expect_address(*address, family, port, text);
  return *address;
}

TEST(SocketAddress, ParsesIpv4AndMakesLoopback) {
  SocketAddress address = parsed("127.0.0.1:43117", AF_INET, 43117);
  const auto* sin = reinterpret_cast<const sockaddr_in*>(address.get());
  EXPECT_EQ(ntohl(sin->sin_addr.s_addr), 0x7F000001u);
  expect_address(loopback_v4(8080), AF_INET, 8080, "127.0.0.1:8080");

  EXPECT_EQ(round_trip("0.0.0.0:0"), "0.0.0.0:0");
  EXPECT_EQ(round_trip("255.255.255.255:65535"), "255.255.255.255:65535");
  EXPECT_EQ(round_trip("10.1.2.3:080"), "10.1.2.3:80");
}

TEST(SocketAddress, ParsesBracketedIpv6InCanonicalForm) {
  parsed("[::1]:9000", AF_INET6, 9000);

  // Written back lower case, zeros compressed, the longest run first.
  EXPECT_EQ(round_trip("[0:0:0:0:0:0:0:1]:80"), "[::1]:80");
  EXPECT_EQ(round_trip("[2001:DB8:0:0:1:0:0:1]:443"),
            "[2001:db8::1:0:0:1]:443");
  EXPECT_EQ(round_trip("[2001:0db8:0000:0000:0000:ff00:0042:8329]:1"),
            "[2001:db8::ff00:42:8329]:1");
  EXPECT_EQ(round_trip("[::ffff:127.0.0.1]:5"), "[::ffff:127.0.0.1]:5");
}

TEST(SocketAddress, KeepsANumericScopeInsideTheBrackets) {
  SocketAddress address = parsed("[fe80::1%2]:80", AF_INET6, 80);
  const auto* sin6 = reinterpret_cast<const sockaddr_in6*>(address.get());
  EXPECT_EQ(sin6->sin6_scope_id, 2u);
  EXPECT_EQ(round_trip("[fe80::1%4294967295]:80"), "[fe80::1%4294967295]:80");
  // Scope 0 is no scope and is not written.
  EXPECT_EQ(round_trip("[fe80::1%0]:80"), "[fe80::1]:80");
}

TEST(SocketAddress, RejectsNamesAndMalformedText) {
  for (std::string_view text :
       {""sv, ":80"sv, "localhost:80"sv, "example.com:80"sv, "127.0.0.1"sv,
        "127.0.0.1:"sv, "127.0.0.1:+80"sv, "127.0.0.1:-1"sv,
        "127.0.0.1:65536"sv, "127.0.0.1:99999999999999999999"sv,
        "127.0.0.1:8 0"sv, "127.0.0.1:80 "sv, " 127.0.0.1:80"sv, "127.1:80"sv,
        "127.0.0.256:80"sv, "127.0.0.1.1:80"sv, "::1:80"sv, "[::1]"sv,
        "[::1]:"sv, "[::1]80"sv, "[::1]:x"sv, "[::1:80"sv, "::1]:80"sv,
        "[127.0.0.1]:80"sv, "[::1%]:80"sv, "[::1%eth0]:80"sv, "[::1%+1]:80"sv,
        "[::1%4294967296]:80"sv, "[::1]:80/"sv, "http://[::1]:80"sv,
        "[]:80"sv, "[::g]:80"sv, "127.0.0.1\0junk:80"sv, "[::1\0junk]:80"sv}) {
    EXPECT_FALSE(parse_socket_address(text)) << ::testing::PrintToString(text);
  }
}

}  // namespace
}  // namespace twk::net
