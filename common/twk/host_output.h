// What the agent host reads from the hook's standard output before a tool
// runs: a permission decision for the call, with the reason the host shows
// (to the model for deny, to the user for ask), and optionally a message
// for the user. Core builds it for its decisions, the hook for the calls it
// could not have checked; both build it here, so the shape is defined once.
#pragma once

#include <optional>
#include <string_view>

#include "twk/json.h"

namespace twk {

// {"hookSpecificOutput":{"hookEventName":"PreToolUse",
//  "permissionDecision":<decision>,"permissionDecisionReason":<reason>}},
// with "systemMessage":<message> beside "hookSpecificOutput" when given.
// `decision` is "allow", "ask" or "deny".
json::Value permission_output(
    std::string_view decision, std::string_view reason,
    std::optional<std::string_view> system_message = std::nullopt);

}  // namespace twk
