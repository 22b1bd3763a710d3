// Clock helpers.
#include "twk/sys/clock.h"

#include <errno.h>
#include <time.h>

namespace twk::sys {

Duration time_left(Instant deadline) {
  Instant t = now();
  if (t >= deadline) return Duration::zero();
  return deadline - t;
}

void sleep_for(Duration d) {
  if (d <= Duration::zero()) return;
  auto secs = std::chrono::duration_cast<std::chrono::seconds>(d);
  timespec req{static_cast<time_t>(secs.count()),
               static_cast<long>((d - secs).count())};
  timespec rem{};
  while (nanosleep(&req, &rem) == -1 && errno == EINTR) req = rem;
}

}  // namespace twk::sys
