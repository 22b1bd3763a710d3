// The decision seam: what Core answers for one hook event. Everything about
// HTTP, tokens and body checks stays outside; this module sees only events
// that arrived as JSON objects from an authenticated hook.
#pragma once

#include <nlohmann/json.hpp>

namespace twk::core {

class Policy {
 public:
  // A policy without rules. It has nothing to say about any event.
  Policy() = default;

  // The hook output for `event` (a JSON object with "agent", "context",
  // "hook" and "input" as the hook sends it), passed to the agent host
  // unchanged; null when the policy makes no decision, so the agent goes on
  // as it would without a hook. Never throws.
  nlohmann::json decide(const nlohmann::json& event) const noexcept;
};

}  // namespace twk::core
