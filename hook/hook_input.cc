#include "hook_input.h"

#include <errno.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cstdint>
#include <cstdlib>
#include <cstring>

namespace twk {
namespace {

// The first read size for a pipe; the buffer doubles from there.
constexpr std::size_t kFirstReadSize = 64 * 1024;

}  // namespace

HookInput::HookInput(std::string_view bytes) {
  if (bytes.empty() || !reserve(bytes.size())) return;
  std::memcpy(data_ + kRoom, bytes.data(), bytes.size());
  size_ = bytes.size();
}

HookInput::~HookInput() { std::free(data_); }

std::string_view HookInput::bytes() const {
  if (data_ == nullptr) return {};
  return {data_ + kRoom, size_};
}

// Large blocks are remapped, not copied, when realloc grows them, and the
// memory is not cleared first: the reads fill it.
bool HookInput::reserve(std::size_t capacity) {
  void* p = std::realloc(data_, kRoom + capacity);
  if (p == nullptr) return false;
  data_ = static_cast<char*>(p);
  capacity_ = capacity;
  return true;
}

void HookInput::read_all(int fd) {
  size_ = 0;
  too_large_ = false;
  // The buffer never grows past one byte more than kMaxSize: that byte
  // arriving is what shows the input to be too large.
  constexpr std::size_t kMaxCapacity = kMaxSize + 1;
  std::size_t capacity = kFirstReadSize;
  struct stat st;
  if (::fstat(fd, &st) == 0 && S_ISREG(st.st_mode) && st.st_size > 0) {
    // One byte more than the file holds, so that the end shows in one more
    // read without growing the buffer.
    capacity = static_cast<std::uintmax_t>(st.st_size) < kMaxCapacity
                   ? static_cast<std::size_t>(st.st_size) + 1
                   : kMaxCapacity;
  }
  if (!reserve(capacity)) return;
  for (;;) {
    if (size_ == capacity_) {
      if (capacity_ == kMaxCapacity) {
        // Released at once: nothing of it is used.
        std::free(data_);
        data_ = nullptr;
        size_ = capacity_ = 0;
        too_large_ = true;
        return;
      }
      if (!reserve(std::min(capacity_ * 2, kMaxCapacity))) break;
    }
    ssize_t n = ::read(fd, data_ + kRoom + size_, capacity_ - size_);
    if (n < 0) {
      if (errno == EINTR) continue;
      break;
    }
    if (n == 0) return;
    size_ += static_cast<std::size_t>(n);
  }
  size_ = 0;
}

}  // namespace twk
