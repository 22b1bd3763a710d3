// Directory changes through inotify.
#include "twk/sys/dir_watch.h"

#include <errno.h>
#include <poll.h>
#include <sys/inotify.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>

namespace twk::sys {

DirectoryWatch::DirectoryWatch(const std::string& dir)
    : fd_(::inotify_init1(IN_CLOEXEC | IN_NONBLOCK)) {
  if (!fd_.valid()) return;
  if (::inotify_add_watch(fd_.get(), dir.c_str(),
                          IN_CREATE | IN_CLOSE_WRITE | IN_MOVED_TO) < 0) {
    fd_.reset();
  }
}

void DirectoryWatch::wait(Duration limit) {
  if (!fd_.valid()) {
    sleep_for(limit);
    return;
  }
  auto ms = std::chrono::ceil<std::chrono::milliseconds>(
                std::max(limit, Duration::zero()))
                .count();
  pollfd p{fd_.get(), POLLIN, 0};
  int ready = ::poll(&p, 1, static_cast<int>(std::min<long long>(ms, 60000)));
  if (ready <= 0) return;  // the limit, or an interruption: look again
  // Drain the events: only "something changed" matters to the caller.
  alignas(inotify_event) char buffer[4096];
  while (::read(fd_.get(), buffer, sizeof buffer) > 0) {
  }
}

}  // namespace twk::sys
