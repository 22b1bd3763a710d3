// The rule-less policy: no decision for any event.
#include "policy.h"

namespace twk::core {

nlohmann::json Policy::decide(const nlohmann::json& /*event*/) const noexcept {
  // Without rules there is nothing to decide; null tells the hook to pass
  // nothing on, leaving the agent host's own permission flow in charge.
  return nullptr;
}

}  // namespace twk::core
