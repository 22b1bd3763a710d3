// Tests of the reply parser and the chunked decoder on literal replies.
#include "http/reply.h"

#include <gtest/gtest.h>

#include <string>
#include <utility>
#include <vector>

namespace twk::http {
namespace {

using namespace std::string_literals;

// The status of a parsed reply, or -1 when it is not a reply.
int status_of(std::string_view reply) {
  auto response = parse_response(reply);
  return response ? response->status : -1;
}

// The body of a parsed reply; fails the test when it is not a reply.
std::string body_of(std::string_view reply) {
  auto response = parse_response(reply);
  EXPECT_TRUE(response.has_value()) << reply;
  return response ? response->body : "<not a reply>";
}

TEST(ParseResponse, StatusOrNoReply) {
  const std::pair<std::string, int> cases[] = {
      // Without an end of head; lone LFs do not end it.
      {"", -1},
      {"\r\n\r", -1},
      {"HTTP/1.1 200 OK\r\nContent-Length: 0\r\n", -1},
      {"HTTP/1.1 200 OK\n\n", -1},
      {"HTTP/1.1 200 OK\r\n\n\r\n", -1},
      // Any version token; the reason is ignored.
      {"HTTP/1.1 503 Service Unavailable\r\n\r\n", 503},
      {"HTTP/1.0 200\r\n\r\n", 200},
      {"ABC 204 whatever\r\n\r\n", 204},
      {"HTTP/1.1\t+200\r\n\r\n", 200},
      {"x 404 Not Found at all\r\n\r\n", 404},
      {"  HTTP/1.1   401  \r\n\r\n", 401},
      // Split at Unicode white space: U+3000 IDEOGRAPHIC SPACE, U+0085 NEXT
      // LINE, U+00A0 NO-BREAK SPACE; a lone CR or LF stays inside the status
      // line, where it is white space. U+200B ZERO WIDTH SPACE is not
      // White_Space: "HTTP/1.1\u200B200" is one token, and there is no status.
      {"HTTP/1.1\u3000" "200\u3000OK\r\n\r\n", 200},
      {"HTTP/1.1\u0085" "201\r\n\r\n", 201},
      {"\u00A0HTTP/1.1\u00A0" "202\u00A0\r\n\r\n", 202},
      {"HTTP/1.1\n203\rX\r\n\r\n", 203},
      {"HTTP/1.1\u200B" "200\r\n\r\n", -1},
      // The range ends at 65535; leading zeros do not count against it.
      {"H 0\r\n\r\n", 0},
      {"H 65535\r\n\r\n", 65535},
      {"H +65535\r\n\r\n", 65535},
      {"H 65536\r\n\r\n", -1},
      {"H 0000000000000000000000200\r\n\r\n", 200},
      // The head must be UTF-8, also right before the CR LF CR LF.
      {"HTTP/1.1 200 \xff\r\n\r\n", -1},
      {"HTTP/1.1 200\r\nX: \xc0\xaf\r\n\r\n", -1},
      {"HTTP/1.1 200\r\nX: \xe3\x80\r\n\r\n", -1},
      // One bad Content-Length fails the reply even after good ones.
      {"H 200\r\nContent-Length: 2\r\nContent-Length: x\r\n\r\n0123", -1},
      // Other headers need a colon; a lone CR inside a line is no line end.
      {"H 200\r\nX-Empty:\r\nno colon\r\n\r\nbody", -1},
      {"H 200\r\nX\rY\r\n\r\nbody", -1},
      // A chunked body is cut to the Content-Length before decoding: the
      // limit here removes the zero-size chunk, so decoding fails.
      {"H 200\r\nTransfer-Encoding: chunked\r\nContent-Length: 10\r\n\r\n"
       "5\r\nhello\r\n0\r\n\r\n",
       -1},
      {"H 200\r\nTransfer-Encoding: chunked\r\n\r\n5\r\nhello\r\n", -1},
  };
  for (const auto& [reply, status] : cases) {
    EXPECT_EQ(status_of(reply), status) << reply;
  }
  for (const char* line :
       {"HTTP/1.1", "HTTP/1.1 OK 200", "HTTP/1.1 70000 X", "HTTP/1.1 -1",
        "HTTP/1.1 +", "HTTP/1.1 2OO", "HTTP/1.1 200.0", "HTTP/1.1 ++200",
        "HTTP/1.1 0x1F", "HTTP/1.1 65536", "HTTP/1.1 99999999999999999999999",
        "", "   "}) {
    EXPECT_EQ(status_of(line + "\r\n\r\n"s), -1) << line;
  }
  for (const char* value :
       {"", " ", "-1", "+", "++3", "3 4", "0x10", "3.0", "1e3",
        "18446744073709551616", "99999999999999999999999999"}) {
    EXPECT_EQ(status_of("H 200\r\nContent-Length: "s + value + "\r\n\r\nbody"),
              -1)
        << value;
  }
}

TEST(ParseResponse, Body) {
  const std::string digits = "0123456789";
  const std::pair<std::string, std::string> cases[] = {
      {"HTTP/1.1 503 Service Unavailable\r\n\r\n", ""},
      // The body need not be UTF-8.
      {"HTTP/1.1 200 OK\r\n\r\n\xff\xfe\x00\x01\r\n\r\n\xc0"s,
       "\xff\xfe\x00\x01\r\n\r\n\xc0"s},
      // Content-Length only shortens the body; its name and value are
      // trimmed of Unicode white space (not U+200B) and ASCII case-folded.
      {"H 200\r\nContent-Length: 5\r\n\r\n" + digits, "01234"},
      {"H 200\r\nContent-Length: 50\r\n\r\n" + digits, digits},
      {"H 200\r\nContent-Length: 0\r\n\r\n" + digits, ""},
      {"H 200\r\nContent-Length: +3\r\n\r\n" + digits, "012"},
      {"H 200\r\ncontent-length: 007\r\n\r\n" + digits, "0123456"},
      {"H 200\r\n CONTENT-LENGTH :  3 \r\n\r\n" + digits, "012"},
      {"H 200\r\n\u3000Content-Length\t:\u00A04\u2029\r\n\r\n" + digits,
       "0123"},
      {"H 200\r\nCONTENT-LENGTH\u200B: 2\r\n\r\n" + digits, digits},
      // The whole u64 range; repeated lengths take the smallest.
      {"H 200\r\nContent-Length: 18446744073709551615\r\n\r\nabc", "abc"},
      {"H 200\r\nContent-Length: +018446744073709551615\r\n\r\nabc", "abc"},
      {"H 200\r\nContent-Length: 8\r\nContent-Length: 2\r\n"
       "Content-Length: 5\r\n\r\n" + digits,
       "01"},
      // Other headers are ignored; a header line with a lone LF inside is
      // still one line, and the colon may come after the LF.
      {"H 200\r\nX-Empty:\r\n: no name\r\nA::b\r\n\r\nbody", "body"},
      {"H 200\r\nX\nContent-Length: 1\r\n\r\nbody", "body"},
      {"H 200\r\nContent-Length: 15\r\nTransfer-Encoding: chunked\r\n\r\n"
       "5\r\nhello\r\n0\r\nrest is cut off",
       "hello"},
  };
  for (const auto& [reply, body] : cases) {
    EXPECT_EQ(body_of(reply), body) << reply;
  }
}

TEST(ParseResponse, ChunkedOnlyForTheSingleCodingChunked) {
  const std::string chunked_body = "5\r\nhello\r\n0\r\n\r\n";
  auto body_with = [&](const std::string& coding_lines) {
    return body_of("H 200\r\n" + coding_lines + "\r\n" + chunked_body);
  };
  for (const char* value :
       {"chunked", "Chunked", "CHUNKED", "  chunked\t", "\u3000cHuNkEd"}) {
    EXPECT_EQ(body_with("Transfer-Encoding: "s + value + "\r\n"), "hello")
        << value;
  }
  // U+212A KELVIN SIGN would match "k" under Unicode case folding; only
  // ASCII letters are folded.
  for (const char* value :
       {"gzip, chunked", "chunked, gzip", "chunk", "chunkedd", "identity", "",
        "\"chunked\"", "chun\u212Aed"}) {
    EXPECT_EQ(body_with("Transfer-Encoding: "s + value + "\r\n"), chunked_body)
        << value;
  }
  // Once set, a later transfer-encoding line does not clear the flag.
  EXPECT_EQ(body_with("Transfer-Encoding: chunked\r\n"
                      "Transfer-Encoding: identity\r\n"),
            "hello");
}

TEST(DecodeChunked, DecodesChunksAndIgnoresExtensionsAndTrailers) {
  const struct {
    std::string body;
    std::string data;
  } cases[] = {
      {"5;ext=1\r\nhello\r\n0\r\n\r\n", "hello"},
      {"0\r\n", ""},
      {"3\r\nabc\r\n2\r\nde\r\n0;x\r\nTrailer: y\r\n", "abcde"},
      {" 3 ; a=\"b;c\"\r\nabc\r\n0\r\n", "abc"},
      {"\u3000"
       "3\u0085;\r\nabc\r\n\t0\t\r\n",
       "abc"},
      // Data may contain CR LF and NUL; it is taken by count, not by search.
      {"6\r\n\r\n\0\r\n\xff\r\n0\r\n"s, "\r\n\0\r\n\xff"s},
      // Hex sizes in either case, with an optional plus.
      {"A\r\n0123456789\r\n0\r\n", "0123456789"},
      {"a\r\n0123456789\r\n0\r\n", "0123456789"},
      {"+5\r\nhello\r\n0\r\n", "hello"},
      {"00000000000000000000005\r\nhello\r\n+0\r\n", "hello"},
      {"10\r\n0123456789abcdef\r\n0\r\n", "0123456789abcdef"},
      // The two bytes after the data are skipped unexamined.
      {"5\r\nhelloXY0\r\n", "hello"},
      {"2\r\nhi\n\n1\r\n!..0\r\n", "hi!"},
  };
  for (const auto& c : cases) {
    EXPECT_EQ(decode_chunked(c.body), c.data) << c.body;
  }
}

TEST(DecodeChunked, FailsWhenCutShortOrMalformed) {
  std::vector<std::string> bodies = {
      "", "0", "0\n", "0\r",
      // Without the zero-size chunk.
      "5;ext=1\r\nhello\r\n", "5;ext=1\r\nhello\r\n\r\n", "5\r\nhell",
      // A size line that is not UTF-8, even inside an extension.
      "5;\xff\r\nhello\r\n0\r\n",
      // The next size line must follow the skipped two bytes directly.
      "5\r\nhello\r\n\r\n0\r\n",
      // Sizes that fit in 64 bits but exceed what remains.
      "ffffffffffffffff\r\nabc\r\n0\r\n", "8000000000000000\r\nabc\r\n0\r\n",
      // Beyond 64 bits, also when the low 64 bits would be small.
      "10000000000000000\r\nabc\r\n0\r\n", "10000000000000003\r\nabc\r\n0\r\n",
      // Exactly the bytes that remain is enough for the data, but the
      // closing two bytes are then missing.
      "3\r\nabc", "3\r\nabc\r"};
  // Size lines that are not a hex number with an optional plus.
  for (const char* line :
       {"-5", "+", "-", "", "  ", ";ext", "5 5", "0x5", "g", "++5", "5.0"}) {
    bodies.push_back(line + "\r\nhello\r\n0\r\n"s);
  }
  for (const std::string& body : bodies) {
    EXPECT_FALSE(decode_chunked(body)) << body;
  }
}

}  // namespace
}  // namespace twk::http
