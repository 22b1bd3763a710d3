// Blocking writes cut off by an interval timer.
#include "twk/sys/timed_write.h"

#include <errno.h>
#include <signal.h>
#include <sys/time.h>
#include <unistd.h>

#include <chrono>

namespace twk::sys {
namespace {

using namespace std::chrono_literals;

// After the deadline the alarm repeats at this interval. A single alarm
// could land between the check of a write's result and the next write
// call, and that write could then block for good; the next alarm
// interrupts it.
constexpr auto kAlarmRepeat = 10ms;

volatile sig_atomic_t g_deadline_passed = 0;

void on_alarm(int) { g_deadline_passed = 1; }

timeval to_timeval(Duration d) {
  auto micros = std::chrono::duration_cast<std::chrono::microseconds>(d);
  timeval tv{};
  tv.tv_sec = static_cast<time_t>(micros.count() / 1'000'000);
  tv.tv_usec = static_cast<suseconds_t>(micros.count() % 1'000'000);
  // A zero it_value disarms the timer instead of firing it at once.
  if (tv.tv_sec == 0 && tv.tv_usec == 0) tv.tv_usec = 1;
  return tv;
}

// SIGALRM at the deadline, then every kAlarmRepeat, for its lifetime.
class DeadlineAlarm {
 public:
  explicit DeadlineAlarm(Instant deadline) {
    g_deadline_passed = 0;
    struct sigaction action {};
    action.sa_handler = on_alarm;
    sigemptyset(&action.sa_mask);
    // No SA_RESTART: the blocked write must return with EINTR rather than
    // be restarted by the kernel.
    action.sa_flags = 0;
    (void)::sigaction(SIGALRM, &action, &saved_action_);
    // A host may start the hook with SIGALRM blocked; the alarm must
    // still arrive.
    sigset_t alarm;
    sigemptyset(&alarm);
    sigaddset(&alarm, SIGALRM);
    (void)::sigprocmask(SIG_UNBLOCK, &alarm, &saved_mask_);
    itimerval timer{};
    timer.it_value = to_timeval(time_left(deadline));
    timer.it_interval = to_timeval(kAlarmRepeat);
    (void)::setitimer(ITIMER_REAL, &timer, nullptr);
  }
  ~DeadlineAlarm() {
    itimerval off{};
    (void)::setitimer(ITIMER_REAL, &off, nullptr);
    (void)::sigprocmask(SIG_SETMASK, &saved_mask_, nullptr);
    (void)::sigaction(SIGALRM, &saved_action_, nullptr);
  }
  DeadlineAlarm(const DeadlineAlarm&) = delete;
  DeadlineAlarm& operator=(const DeadlineAlarm&) = delete;

 private:
  struct sigaction saved_action_ {};
  sigset_t saved_mask_{};
};

}  // namespace

bool write_all_until(int fd, std::string_view data, Instant deadline) {
  DeadlineAlarm alarm(deadline);
  while (!data.empty()) {
    ssize_t n = ::write(fd, data.data(), data.size());
    if (n > 0) {
      data.remove_prefix(static_cast<std::size_t>(n));
    } else if (n == 0 || errno != EINTR) {
      return false;
    }
    // Cut short or interrupted: carry on, unless the deadline has passed.
    if (!data.empty() && g_deadline_passed) return false;
  }
  return true;
}

}  // namespace twk::sys
