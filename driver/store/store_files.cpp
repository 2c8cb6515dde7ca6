// The store's list of the files kernelscope wrote in its folder: read, kept as files are
// written, and what removes them again.
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <filesystem>

#include <fmt/format.h>

#include "driver/store/store.h"
#include "driver/store/store_detail.h"

namespace ks::driver {

using namespace store_detail;
using FileKind = WrittenFile::Kind;

Store Store::open_to_record(const std::string& dir, const StoreOptions& options) {
  const std::string file = dir + "/" + options.file;
  if (file_exists(file) && ::access(file.c_str(), W_OK) != 0) {
    throw StoreError(fmt::format("{} cannot be written: {}", file, std::strerror(errno)));
  }
  return open_file(file, sqlite::Mode::kReadWrite, options);
}

std::vector<WrittenFile> Store::written_files() {
  if (format_ < 3) {
    return legacy_files(std::filesystem::path(path_).parent_path().string(), created_at());
  }
  std::vector<WrittenFile> files;
  try {
    sqlite::Statement s =
        db_.prepare("SELECT path, kind, inode, size, mtime_ns FROM files ORDER BY path");
    while (s.step()) {
      const std::optional<FileKind> kind = kind_from_name(s.text(1));
      WrittenFile f{s.text(0), kind.value_or(FileKind::kFile), s.int64(2), s.int64(3), s.int64(4)};
      if (kind && acceptable_entry(f)) {
        files.push_back(std::move(f));
      }
    }
  } catch (const sqlite::Error& e) {
    throw StoreError(fmt::format("{}: {}", path_, e.what()));
  }
  return files;
}

void Store::record_file(const WrittenFile& f) {
  try {
    db_.prepare(
           "INSERT OR REPLACE INTO files (path, kind, inode, size, mtime_ns, recorded_at) "
           "VALUES (?, ?, ?, ?, ?, ?)")
        .bind_text(1, f.path)
        .bind_text(2, kind_name(f.kind))
        .bind(3, f.inode)
        .bind(4, f.size)
        .bind(5, f.mtime_ns)
        .bind(6, now_epoch())
        .run();
  } catch (const sqlite::Error& e) {
    throw StoreError(fmt::format("{}: cannot record {}: {}", path_, f.path, e.what()));
  }
}

void Store::forget_file(const std::string& path) {
  try {
    db_.prepare("DELETE FROM files WHERE path = ?").bind_text(1, path).run();
  } catch (const sqlite::Error& e) {
    throw StoreError(fmt::format("{}: cannot record {}: {}", path_, path, e.what()));
  }
}

void StoreFileLog::record(const WrittenFile& f) {
  try {
    store_.record_file(f);
  } catch (const StoreError& e) {
    if (problem_.empty()) {
      problem_ = e.what();
    }
  }
}

void StoreFileLog::forget(const std::string& path) {
  try {
    store_.forget_file(path);
  } catch (const StoreError& e) {
    if (problem_.empty()) {
      problem_ = e.what();
    }
  }
}

std::vector<WrittenFile> legacy_files(const std::string& dir, double created_at) {
  namespace fs = std::filesystem;
  std::vector<WrittenFile> files;
  // A second of slack for file systems that keep coarse times.
  const auto since_ns = static_cast<std::int64_t>((created_at - 1) * 1e9);
  auto add = [&](const std::string& rel, FileKind kind) {
    struct stat st {};
    if (::lstat((dir + "/" + rel).c_str(), &st) != 0) {
      return false;
    }
    const std::int64_t mtime =
        static_cast<std::int64_t>(st.st_mtim.tv_sec) * 1000000000 + st.st_mtim.tv_nsec;
    const bool shape = kind == FileKind::kFolder ? S_ISDIR(st.st_mode) : S_ISREG(st.st_mode);
    if (!shape || (kind != FileKind::kFolder && mtime < since_ns)) {
      return false;
    }
    WrittenFile f{rel, kind, 0, 0, 0};
    if (kind == FileKind::kFile) {
      f.inode = static_cast<std::int64_t>(st.st_ino);
      f.size = static_cast<std::int64_t>(st.st_size);
      f.mtime_ns = mtime;
    }
    if (acceptable_entry(f)) {
      files.push_back(std::move(f));
    }
    return true;
  };
  for (const char* name :
       {"runs.csv", "summary.csv", "summary.md", "results.json", "report.md", "report.html",
        "map.svg", "map.png", "map.csv", "map.json", "map.dat", "map.gp", "nodes.md"}) {
    add(name, FileKind::kFile);
  }
  for (const char* folder : {"plots", "maps"}) {
    if (!add(folder, FileKind::kFolder)) {
      continue;
    }
    std::error_code ec;
    for (const fs::directory_entry& e : fs::directory_iterator(dir + "/" + folder, ec)) {
      const std::string ext = e.path().extension().string();
      if (ext == ".dat" || ext == ".gp" || ext == ".svg" || ext == ".png") {
        add(std::string(folder) + "/" + e.path().filename().string(), FileKind::kFile);
      }
    }
  }
  std::error_code ec;
  for (const fs::directory_entry& e : fs::directory_iterator(dir, ec)) {
    const std::string name = e.path().filename().string();
    WrittenFile job{name, FileKind::kJob, 0, 0, 0};
    WrittenFile task{name, FileKind::kStore, 0, 0, 0};
    if (acceptable_entry(job)) {
      add(name, FileKind::kJob);
    } else if (acceptable_entry(task)) {
      add(name, FileKind::kStore);
    }
  }
  return files;
}

RecordedFolder::RecordedFolder(const std::string& dir, bool clear) {
  const OutputFolder* outer = OutputFolder::current();
  if (outer != nullptr && outer->relative(dir + "/x") == std::optional<std::string>("x")) {
    return;  // the folder is already recorded
  }
  std::vector<WrittenFile> recorded;
  if (Store::exists(dir)) {
    try {
      store_ = Store::open_to_record(dir);
      recorded = store_->written_files();
      log_.emplace(*store_);
    } catch (const StoreError& e) {
      problem_ = fmt::format("the files written are not recorded: {}", e.what());
      store_.reset();
      recorded = recorded_files(dir);
    }
  }
  FileLog* log = log_ ? &*log_ : nullptr;
  if (clear) {
    try {
      recorded = remove_written(dir, recorded, /*keep_job=*/true, log);
    } catch (const UsageError& e) {
      problem_ = e.what();
    }
  }
  folder_.emplace(dir, log, recorded);
}

std::string RecordedFolder::problem() const {
  if (!problem_.empty() || !log_) {
    return problem_;
  }
  return log_->problem().empty()
             ? std::string()
             : fmt::format("the files written are not all recorded: {}", log_->problem());
}

std::vector<WrittenFile> recorded_files(const std::string& dir) {
  if (!Store::exists(dir)) {
    return {};
  }
  try {
    return Store::open_readonly(dir + "/" + std::string(kStoreFile)).written_files();
  } catch (const StoreError&) {
    return {};
  }
}

void clear_outputs(const std::string& dir, bool keep_store) {
  if (!Store::exists(dir)) {
    return;  // nothing of kernelscope's is known to be here
  }
  if (keep_store) {
    try {
      Store store = Store::open_to_record(dir);
      StoreFileLog log(store);
      remove_written(dir, store.written_files(), /*keep_job=*/true, &log);
      if (!log.problem().empty()) {
        throw UsageError(log.problem());
      }
    } catch (const StoreError& e) {
      throw UsageError(e.what());
    }
    return;
  }
  // The store goes too: its list is read first, and whatever it says is removed (an unreadable
  // store lists nothing).
  remove_written(dir, recorded_files(dir), /*keep_job=*/false, nullptr);
  for (const char* suffix : {"", "-wal", "-shm", "-journal"}) {
    const std::string path = dir + "/" + std::string(kStoreFile) + suffix;
    if (is_regular_file(path) && ::unlink(path.c_str()) != 0 && errno != ENOENT) {
      throw UsageError(fmt::format("cannot remove {}: {}", path, std::strerror(errno)));
    }
  }
}

}  // namespace ks::driver
