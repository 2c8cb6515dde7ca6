#include "driver/files.h"

#include <fcntl.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <iterator>
#include <vector>

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

void clear_outputs(const std::string& dir, bool keep_store) {
  namespace fs = std::filesystem;
  static const char* const kStore[] = {"results.db", "results.db-wal", "results.db-shm",
                                       "results.db-journal"};
  static const char* const kFiles[] = {"runs.csv",     "summary.csv", "summary.md", "results.json",
                                       "report.md",    "report.html", "map.svg",    "map.png",
                                       "map.csv",      "map.json",    "map.dat",    "map.gp",
                                       "map.png.part", "plots",       "maps"};
  std::vector<std::string> names(std::begin(kFiles), std::end(kFiles));
  names.emplace_back("nodes.md");  // the per-node report of earlier versions, now in report.md
  if (!keep_store) {
    names.insert(names.end(), std::begin(kStore), std::end(kStore));
    names.emplace_back("cluster.json");
  }
  std::error_code ec;
  for (const fs::directory_entry& entry : fs::directory_iterator(dir, ec)) {
    const std::string name = entry.path().filename().string();
    if (name.find(".tmp-") != std::string::npos || name.rfind(".kernelscope-probe-", 0) == 0) {
      names.push_back(name);
    }
    // A Slurm job's task stores and the tasks' output, kept with the store.
    const bool slurm_output =
        name.rfind("slurm-", 0) == 0 && (name.ends_with(".out") || name.ends_with(".err"));
    if (!keep_store && (name.rfind("results.task-", 0) == 0 || slurm_output)) {
      names.push_back(name);
    }
  }
  if (ec) {
    throw UsageError(fmt::format("cannot read the output folder {}: {}", dir, ec.message()));
  }
  for (const std::string& name : names) {
    const std::string path = dir + "/" + name;
    fs::remove_all(path, ec);
    if (ec) {
      throw UsageError(fmt::format("cannot remove {}: {}", path, ec.message()));
    }
  }
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
