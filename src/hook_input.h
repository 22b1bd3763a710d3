// The hook input: the bytes of standard input, held with free room in front
// of them, so that the request body can be built in the same memory. An
// event can be megabytes, and first touching fresh memory (a page fault for
// every 4 KiB) is a large part of what a big event costs; built over the
// input, the body takes no memory of its own.
#pragma once

#include <cstddef>
#include <string>
#include <string_view>

namespace twk {

class HookInput {
 public:
  // The free room in front of the input: the body's first members
  // ("agent", "context", "hook") go there, with the gap that writing over
  // the input needs. A longer start (an unusual project directory) is
  // built in a string of its own instead.
  static constexpr std::size_t kRoom = 4096;

  HookInput() = default;
  // A copy of `bytes` (tests, and callers that have the input in memory).
  explicit HookInput(std::string_view bytes);
  ~HookInput();
  HookInput(const HookInput&) = delete;
  HookInput& operator=(const HookInput&) = delete;

  // Reads `fd` to its end. A read error other than EINTR, or running out of
  // memory, leaves the input empty: the run then answers as for input that
  // is not JSON.
  void read_all(int fd);

  std::string_view bytes() const;

  // For building the body: the memory (kRoom bytes, then the input), and a
  // string for a body that does not fit in it.
  char* memory() { return data_; }
  std::size_t size() const { return size_; }
  std::string& spill() { return spill_; }

 private:
  bool reserve(std::size_t capacity);

  char* data_ = nullptr;  // kRoom + capacity_ bytes, from malloc
  std::size_t size_ = 0;
  std::size_t capacity_ = 0;
  std::string spill_;
};

}  // namespace twk
