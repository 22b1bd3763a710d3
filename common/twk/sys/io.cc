// The system's Io, and the switch tests use to replace it.
#include "twk/sys/io.h"

#include <sys/random.h>
#include <unistd.h>

#include <atomic>

namespace twk::sys {
namespace {

Io& system_io() {
  static Io system;
  return system;
}

std::atomic<Io*> current{nullptr};

}  // namespace

ssize_t Io::read(int fd, void* buffer, std::size_t size) {
  return ::read(fd, buffer, size);
}

ssize_t Io::write(int fd, const void* data, std::size_t size) {
  return ::write(fd, data, size);
}

int Io::fsync(int fd) { return ::fsync(fd); }

ssize_t Io::getrandom(void* buffer, std::size_t size, unsigned flags) {
  return ::getrandom(buffer, size, flags);
}

Io& io() {
  Io* replaced = current.load(std::memory_order_acquire);
  return replaced != nullptr ? *replaced : system_io();
}

ScopedIo::ScopedIo(Io& replacement)
    : previous_(current.exchange(&replacement, std::memory_order_acq_rel)) {}

ScopedIo::~ScopedIo() { current.store(previous_, std::memory_order_release); }

}  // namespace twk::sys
