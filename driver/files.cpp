#include "driver/files.h"

#include <fcntl.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <filesystem>

#include <fmt/format.h>

namespace ks::driver {

void prepare_output_dir(const std::string& dir) {
  std::error_code ec;
  std::filesystem::create_directories(dir, ec);
  if (ec) {
    throw UsageError(fmt::format("cannot create the output folder {}: {}", dir, ec.message()));
  }
  if (!std::filesystem::is_directory(dir)) {
    throw UsageError(fmt::format("the output folder {} is not a folder", dir));
  }
  const std::string probe = dir + "/.kernelscope-probe-" + std::to_string(getpid());
  const int fd = open(probe.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0644);
  if (fd < 0) {
    throw UsageError(
        fmt::format("cannot write in the output folder {}: {}", dir, std::strerror(errno)));
  }
  close(fd);
  unlink(probe.c_str());
}

void create_folder(const std::string& dir) {
  std::error_code ec;
  std::filesystem::create_directories(dir, ec);
  if (ec) {
    throw WriteError(fmt::format("cannot create {}: {}", dir, ec.message()));
  }
}

void write_file_atomic(const std::string& path, const std::string& content) {
  const std::string tmp = path + ".tmp-" + std::to_string(getpid());
  const int fd = open(tmp.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0644);
  if (fd < 0) {
    throw WriteError(fmt::format("cannot write {}: {}", path, std::strerror(errno)));
  }
  std::size_t written = 0;
  while (written < content.size()) {
    const ssize_t n = write(fd, content.data() + written, content.size() - written);
    if (n < 0 && errno == EINTR) {
      continue;
    }
    if (n <= 0) {
      const int e = errno;
      close(fd);
      unlink(tmp.c_str());
      throw WriteError(fmt::format("cannot write {}: {}", path, std::strerror(e)));
    }
    written += static_cast<std::size_t>(n);
  }
  if (close(fd) != 0 || rename(tmp.c_str(), path.c_str()) != 0) {
    const int e = errno;
    unlink(tmp.c_str());
    throw WriteError(fmt::format("cannot write {}: {}", path, std::strerror(e)));
  }
}

}  // namespace ks::driver
