#include "driver/base/lock.h"

#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <string>
#include <utility>

#include <fmt/format.h>

namespace ks::driver {
namespace {

// The pid the holder wrote, or 0 when the file holds none yet.
long holder_pid(int fd) {
  char buffer[32] = {};
  const ssize_t n = pread(fd, buffer, sizeof buffer - 1, 0);
  if (n <= 0) {
    return 0;
  }
  return std::strtol(buffer, nullptr, 10);
}

}  // namespace

FolderLock::FolderLock(const std::string& dir, std::string_view file)
    : path_(dir + "/" + std::string(file)) {
  // Close-on-exec: the programs the driver starts must not inherit (and so prolong) the lock.
  // A link in its place is refused, not followed (its target would be overwritten with the
  // pid), and so is anything but a regular file (a FIFO would block the opening).
  fd_ = ::open(path_.c_str(), O_RDWR | O_CREAT | O_CLOEXEC | O_NOCTTY | O_NOFOLLOW | O_NONBLOCK,
               0644);
  if (fd_ < 0) {
    const int error = errno;
    throw std::runtime_error(
        error == ELOOP
            ? fmt::format("the lock file {} is a symbolic link: refused", path_)
            : fmt::format("cannot make the lock file {}: {}", path_, std::strerror(error)));
  }
  struct stat st {};
  if (::fstat(fd_, &st) != 0 || !S_ISREG(st.st_mode)) {
    ::close(fd_);
    fd_ = -1;
    throw std::runtime_error(fmt::format("the lock file {} is not a regular file: refused", path_));
  }
  int rc;
  do {
    rc = flock(fd_, LOCK_EX | LOCK_NB);
  } while (rc != 0 && errno == EINTR);
  if (rc != 0) {
    const int error = errno;
    const long pid = error == EWOULDBLOCK ? holder_pid(fd_) : 0;
    ::close(fd_);
    fd_ = -1;
    if (error == EWOULDBLOCK) {
      throw FolderBusy(fmt::format("{} is in use by another kernelscope{}", dir,
                                   pid > 0 ? fmt::format(" (pid {})", pid) : std::string()));
    }
    throw std::runtime_error(fmt::format("cannot lock {}: {}", path_, std::strerror(error)));
  }
  // Who holds it, for the message of the next driver that tries. Best effort: the lock itself
  // is the flock, not this text.
  const std::string pid = std::to_string(getpid()) + "\n";
  if (ftruncate(fd_, 0) == 0) {
    [[maybe_unused]] const ssize_t written = pwrite(fd_, pid.data(), pid.size(), 0);
  }
}

FolderLock::FolderLock(FolderLock&& other) noexcept
    : path_(std::move(other.path_)), fd_(std::exchange(other.fd_, -1)) {}

FolderLock& FolderLock::operator=(FolderLock&& other) noexcept {
  if (this != &other) {
    if (fd_ >= 0) {
      ::close(fd_);
    }
    path_ = std::move(other.path_);
    fd_ = std::exchange(other.fd_, -1);
  }
  return *this;
}

FolderLock::~FolderLock() {
  if (fd_ >= 0) {
    ::close(fd_);  // closing the last descriptor of the open file releases the flock
  }
}

}  // namespace ks::driver
