// The road of one event.
#include "hook.h"

#include "http/client.h"
#include "start/binary.h"
#include "start/launch.h"
#include "start/records.h"
#include "twk/sys/clock.h"

namespace twk {
namespace {

constexpr std::string_view kPolicyPath = "/v1/policy/hook";

http::RequestResult ask(const start::Endpoint& endpoint,
                        std::string_view body, sys::Instant deadline) {
  return http::request(endpoint.address, "POST", kPolicyPath, endpoint.token,
                       body, deadline);
}

std::string didnt_answer(const http::HttpError& error) {
  return "Core didn't answer: " + std::get<http::Message>(error).text;
}

}  // namespace

HookOutput run(std::string_view agent, std::string_view hook,
               HookInput& input, const HookConfig& config,
               const std::optional<std::string>& path_env,
               sys::Instant deadline) {

  // Nothing is looked up or contacted for input that is not JSON.
  Result<std::string_view> body =
      policy_request_body(agent, hook, input, config.project_dir);
  if (!body) return unchecked_call_output(hook, body.reason());

  Result<std::string> binary = start::find_core_binary(config);
  if (!binary) return unchecked_call_output(hook, binary.reason());
  Result<std::string> expected =
      start::expected_executable(binary.value(), path_env);
  if (!expected) return unchecked_call_output(hook, expected.reason());

  // A running Core is asked straight away, without a health check: the
  // common case costs one connection. Only a refusal leads to a start.
  if (std::optional<start::Endpoint> live =
          start::live_endpoint(config.endpoint_file, expected.value())) {
    http::RequestResult first = ask(*live, body.value(), deadline);
    if (auto* response = std::get_if<http::Response>(&first)) {
      return judge_core_answer(hook, *response);
    }
    const auto& error = std::get<http::HttpError>(first);
    if (!std::holds_alternative<http::Refused>(error)) {
      return unchecked_call_output(hook, didnt_answer(error));
    }
  }

  Result<start::Endpoint> started = start::start_core(
      config, binary.value(), expected.value(), deadline);
  if (!started) return unchecked_call_output(hook, started.reason());

  http::RequestResult second = ask(started.value(), body.value(), deadline);
  if (auto* response = std::get_if<http::Response>(&second)) {
    return judge_core_answer(hook, *response);
  }
  const auto& error = std::get<http::HttpError>(second);
  if (std::holds_alternative<http::Refused>(error)) {
    return unchecked_call_output(hook, "Core stopped right after starting");
  }
  return unchecked_call_output(hook, didnt_answer(error));
}

}  // namespace twk
