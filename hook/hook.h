// run(): one hook event from its input to the agent's output. It alone
// decides the order of the steps, which failure starts Core, and that at
// most two policy requests are made, all against one deadline.
#pragma once

#include <string_view>

#include "config.h"
#include "hook_input.h"
#include "core_exchange.h"
#include "twk/sys/clock.h"

namespace twk {

// Forwards the event to Core (starting Core when none answers) and returns
// Core's decision, or the unchecked-call output with the reason there is
// none. Never fails and never writes anything itself. `path_env` is the
// PATH used to resolve a "#!/usr/bin/env" Core script. The request body is
// built over the input (see policy_request_body). `deadline` is the run's
// deadline, now plus config.deadline fixed by the caller once input and
// configuration are read; every policy request and the start of Core keep
// to it.
HookOutput run(std::string_view agent, std::string_view hook,
               HookInput& input, const HookConfig& config,
               const std::optional<std::string>& path_env,
               sys::Instant deadline);

}  // namespace twk
