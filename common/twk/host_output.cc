// The host's permission output.
#include "twk/host_output.h"

#include <string>

namespace twk {

json::Value permission_output(std::string_view decision,
                              std::string_view reason,
                              std::optional<std::string_view> system_message) {
  json::Value inner = json::Value::object();
  inner["hookEventName"] = "PreToolUse";
  inner["permissionDecision"] = std::string(decision);
  inner["permissionDecisionReason"] = std::string(reason);
  json::Value outer = json::Value::object();
  outer["hookSpecificOutput"] = std::move(inner);
  if (system_message) outer["systemMessage"] = std::string(*system_message);
  return outer;
}

}  // namespace twk
