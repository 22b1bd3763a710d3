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
  // The free room in front of the input, for json::frame_canonical(): the
  // body's first members ("agent", "context", "hook") go there. A longer
  // start (an unusual project directory) is built in a string of its own
  // instead.
  static constexpr std::size_t kRoom = 4096;

  // The most input that is read. Core refuses a request body over 64 MiB,
  // and the body is the input (re-written canonically) inside an object
  // that names agent, hook and project directory; input past this could
  // never be decided, and reading it on would only take memory (without
  // end, for a stdin such as /dev/zero). 64 KiB is left for that object,
  // far more than its members take with any real project directory. A
  // body that still comes out larger is refused by Core, which the run
  // reports like any other refusal.
  static constexpr std::size_t kMaxCoreBody = std::size_t{64} << 20;
  static constexpr std::size_t kMaxSize = kMaxCoreBody - (std::size_t{64} << 10);

  HookInput() = default;
  // A copy of `bytes` (tests, and callers that have the input in memory).
  explicit HookInput(std::string_view bytes);
  ~HookInput();
  HookInput(const HookInput&) = delete;
  HookInput& operator=(const HookInput&) = delete;

  // Reads `fd` to its end, or until more than kMaxSize bytes have come:
  // then the input is empty and too_large() is true, and the rest is left
  // unread. A read error other than EINTR, or running out of memory, leaves
  // the input empty: the run then answers as for input that is not JSON.
  void read_all(int fd);

  // Whether read_all stopped at kMaxSize.
  bool too_large() const { return too_large_; }

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
  bool too_large_ = false;
  std::string spill_;
};

}  // namespace twk
