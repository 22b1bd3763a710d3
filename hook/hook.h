// run(): one hook event from its input to the agent's output. It alone
// decides the order of the steps, which failure starts Core, and that at
// most two policy requests are made, all against one deadline.
#pragma once

#include <optional>
#include <string>
#include <string_view>

#include "config.h"
#include "core_exchange.h"
#include "hook_input.h"
#include "http/client.h"
#include "start/records.h"
#include "twk/result.h"
#include "twk/sys/clock.h"

namespace twk {

// The ways run() reaches Core. SystemCore, below, finds the binary, reads
// the endpoint record, starts Core and speaks HTTP; unit tests script one
// to check the order of the steps and that nothing is tried twice.
class CoreAccess {
 public:
  virtual ~CoreAccess() = default;
  // Whether a Core binary can be found and its executable named; asked
  // once, before anything else, and the reason when not.
  virtual Status find_binary() = 0;
  // The endpoint of a running Core the record names and the hook trusts;
  // nothing when there is none.
  virtual std::optional<Endpoint> live_endpoint() = 0;
  // Starts Core (or waits for a start already under way) and returns the
  // endpoint it recorded.
  virtual Result<Endpoint> start() = 0;
  // One policy request with `body`.
  virtual http::RequestResult ask(const Endpoint& endpoint,
                                  std::string_view body) = 0;
};

// Forwards the event through `core` (starting Core when none answers) and
// returns Core's decision, or the unchecked-call output with the reason
// there is none. Never fails and never writes anything itself. The request
// body is built over the input (see policy_request_body).
HookOutput run(std::string_view agent, std::string_view hook,
               HookInput& input, const std::optional<std::string>& project_dir,
               CoreAccess& core);

// The real CoreAccess. `path_env` is the PATH used to resolve a
// "#!/usr/bin/env" Core script. `deadline` is the run's deadline, now plus
// config.deadline fixed by the caller once input and configuration are
// read; every policy request and the start of Core keep to it.
class SystemCore : public CoreAccess {
 public:
  SystemCore(const HookConfig& config, std::optional<std::string> path_env,
             sys::Instant deadline)
      : config_(config), path_env_(std::move(path_env)), deadline_(deadline) {}

  Status find_binary() override;
  std::optional<Endpoint> live_endpoint() override;
  Result<Endpoint> start() override;
  http::RequestResult ask(const Endpoint& endpoint,
                          std::string_view body) override;

 private:
  const HookConfig& config_;
  std::optional<std::string> path_env_;
  sys::Instant deadline_;
  std::string binary_;    // set by find_binary
  std::string expected_;  // the executable a live Core must run
};

// run() through SystemCore.
HookOutput run(std::string_view agent, std::string_view hook,
               HookInput& input, const HookConfig& config,
               const std::optional<std::string>& path_env,
               sys::Instant deadline);

}  // namespace twk
