// Starting Core on demand: the start lock, the re-check under it, the free
// port, the log, the spawn, and the wait until the new Core is healthy.
#pragma once

#include <string>

#include "config.h"
#include "twk/result.h"
#include "start/records.h"
#include "twk/sys/clock.h"

namespace twk::start {

// Gives the Endpoint of a Core whose GET /health answered 200: one that
// another hook started while this one waited for the lock, or a new one
// spawned from `binary`. Everything happens within the start budget, the
// earlier of now + 5 s and `deadline`. The lock directory (endpoint_file +
// ".start-lock") is removed again on every way out after it was taken.
// Failure reasons: "another start of Core is taking too long",
// "couldn't take Core's start lock: {}", "no free port for Core: {}",
// "couldn't open Core's log: {}", "couldn't start Core at {}: {}",
// "Core exited while starting ({})", "Core didn't start in time", or a bare
// system error text when the log handle cannot be duplicated.
Result<Endpoint> start_core(const HookConfig& config, const std::string& binary,
                            const std::string& expected_executable,
                            sys::Instant deadline);

}  // namespace twk::start
