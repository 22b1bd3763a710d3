// Request body, answer judging and the hook's own "ask" decision.
#include "policy.h"

#include <errno.h>
#include <unistd.h>

namespace twk {
namespace {

constexpr std::string_view kMessageHead = "Vantorel couldn't check this call (";
constexpr std::string_view kMessageTail =
    "). Approve it only if you expect it.";

}  // namespace

Result<std::string> policy_request_body(
    std::string_view agent, std::string_view hook, std::string_view input,
    const std::optional<std::string>& project_dir) {
  std::optional<std::string> canonical = json::canonicalize(input);
  if (!canonical) return Failure{"the hook input wasn't JSON"};
  // Members in byte order of their keys: agent, context, hook, input.
  std::string body;
  body.reserve(canonical->size() + agent.size() + hook.size() +
               (project_dir ? project_dir->size() : 0) + 64);
  body += "{\"agent\":";
  json::append_string(body, agent);
  body += ",\"context\":{";
  if (project_dir) {
    body += "\"projectDir\":";
    json::append_string(body, *project_dir);
  }
  body += "},\"hook\":";
  json::append_string(body, hook);
  body += ",\"input\":";
  body += *canonical;
  body += '}';
  return body;
}

HookOutput judge_core_answer(std::string_view hook,
                             const http::Response& response) {
  if (response.status != 200) {
    return unchecked_call_output(
        hook, "Core answered " + std::to_string(response.status));
  }
  std::optional<json::Value> answer = json::parse(response.body);
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
  json::Value inner = json::Value::object();
  inner["hookEventName"] = "PreToolUse";
  inner["permissionDecision"] = "ask";
  inner["permissionDecisionReason"] = message;
  json::Value outer = json::Value::object();
  outer["hookSpecificOutput"] = std::move(inner);
  outer["systemMessage"] = std::move(message);
  return outer;
}

std::string hook_output_line(const HookOutput& output) {
  if (!output) return std::string();
  std::string line = json::dump(*output);
  line += '\n';
  return line;
}

void write_hook_output(const HookOutput& output) {
  if (!output) return;
  std::string line = hook_output_line(output);
  // One write call carries the whole line; only a write cut short by a
  // signal is continued. Any failure (a closed pipe, a full disk) is
  // deliberately dropped: the host gets no output, and the exit status
  // stays 0.
  std::size_t done = 0;
  while (done < line.size()) {
    ssize_t n = ::write(STDOUT_FILENO, line.data() + done, line.size() - done);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) return;
    done += static_cast<std::size_t>(n);
  }
}

}  // namespace twk
