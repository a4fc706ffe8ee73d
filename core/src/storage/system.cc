#include "storage/system.h"

#include <unistd.h>

namespace quarn {

Status check_no_nul(std::string_view path) {
  if (path.find('\0') != std::string_view::npos) {
    return io_error(IoErrorKind::InvalidInput, "file name contained an unexpected NUL byte");
  }
  return ok_status();
}

OwnedFd::~OwnedFd() {
  if (fd_ >= 0) ::close(fd_);
}

OwnedFd& OwnedFd::operator=(OwnedFd&& other) noexcept {
  if (this != &other) {
    if (fd_ >= 0) ::close(fd_);
    fd_ = std::exchange(other.fd_, -1);
  }
  return *this;
}

}  // namespace quarn
