// UniqueFd's closing half; kept out of the header so that <unistd.h> stays
// out of every includer.
#include "twk/sys/fd.h"

#include <unistd.h>

namespace twk::sys {

void UniqueFd::reset(int fd) {
  if (fd_ >= 0) {
    // Not retried on EINTR: on Linux the descriptor is gone either way, and
    // a retry could close a descriptor another owner has just received.
    (void)::close(fd_);
  }
  fd_ = fd;
}

}  // namespace twk::sys
