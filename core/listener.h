// Core's listening socket: bound to a numeric loopback address before the
// endpoint record names it, with the options every accepted connection
// inherits.
#pragma once

#include <cstdint>
#include <string>

#include "twk/result.h"
#include "twk/sys/fd.h"

namespace twk::core {

// A non-blocking listening TCP socket on `host` (numeric) and `port` (0: any
// free port); on failure the reason, naming the address.
Result<sys::UniqueFd> open_listener(const std::string& host,
                                    std::uint16_t port);

// The port the listener `fd` is bound to.
Result<std::uint16_t> bound_port(int fd);

// True when connections wait on the listening socket to be accepted.
bool connections_queued(int listener);

}  // namespace twk::core
