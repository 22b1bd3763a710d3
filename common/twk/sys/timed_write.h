// Writing to a descriptor that may block (a pipe nobody reads) within a
// deadline, without touching the descriptor's flags: an O_NONBLOCK set on
// standard output would change the open file description that the process
// shares with whoever started it.
#pragma once

#include <string_view>

#include "twk/sys/clock.h"

namespace twk::sys {

// Writes all of `data` to `fd` with ordinary blocking writes. A write that
// is still blocked when `deadline` passes is interrupted by SIGALRM, and the
// rest is then given up. Data that fits without blocking is written even
// when the deadline has passed already. True when everything was written.
//
// For the duration of the call, SIGALRM is unblocked and has a handler of
// its own, and the ITIMER_REAL interval timer is armed; all three are reset
// before it returns (the timer to disarmed: the program uses no other).
bool write_all_until(int fd, std::string_view data, Instant deadline);

}  // namespace twk::sys
