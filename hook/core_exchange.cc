// Request body, answer judging and the hook's own "ask" decision.
#include "core_exchange.h"

#include <unistd.h>

#include "twk/host_output.h"
#include "twk/sys/timed_write.h"

namespace twk {
namespace {

constexpr std::string_view kMessageHead = "Vantorel couldn't check this call (";
constexpr std::string_view kMessageTail =
    "). Approve it only if you expect it.";

}  // namespace

Result<std::string_view> policy_request_body(
    std::string_view agent, std::string_view hook, HookInput& input,
    const std::optional<std::string>& project_dir) {
  constexpr std::string_view kNotJson = "the hook input wasn't JSON";
  if (input.too_large()) return Failure{std::string(kInputTooLarge)};
  char* memory = input.memory();
  if (memory == nullptr || input.size() == 0) {
    return Failure{std::string(kNotJson)};
  }

  // Members in byte order of their keys: agent, context, hook, input.
  // Reserved once, enough unless the strings hold many control bytes.
  std::string start;
  start.reserve(48 + 2 * (agent.size() + hook.size()) +
                (project_dir ? 2 * project_dir->size() + 16 : 0));
  start += "{\"agent\":";
  json::append_string(start, agent);
  start += ",\"context\":{";
  if (project_dir) {
    start += "\"projectDir\":";
    json::append_string(start, *project_dir);
  }
  start += "},\"hook\":";
  json::append_string(start, hook);
  start += ",\"input\":";

  // The body is built over the input, in the room in front of it (see
  // json::frame_canonical for where it ends up).
  Result<std::string_view> body = json::frame_canonical(
      memory, HookInput::kRoom, input.size(), start, "}", input.spill());
  if (!body) return Failure{std::string(kNotJson)};
  return body;
}

HookOutput judge_core_answer(std::string_view hook,
                             const http::Response& response) {
  if (response.status != 200) {
    return unchecked_call_output(
        hook, "Core answered " + std::to_string(response.status));
  }
  Result<json::Value> answer = json::parse(response.body);
  if (answer && answer->is_object()) {
    auto it = answer->find("output");
    if (it != answer->end()) {
      if (it->is_null() || hook != kPreToolUse) return std::nullopt;
      return std::move(*it);
    }
  }
  return unchecked_call_output(hook, "Core's answer wasn't valid");
}

HookOutput unchecked_call_output(std::string_view hook,
                                 std::string_view reason) {
  if (hook != kPreToolUse) return std::nullopt;
  std::string message;
  message.reserve(kMessageHead.size() + reason.size() + kMessageTail.size());
  message += kMessageHead;
  message += reason;
  message += kMessageTail;
  return permission_output("ask", message, message);
}

std::string hook_output_line(const HookOutput& output) {
  if (!output) return std::string();
  std::string line = json::dump(*output);
  line += '\n';
  return line;
}

void write_hook_output(const HookOutput& output, sys::Instant deadline) {
  if (!output) return;
  std::string line = hook_output_line(output);
  // Only a write cut short by a signal is continued. Any failure (a closed
  // pipe, a full disk, a host that reads nothing until the deadline) is
  // deliberately dropped: the host gets no output, and the exit status
  // stays 0. O_NONBLOCK is not an option: the open file description of
  // standard output is the host's too.
  (void)sys::write_all_until(STDOUT_FILENO, line, deadline);
}

}  // namespace twk
