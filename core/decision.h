// What a policy says about a tool call.
#pragma once

#include <optional>
#include <string_view>

namespace twk::core {

// What a policy says about a tool call, from no opinion to the strictest.
// kNone leaves the call to the agent host's own permission settings.
enum class Decision { kNone, kAllow, kAsk, kDeny };

// How strict a decision is: none < allow < ask < deny.
constexpr int strictness(Decision d) { return static_cast<int>(d); }

// "none", "allow", "ask", "deny".
std::string_view decision_name(Decision decision);
// The decision named `name` (as decision_name spells it), or nothing.
std::optional<Decision> decision_from_name(std::string_view name);

}  // namespace twk::core
