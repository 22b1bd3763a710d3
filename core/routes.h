// What each request to Core gets: the health check, the policy exchange and
// the error replies, as a pure function of the request. Sockets stay in
// server.cc; everything here can be tested without one.
#pragma once

#include <cstddef>
#include <optional>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "audit.h"
#include "policy.h"

namespace twk::core {

// The parts of a request that Core looks at. Views into the server's
// request, valid for the duration of one call.
struct Request {
  std::string_view method;
  std::string_view path;                          // without the query string
  std::optional<std::string_view> authorization;  // header value, if sent
  std::string_view body;
};

struct Reply {
  int status = 500;
  std::string_view content_type = "application/json";
  std::string body;
  // Further headers, such as "Allow" or "WWW-Authenticate".
  std::vector<std::pair<std::string, std::string>> headers;
};

class Routes {
 public:
  // `token` is the bearer token every policy request must carry; `policy`
  // and `audit` (when given, every decided event is recorded there) must
  // outlive this object.
  Routes(std::string token, const Policy& policy,
         const AuditLog* audit = nullptr);

  // GET (or HEAD) /health: 200. POST /v1/policy/hook: 401 without the right
  // bearer token, 400 for a body that is not a JSON object, otherwise 200
  // with {"output":...} from the policy. 405 for another method on those
  // paths, 404 for any other path. Never throws; an internal failure is a
  // 500.
  Reply handle(const Request& request) const noexcept;

  // True when a request with this head gets its body read: a POST to the
  // policy path with the right token. Every other request is answered from
  // its head alone, so that no one without the token can make Core hold a
  // body in memory or wait for one.
  bool wants_body(std::string_view method, std::string_view path,
                  std::optional<std::string_view> authorization) const noexcept;

 private:
  Reply policy_exchange(const Request& request) const;
  bool authorized(std::optional<std::string_view> authorization) const noexcept;

  std::string token_;
  const Policy& policy_;
  const AuditLog* audit_;
};

// The token of an "Authorization: Bearer <token>" value (scheme compared
// without regard to case); nothing for another scheme or an empty token.
std::optional<std::string_view> bearer_token(std::string_view authorization);

}  // namespace twk::core
