// Routing and the policy exchange, independent of sockets.
#include "routes.h"

#include <exception>

#include "event.h"
#include "record.h"

namespace twk::core {
namespace {

constexpr std::string_view kHealthPath = "/health";
constexpr std::string_view kPolicyPath = "/v1/policy/hook";

Reply json_reply(int status, std::string body) {
  Reply reply;
  reply.status = status;
  reply.body = std::move(body);
  return reply;
}

// {"error":"<message>"}; the messages are fixed ASCII without quotes.
Reply error_reply(int status, std::string_view message) {
  std::string body = "{\"error\":\"";
  body += message;
  body += "\"}";
  return json_reply(status, std::move(body));
}

Reply method_not_allowed(std::string allow) {
  Reply reply = error_reply(405, "method not allowed");
  reply.headers.emplace_back("Allow", std::move(allow));
  return reply;
}

bool ascii_iequal(std::string_view a, std::string_view b) {
  if (a.size() != b.size()) return false;
  for (std::size_t i = 0; i < a.size(); ++i) {
    unsigned char x = static_cast<unsigned char>(a[i]);
    unsigned char y = static_cast<unsigned char>(b[i]);
    if (x >= 'A' && x <= 'Z') x = static_cast<unsigned char>(x - 'A' + 'a');
    if (y >= 'A' && y <= 'Z') y = static_cast<unsigned char>(y - 'A' + 'a');
    if (x != y) return false;
  }
  return true;
}

}  // namespace

Routes::Routes(std::string token, const Policy& policy, const AuditLog* audit)
    : token_(std::move(token)), policy_(policy), audit_(audit) {}

Reply Routes::handle(const Request& request) const noexcept {
  try {
    if (request.path == kHealthPath) {
      // HEAD is what a GET would be, minus the body (the server drops it).
      if (request.method == "GET" || request.method == "HEAD") {
        return json_reply(200, "{\"status\":\"ok\"}");
      }
      return method_not_allowed("GET, HEAD");
    }
    if (request.path == kPolicyPath) {
      if (request.method == "POST") return policy_exchange(request);
      return method_not_allowed("POST");
    }
    return error_reply(404, "not found");
  } catch (const std::exception&) {
    // Allocation failures and library errors end here, not in the server.
    Reply reply;
    reply.status = 500;
    reply.body = "{\"error\":\"internal error\"}";
    return reply;
  }
}

bool Routes::wants_body(
    std::string_view method, std::string_view path,
    std::optional<std::string_view> authorization) const noexcept {
  return method == "POST" && path == kPolicyPath && authorized(authorization);
}

bool Routes::authorized(
    std::optional<std::string_view> authorization) const noexcept {
  std::optional<std::string_view> token;
  if (authorization) token = bearer_token(*authorization);
  return token && constant_time_equal(*token, token_);
}

Reply Routes::policy_exchange(const Request& request) const {
  // The token is checked before the body is looked at, so that only the
  // hook can make Core parse anything.
  if (!authorized(request.authorization)) {
    Reply reply = error_reply(401, "missing or wrong bearer token");
    reply.headers.emplace_back("WWW-Authenticate", "Bearer");
    return reply;
  }

  Result<Event> event = Event::read(request.body, kMaxNesting);
  if (!event) return error_reply(400, event.reason());

  Verdict verdict = policy_.decide(event->value());
  if (audit_ != nullptr) {
    try {
      audit_->append(
          audit_line(std::chrono::system_clock::now(), *event, verdict));
    } catch (const std::exception&) {
      // No memory to build the record; the decision still goes out.
    }
  }
  nlohmann::json answer = {{"output", std::move(verdict.output)}};
  // Strings from the parser are valid UTF-8, and so are the policy's; the
  // replace handler only makes sure dump() cannot throw on them.
  return json_reply(200, answer.dump(-1, ' ', false,
                                     nlohmann::json::error_handler_t::replace));
}

std::optional<std::string_view> bearer_token(std::string_view authorization) {
  constexpr std::string_view kScheme = "bearer";
  if (authorization.size() <= kScheme.size() ||
      !ascii_iequal(authorization.substr(0, kScheme.size()), kScheme) ||
      authorization[kScheme.size()] != ' ') {
    return std::nullopt;
  }
  std::string_view token = authorization.substr(kScheme.size());
  while (!token.empty() && token.front() == ' ') token.remove_prefix(1);
  while (!token.empty() && (token.back() == ' ' || token.back() == '\t')) {
    token.remove_suffix(1);
  }
  if (token.empty()) return std::nullopt;
  return token;
}

}  // namespace twk::core
