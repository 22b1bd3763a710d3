// UniqueFd: sole owner of one file descriptor, closed when it goes out of
// scope. Every descriptor the program opens lives in one of these.
#pragma once

namespace twk::sys {

class UniqueFd {
 public:
  UniqueFd() = default;
  explicit UniqueFd(int fd) : fd_(fd) {}
  ~UniqueFd() { reset(); }

  UniqueFd(UniqueFd&& other) noexcept : fd_(other.release()) {}
  UniqueFd& operator=(UniqueFd&& other) noexcept {
    if (this != &other) reset(other.release());
    return *this;
  }
  UniqueFd(const UniqueFd&) = delete;
  UniqueFd& operator=(const UniqueFd&) = delete;

  int get() const { return fd_; }
  bool valid() const { return fd_ >= 0; }

  // Gives up ownership without closing.
  int release() {
    int fd = fd_;
    fd_ = -1;
    return fd;
  }

  // Closes the owned descriptor (if any) and takes `fd`. Errors of close are
  // ignored: there is nothing useful to do about them here.
  void reset(int fd = -1);

 private:
  int fd_ = -1;
};

}  // namespace twk::sys
