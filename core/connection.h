// One client connection of Core's server: reading one request (its head
// first, the body only for a caller with the token), answering it through
// Routes, logging it and closing without destroying the reply. Also the
// registry of connections that merely wait, which the server shuts down
// when every worker is busy and others queue.
#pragma once

#include <chrono>
#include <map>
#include <mutex>

#include "routes.h"
#include "twk/sys/fd.h"

namespace twk::core {

// Connections that wait for their request head or are drained after their
// reply, by descriptor, with the time they started waiting. A connection
// unmarks itself before its descriptor is closed, so a descriptor found
// here is still that connection's. Thread-safe.
class IdleConnections {
 public:
  using Clock = std::chrono::steady_clock;

  void mark(int fd);
  void unmark(int fd);
  bool empty() const;
  // Shuts down (both directions) every connection idle since before
  // `cutoff`, and forgets it: its worker sees the end of input at once.
  void shut_down_idle_since(Clock::time_point cutoff);

 private:
  mutable std::mutex mutex_;
  std::map<int, Clock::time_point> idle_;
};

// Serves the accepted connection `fd` to its end: one request, one reply,
// one log line. The socket has the listener's send time-out and
// TCP_NODELAY. Never throws.
void serve_connection(sys::UniqueFd fd, const Routes& routes,
                      IdleConnections& idle) noexcept;

// A wait of `d` in whole milliseconds for poll(), rounded up so a wait never
// ends just before the instant it is for, and capped at an hour.
int poll_timeout_ms(std::chrono::steady_clock::duration d);

}  // namespace twk::core
