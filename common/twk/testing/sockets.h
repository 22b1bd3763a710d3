// Socket helpers for tests that talk to a server over a real descriptor.
#pragma once

#include <unistd.h>

#include <cstddef>
#include <string>

namespace twk::testing {

// Everything readable from `fd` until the peer closes it (or a read
// fails).
inline std::string read_until_closed(int fd) {
  std::string out;
  char buffer[4096];
  ssize_t n;
  while ((n = ::read(fd, buffer, sizeof buffer)) > 0) {
    out.append(buffer, static_cast<std::size_t>(n));
  }
  return out;
}

}  // namespace twk::testing
