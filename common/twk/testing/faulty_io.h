// An Io for tests that fails on cue: reads and writes that fail after a
// number of bytes (writes also short or interrupted), fsync and getrandom
// that fail. Installed
// for its own lifetime.
#pragma once

#include <errno.h>

#include <cstddef>
#include <limits>

#include "twk/sys/io.h"

namespace twk::testing {

class FaultyIo : public sys::Io {
 public:
  // Each write takes at most this many bytes.
  std::size_t max_write = std::numeric_limits<std::size_t>::max();
  // After this many bytes in all, writes fail with write_errno.
  std::size_t bytes_left = std::numeric_limits<std::size_t>::max();
  int write_errno = ENOSPC;
  // Writes that fail with EINTR before each real one.
  int interruptions = 0;
  // After this many bytes in all, reads fail with EIO.
  std::size_t read_bytes_left = std::numeric_limits<std::size_t>::max();
  int fsync_errno = 0;      // 0: fsync works
  int getrandom_errno = 0;  // 0: getrandom works

  ssize_t write(int fd, const void* data, std::size_t size) override {
    if (interruptions > 0) {
      --interruptions;
      errno = EINTR;
      return -1;
    }
    if (bytes_left == 0) {
      errno = write_errno;
      return -1;
    }
    std::size_t n = size;
    if (n > max_write) n = max_write;
    if (n > bytes_left) n = bytes_left;
    ssize_t written = sys::Io::write(fd, data, n);
    if (written > 0) bytes_left -= static_cast<std::size_t>(written);
    return written;
  }
  ssize_t read(int fd, void* buffer, std::size_t size) override {
    if (read_bytes_left == 0) {
      errno = EIO;
      return -1;
    }
    if (size > read_bytes_left) size = read_bytes_left;
    ssize_t got = sys::Io::read(fd, buffer, size);
    if (got > 0) read_bytes_left -= static_cast<std::size_t>(got);
    return got;
  }
  int fsync(int fd) override {
    if (fsync_errno == 0) return sys::Io::fsync(fd);
    errno = fsync_errno;
    return -1;
  }
  ssize_t getrandom(void* buffer, std::size_t size, unsigned flags) override {
    if (getrandom_errno == 0) return sys::Io::getrandom(buffer, size, flags);
    errno = getrandom_errno;
    return -1;
  }

 private:
  sys::ScopedIo installed_{*this};
};

}  // namespace twk::testing
