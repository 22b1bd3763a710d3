// The system calls through which both programs read their policy files,
// change files and draw random bytes, behind one small interface. The default passes each call
// straight to the system; a test installs another (ScopedIo) to see what a
// full disk, a short write, a failed fsync or a failed getrandom do to the
// code above, which no real file system produces on demand.
#pragma once

#include <sys/types.h>

#include <cstddef>

namespace twk::sys {

class Io {
 public:
  virtual ~Io() = default;
  // As read(2), write(2), fsync(2) and getrandom(2): the result, with
  // errno set on failure.
  virtual ssize_t read(int fd, void* buffer, std::size_t size);
  virtual ssize_t write(int fd, const void* data, std::size_t size);
  virtual int fsync(int fd);
  virtual ssize_t getrandom(void* buffer, std::size_t size, unsigned flags);
};

// The Io in use: the system's, unless a test has installed another.
Io& io();

// Installs `replacement` as io() for its own lifetime. For tests only, and
// only while no other thread calls io().
class ScopedIo {
 public:
  explicit ScopedIo(Io& replacement);
  ~ScopedIo();
  ScopedIo(const ScopedIo&) = delete;
  ScopedIo& operator=(const ScopedIo&) = delete;

 private:
  Io* previous_;
};

}  // namespace twk::sys
