// Tests for request-head parsing and reply formatting.
#include "http_request.h"

#include <gtest/gtest.h>

namespace twk::core {
namespace {

// The head as the hook sends it, without the final blank line.
constexpr std::string_view kHookHead =
    "POST /v1/policy/hook HTTP/1.1\r\n"
    "Host: 127.0.0.1:43117\r\n"
    "Content-Type: application/json\r\n"
    "Content-Length: 57\r\n"
    "Connection: close\r\n"
    "Authorization: Bearer abc";

int error_of(std::string_view head) {
  auto parsed = parse_request_head(head);
  const HeadError* error = std::get_if<HeadError>(&parsed);
  return error ? error->status : 0;
}

TEST(Http, ParsesTheHooksRequest) {
  auto parsed = parse_request_head(kHookHead);
  ASSERT_TRUE(std::holds_alternative<RequestHead>(parsed));
  const RequestHead& head = std::get<RequestHead>(parsed);
  EXPECT_EQ(head.method, "POST");
  EXPECT_EQ(head.path, "/v1/policy/hook");
  EXPECT_EQ(head.content_length, 57u);
  EXPECT_FALSE(head.expect_continue);
  EXPECT_EQ(head.header("authorization"), "Bearer abc");
  EXPECT_EQ(head.header("content-type"), "application/json");
  EXPECT_EQ(head.header("x-missing"), std::nullopt);
}

TEST(Http, NormalisesWhatClientsMayVary) {
  auto parsed = parse_request_head(
      "GET /health?verbose=1 HTTP/1.0\r\n"
      "AUTHORIZATION:\t Bearer x \t\r\n"
      "Content-Length: 0005\r\n"
      "content-length: 5\r\n"
      "Expect: 100-Continue");
  ASSERT_TRUE(std::holds_alternative<RequestHead>(parsed));
  const RequestHead& head = std::get<RequestHead>(parsed);
  EXPECT_EQ(head.path, "/health");
  EXPECT_EQ(head.target, "/health?verbose=1");
  EXPECT_EQ(head.header("authorization"), "Bearer x");
  EXPECT_EQ(head.content_length, 5u);  // the same length twice is fine
  EXPECT_TRUE(head.expect_continue);
  // No Content-Length: no body.
  auto bare = parse_request_head("GET / HTTP/1.1");
  ASSERT_TRUE(std::holds_alternative<RequestHead>(bare));
  EXPECT_EQ(std::get<RequestHead>(bare).content_length, 0u);
}

TEST(Http, RejectsMalformedHeadsWith400) {
  for (std::string_view head : {
           "",
           "GET",
           "GET /",
           "GET  / HTTP/1.1",
           "GET / HTTP/1.1 ",
           "GET / HTTP/1.1\r\nHost: a\r\n",  // an empty header line
           "GET / HTTP/1.1\nHost: a",        // bare LF
           "GET / HTTP/1.1\r\nHost: a\rb",   // bare CR
           "GET / HTTP/1.1\r\n folded: x",   // obsolete line folding
           "GET / HTTP/1.1\r\nHost : a",     // space before the colon
           "GET / HTTP/1.1\r\nno colon",
           "GET / HTTP/1.1\r\nX: a\x01z",  // control character in a value
           "G(T / HTTP/1.1",               // method is no token
           "GET health HTTP/1.1",          // not the origin form
           "GET http://x/health HTTP/1.1",
           "GET /a\x7f HTTP/1.1",
           "GET /caf\xc3\xa9 HTTP/1.1",  // raw non-ASCII in the target
           "GET / http/1.1",
           "GET / HTTP/11",
           "POST / HTTP/1.1\r\nContent-Length: -1",
           "POST / HTTP/1.1\r\nContent-Length: 1.0",
           "POST / HTTP/1.1\r\nContent-Length:",
           "POST / HTTP/1.1\r\nContent-Length: 5, 5",
           "POST / HTTP/1.1\r\nContent-Length: 5\r\nContent-Length: 6",
       }) {
    EXPECT_EQ(error_of(head), 400) << head;
  }
}

TEST(Http, RefusesWhatCoreDoesNotImplement) {
  EXPECT_EQ(error_of("GET / HTTP/2.0"), 505);
  EXPECT_EQ(error_of("GET / HTTP/0.9"), 505);
  // Chunked or any other transfer coding, alone or with a length (the
  // classic smuggling pair).
  EXPECT_EQ(error_of("POST / HTTP/1.1\r\nTransfer-Encoding: chunked"), 501);
  EXPECT_EQ(error_of("POST / HTTP/1.1\r\nContent-Length: 3\r\n"
                     "Transfer-Encoding: chunked"),
            501);
  // Bodies over the limit, also past 64 bits.
  EXPECT_EQ(error_of("POST / HTTP/1.1\r\nContent-Length: " +
                     std::to_string(kMaxBodyBytes + 1)),
            413);
  EXPECT_EQ(error_of("POST / HTTP/1.1\r\nContent-Length: 99999999999999999999"),
            413);
  EXPECT_EQ(error_of("POST / HTTP/1.1\r\nContent-Length: " +
                     std::to_string(kMaxBodyBytes)),
            0);
}

TEST(Http, FormatsRepliesThatCloseTheConnection) {
  EXPECT_EQ(
      format_reply(200, "application/json", R"({"output":null})", {}, false),
      "HTTP/1.1 200 OK\r\n"
      "Content-Type: application/json\r\n"
      "Content-Length: 15\r\n"
      "Connection: close\r\n"
      "\r\n"
      R"({"output":null})");
  // HEAD: the GET reply's length, no body.
  EXPECT_EQ(
      format_reply(405, "application/json", "{}", {{"Allow", "POST"}}, true),
      "HTTP/1.1 405 Method Not Allowed\r\n"
      "Content-Type: application/json\r\n"
      "Content-Length: 2\r\n"
      "Connection: close\r\n"
      "Allow: POST\r\n"
      "\r\n");
}

}  // namespace
}  // namespace twk::core
