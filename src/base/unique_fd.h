#pragma once

#include <unistd.h>

#include <utility>

namespace pellora {

// Owns one POSIX file descriptor and closes it once. A move-only value; -1 means none.
class UniqueFd {
 public:
  UniqueFd() = default;
  explicit UniqueFd(int fd) : fd_(fd) {}
  UniqueFd(UniqueFd&& o) noexcept : fd_(std::exchange(o.fd_, -1)) {}
  UniqueFd& operator=(UniqueFd&& o) noexcept {
    if (this != &o) reset(std::exchange(o.fd_, -1));
    return *this;
  }
  UniqueFd(const UniqueFd&) = delete;
  UniqueFd& operator=(const UniqueFd&) = delete;
  ~UniqueFd() { reset(); }

  int get() const { return fd_; }
  // Gives the descriptor up to a new owner.
  int release() { return std::exchange(fd_, -1); }
  explicit operator bool() const { return fd_ >= 0; }
  // Closes the descriptor now; false when close reported an error (a delayed write error, for example).
  bool reset(int fd = -1) {
    const bool ok = fd_ < 0 || ::close(fd_) == 0;
    fd_ = fd;
    return ok;
  }

 private:
  int fd_ = -1;
};

}  // namespace pellora
