// The road of one event.
#include "hook.h"

#include "start/binary.h"
#include "start/launch.h"

namespace twk {
namespace {

constexpr std::string_view kPolicyPath = "/v1/policy/hook";

std::string didnt_answer(const http::HttpError& error) {
  return "Core didn't answer: " + std::get<http::Message>(error).text;
}

}  // namespace

HookOutput run(std::string_view agent, std::string_view hook,
               HookInput& input, const std::optional<std::string>& project_dir,
               CoreAccess& core) {
  // Nothing is looked up or contacted for input that is not JSON.
  Result<std::string_view> body =
      policy_request_body(agent, hook, input, project_dir);
  if (!body) return unchecked_call_output(hook, body.reason());

  Status found = core.find_binary();
  if (!found) return unchecked_call_output(hook, found.reason());

  // A running Core is asked straight away, without a health check: the
  // common case costs one connection. Only a refusal leads to a start; any
  // other failure (a time-out, a broken reply) is reported, since a second
  // Core would not make the first one answer.
  if (std::optional<Endpoint> live = core.live_endpoint()) {
    http::RequestResult first = core.ask(*live, body.value());
    if (auto* response = std::get_if<http::Response>(&first)) {
      return judge_core_answer(hook, *response);
    }
    const auto& error = std::get<http::HttpError>(first);
    if (!std::holds_alternative<http::Refused>(error)) {
      return unchecked_call_output(hook, didnt_answer(error));
    }
  }

  Result<Endpoint> started = core.start();
  if (!started) return unchecked_call_output(hook, started.reason());

  http::RequestResult second = core.ask(started.value(), body.value());
  if (auto* response = std::get_if<http::Response>(&second)) {
    return judge_core_answer(hook, *response);
  }
  const auto& error = std::get<http::HttpError>(second);
  if (std::holds_alternative<http::Refused>(error)) {
    return unchecked_call_output(hook, "Core stopped right after starting");
  }
  return unchecked_call_output(hook, didnt_answer(error));
}

Status SystemCore::find_binary() {
  Result<std::string> binary = start::find_core_binary(config_);
  if (!binary) return Failure{binary.reason()};
  Result<std::string> expected =
      start::expected_executable(binary.value(), path_env_);
  if (!expected) return Failure{expected.reason()};
  binary_ = std::move(binary.value());
  expected_ = std::move(expected.value());
  return Ok{};
}

std::optional<Endpoint> SystemCore::live_endpoint() {
  return start::live_endpoint(config_.endpoint_file, expected_);
}

Result<Endpoint> SystemCore::start() {
  return start::start_core(config_, binary_, expected_, deadline_);
}

http::RequestResult SystemCore::ask(const Endpoint& endpoint,
                                    std::string_view body) {
  return http::request(endpoint.address, "POST", kPolicyPath, endpoint.token,
                       body, deadline_);
}

HookOutput run(std::string_view agent, std::string_view hook,
               HookInput& input, const HookConfig& config,
               const std::optional<std::string>& path_env,
               sys::Instant deadline) {
  SystemCore core(config, path_env, deadline);
  return run(agent, hook, input, config.project_dir, core);
}

}  // namespace twk
