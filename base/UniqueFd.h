// An owned file descriptor, closed when its owner lets go. Any caller may use
// it; it never throws.
#pragma once

#include <unistd.h>

#include <utility>

namespace kestrond {

class UniqueFd {
 public:
  UniqueFd() = default;
  explicit UniqueFd(int fd) : _fd(fd) {}
  ~UniqueFd() { reset(); }
  UniqueFd(UniqueFd&& other) noexcept : _fd(other.release()) {}
  UniqueFd& operator=(UniqueFd&& other) noexcept {
    if (this != &other) reset(other.release());
    return *this;
  }
  UniqueFd(const UniqueFd&) = delete;
  UniqueFd& operator=(const UniqueFd&) = delete;

  // The descriptor, or -1 when none is held.
  int get() const { return _fd; }
  explicit operator bool() const { return _fd >= 0; }
  // Closes what is held (the result of close(2) is of no use here: the
  // descriptor is gone either way) and takes `fd`.
  void reset(int fd = -1) {
    if (_fd >= 0) (void)::close(_fd);
    _fd = fd;
  }
  int release() { return std::exchange(_fd, -1); }

 private:
  int _fd = -1;
};

}  // namespace kestrond
