// The output folder's lock: one driver writes into a folder at a time.
//
// The lock is an flock(2) on a small file in the folder, held for as long as the FolderLock
// lives. The kernel releases it when the process ends however it ends (kill -9 included), so
// a lock is never stale. The file stays behind (it holds the last holder's pid, for the
// message a second driver prints) and must never be removed while in use: a cleaner of the
// folder's outputs leaves it alone.
#pragma once

#include <stdexcept>
#include <string>
#include <string_view>

namespace ks::driver {

inline constexpr std::string_view kLockFile = ".kernelscope.lock";

// The folder is in use: "DIR is in use by another kernelscope (pid N)".
class FolderBusy : public std::runtime_error {
 public:
  using std::runtime_error::runtime_error;
};

class FolderLock {
 public:
  // Takes the folder's lock at once or throws FolderBusy (held by another process) or
  // std::runtime_error (the lock file cannot be made), both with one line. The folder must
  // exist.
  explicit FolderLock(const std::string& dir, std::string_view file = kLockFile);
  FolderLock(FolderLock&& other) noexcept;
  FolderLock& operator=(FolderLock&& other) noexcept;
  FolderLock(const FolderLock&) = delete;
  FolderLock& operator=(const FolderLock&) = delete;
  ~FolderLock();  // releases the lock

  const std::string& path() const { return path_; }

 private:
  std::string path_;
  int fd_ = -1;
};

}  // namespace ks::driver
