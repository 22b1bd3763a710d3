// The monotonic clock that every deadline of the program is measured on,
// and helpers for the time left until one.
#pragma once

#include <chrono>

namespace twk::sys {

using Clock = std::chrono::steady_clock;  // CLOCK_MONOTONIC on Linux
using Instant = Clock::time_point;
using Duration = std::chrono::nanoseconds;

inline Instant now() { return Clock::now(); }

// Time from now until `deadline`, clamped at zero once it has passed.
Duration time_left(Instant deadline);

// The earlier of two instants.
inline Instant earliest(Instant a, Instant b) { return a < b ? a : b; }

// Sleeps for `d` (resumed after signals); no-op for d <= 0.
void sleep_for(Duration d);

}  // namespace twk::sys
