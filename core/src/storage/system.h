// What the stores ask of the operating system beyond a read or a write: interrupted calls
// retried, paths checked before a call, descriptors closed when their owner goes.
#pragma once

#include <cerrno>
#include <concepts>
#include <string_view>
#include <utility>

#include "result.h"

namespace quarn {

// Repeats a system call while it fails with EINTR; its last result.
template <std::invocable Call>
auto retry_on_eintr(Call call) {
  for (;;) {
    auto rc = call();
    if (rc >= 0 || errno != EINTR) return rc;
  }
}

// No system call can name a path holding a NUL byte: an InvalidInput i/o error for one.
Status check_no_nul(std::string_view path);

// Owns one open file descriptor and closes it when destroyed or replaced by a move; a failing
// close is ignored (nothing is buffered at this level). Move-only.
class OwnedFd {
 public:
  explicit OwnedFd(int fd) : fd_(fd) {}
  ~OwnedFd();
  OwnedFd(const OwnedFd&) = delete;
  OwnedFd& operator=(const OwnedFd&) = delete;
  OwnedFd(OwnedFd&& other) noexcept : fd_(std::exchange(other.fd_, -1)) {}
  OwnedFd& operator=(OwnedFd&& other) noexcept;

  // -1 once moved from.
  int fd() const { return fd_; }

 private:
  int fd_ = -1;
};

}  // namespace quarn
