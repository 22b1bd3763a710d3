// Tests for routing, authentication and body checks of Core's requests.
#include "routes.h"

#include <gtest/gtest.h>

#include <string>

namespace twk::core {
namespace {

const std::string kToken(64, '7');
constexpr std::string_view kEvent =
    R"({"agent":"claude-code","context":{},"hook":"pre-tool-use",)"
    R"("input":{"tool_name":"Bash"}})";

class RoutesTest : public ::testing::Test {
 protected:
  Reply call(std::string_view method, std::string_view path,
             std::optional<std::string_view> authorization = std::nullopt,
             std::string_view body = "") {
    return routes_.handle({method, path, authorization, body});
  }
  Reply post(std::string_view body) {
    std::string header = "Bearer " + kToken;
    return call("POST", "/v1/policy/hook", std::string_view(header), body);
  }

  Policy policy_;
  Routes routes_{kToken, policy_};
};

std::string header(const Reply& reply, std::string_view name) {
  for (const auto& [key, value] : reply.headers) {
    if (key == name) return value;
  }
  return "<absent>";
}

// "[[...[]...]]" wrapped `levels` deep, as the value of "input".
std::string event_with_input_depth(std::size_t levels) {
  return R"({"agent":"claude-code","context":{},"hook":"pre-tool-use","input":)" +
         std::string(levels, '[') + std::string(levels, ']') + "}";
}

TEST_F(RoutesTest, PathsAndMethods) {
  const struct {
    const char* method;
    const char* path;
    int status;
    const char* allow;
  } cases[] = {
      {"GET", "/health", 200, "<absent>"},
      {"HEAD", "/health", 200, "<absent>"},
      {"POST", "/health", 405, "GET, HEAD"},
      {"GET", "/", 404, "<absent>"},
      {"GET", "/health/", 404, "<absent>"},
      {"POST", "/v1/policy/hook/extra", 404, "<absent>"},
      {"POST", "/v1/policy", 404, "<absent>"},
      {"GET", "/v1/policy/hook", 405, "POST"},
      {"PUT", "/v1/policy/hook", 405, "POST"},
  };
  for (const auto& c : cases) {
    Reply r = call(c.method, c.path);
    EXPECT_EQ(r.status, c.status) << c.method << " " << c.path;
    EXPECT_EQ(header(r, "Allow"), c.allow) << c.method << " " << c.path;
  }
  EXPECT_EQ(call("GET", "/health").body, R"({"status":"ok"})");
  // A valid event, with the default policy: a null output.
  Reply r = post(kEvent);
  EXPECT_EQ(r.status, 200);
  EXPECT_EQ(r.body, R"({"output":null})");
  EXPECT_EQ(r.content_type, "application/json");
}

TEST_F(RoutesTest, PolicyRequestsNeedTheExactBearerToken) {
  const std::string wrong_last = "Bearer " + kToken.substr(0, 63) + "8";
  const std::string prefix = "Bearer " + kToken.substr(0, 32);
  const std::string longer = "Bearer " + kToken + "7";
  const std::string basic = "Basic " + kToken;
  const std::string no_space = "Bearer" + kToken;
  for (std::optional<std::string_view> auth :
       {std::optional<std::string_view>(), std::optional<std::string_view>(""),
        std::optional<std::string_view>("Bearer "),
        std::optional<std::string_view>(wrong_last),
        std::optional<std::string_view>(prefix),
        std::optional<std::string_view>(longer),
        std::optional<std::string_view>(basic),
        std::optional<std::string_view>(no_space)}) {
    Reply r = call("POST", "/v1/policy/hook", auth, kEvent);
    EXPECT_EQ(r.status, 401) << (auth ? *auth : "<no header>");
    EXPECT_EQ(header(r, "WWW-Authenticate"), "Bearer");
  }
  // The scheme is case-insensitive (RFC 7235); spaces around the token
  // are not part of it.
  const std::string lower = "bearer  " + kToken + " ";
  EXPECT_EQ(
      call("POST", "/v1/policy/hook", std::string_view(lower), kEvent).status,
      200);
  // The token is checked before the body is looked at.
  EXPECT_EQ(call("POST", "/v1/policy/hook", std::nullopt, "not json").status,
            401);
}

// Which bodies Event::read refuses, and why, is event_test's business;
// here, one of each reason is answered 400, and the input depth the hook
// forwards (127 levels inside its own object) is accepted.
TEST_F(RoutesTest, BodiesCoreCannotReadAre400) {
  for (const std::string& body : {std::string("not json"), std::string("[]"),
                                  std::string(kEvent) + std::string(1, '\0'),
                                  event_with_input_depth(128)}) {
    Reply r = post(body);
    EXPECT_EQ(r.status, 400) << body;
    EXPECT_EQ(r.content_type, "application/json");
  }
  EXPECT_EQ(post(event_with_input_depth(127)).status, 200);
  // Whitespace around the object is fine.
  EXPECT_EQ(post(" \r\n\t" + std::string(kEvent) + "\n").status, 200);
}

}  // namespace
}  // namespace twk::core
