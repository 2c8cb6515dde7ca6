#include "driver/base/files.h"

#include <fcntl.h>
#include <pwd.h>
#include <sqlite3.h>
#include <stdio.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <climits>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <utility>

#include <fmt/format.h>

namespace ks::driver {
namespace fs = std::filesystem;
using FileKind = WrittenFile::Kind;

namespace {

constexpr std::string_view kLockName = ".kernelscope.lock";
constexpr const char* kStoreNames[] = {"results.db", "results.db-wal", "results.db-shm",
                                       "results.db-journal"};

thread_local OutputFolder* g_current = nullptr;

// An open descriptor, closed by its destructor.
class Fd {
 public:
  Fd() = default;
  explicit Fd(int fd) : fd_(fd) {}
  Fd(Fd&& other) noexcept : fd_(std::exchange(other.fd_, -1)) {}
  Fd& operator=(Fd&& other) noexcept {
    if (this != &other) {
      reset();
      fd_ = std::exchange(other.fd_, -1);
    }
    return *this;
  }
  Fd(const Fd&) = delete;
  Fd& operator=(const Fd&) = delete;
  ~Fd() { reset(); }
  int get() const { return fd_; }
  explicit operator bool() const { return fd_ >= 0; }
  int release() { return std::exchange(fd_, -1); }
  void reset() {
    if (fd_ >= 0) {
      ::close(fd_);
    }
    fd_ = -1;
  }

 private:
  int fd_ = -1;
};

std::string error_text(int e) {
  return e == ELOOP ? "it is a symbolic link, which kernelscope does not follow"
                    : std::string(std::strerror(e));
}

std::string lexical_absolute(const std::string& path) {
  std::error_code ec;
  std::string out = fs::absolute(path, ec).lexically_normal().string();
  while (out.size() > 1 && out.back() == '/') {
    out.pop_back();
  }
  return out;
}

std::vector<std::string> split_path(std::string_view rel) {
  std::vector<std::string> parts;
  std::size_t start = 0;
  while (start <= rel.size()) {
    const std::size_t end = std::min(rel.find('/', start), rel.size());
    parts.emplace_back(rel.substr(start, end - start));
    start = end + 1;
  }
  return parts;
}

// The folder `name` in `dir`, not followed when it is a link (errno ELOOP then).
Fd open_folder_at(int dir, const std::string& name) {
  Fd fd(::openat(dir, name.c_str(), O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC | O_NONBLOCK));
  if (!fd && errno == ENOTDIR) {
    struct stat st {};
    if (::fstatat(dir, name.c_str(), &st, AT_SYMLINK_NOFOLLOW) == 0 && S_ISLNK(st.st_mode)) {
      errno = ELOOP;
    } else {
      errno = ENOTDIR;
    }
  }
  return fd;
}

// The folder `rel_dir` below `root` (a descriptor of the output folder), each part opened
// without following a link; errno says why not.
Fd open_below(int root, const std::vector<std::string>& parts, std::size_t count) {
  Fd dir(::fcntl(root, F_DUPFD_CLOEXEC, 0));
  for (std::size_t i = 0; i < count && dir; ++i) {
    dir = open_folder_at(dir.get(), parts[i]);
  }
  return dir;
}

Fd open_root(const std::string& abs) {
  return Fd(::open(abs.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC | O_NONBLOCK));
}

// The folder that holds `path`, opened (below the current OutputFolder: each part below it
// without following a link), and the file's own name. Throws WriteError.
struct Parent {
  Fd fd;
  std::string name;
  std::optional<std::string> rel;  // the path relative to the OutputFolder
};

Parent open_parent(const std::string& path) {
  Parent p;
  OutputFolder* folder = OutputFolder::current();
  p.rel = folder != nullptr ? folder->relative(path) : std::nullopt;
  if (p.rel) {
    const std::vector<std::string> parts = split_path(*p.rel);
    p.name = parts.back();
    Fd root = open_root(folder->dir());
    if (root) {
      p.fd = open_below(root.get(), parts, parts.size() - 1);
    }
  } else {
    const fs::path lexical(path);
    p.name = lexical.filename().string();
    const std::string parent = lexical.has_parent_path() ? lexical.parent_path().string() : ".";
    p.fd = Fd(::open(parent.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC | O_NONBLOCK));
  }
  if (!p.fd) {
    throw WriteError(
        fmt::format("cannot write {}: its folder cannot be opened: {}", path, error_text(errno)));
  }
  return p;
}

// Whether the file at `name` in `dir` (the path `rel` of the current OutputFolder, if any) may
// be replaced: nothing there, or kernelscope's own. Throws WriteError when something else is.
bool check_replaceable(const Parent& p, const std::string& path, FileKind kind) {
  struct stat st {};
  if (::fstatat(p.fd.get(), p.name.c_str(), &st, AT_SYMLINK_NOFOLLOW) != 0) {
    return false;
  }
  if (!S_ISREG(st.st_mode)) {
    throw WriteError(fmt::format("cannot write {}: {} is in its place, left as it is", path,
                                 S_ISLNK(st.st_mode)   ? "a symbolic link"
                                 : S_ISDIR(st.st_mode) ? "a folder"
                                                       : "a file that is not a regular file"));
  }
  if (!p.rel) {
    return true;
  }
  const WrittenFile* f = OutputFolder::current()->find(*p.rel);
  const bool ours =
      f != nullptr &&
      (f->kind == FileKind::kFile
           ? f->inode == static_cast<std::int64_t>(st.st_ino) &&
                 f->size == static_cast<std::int64_t>(st.st_size) &&
                 f->mtime_ns ==
                     static_cast<std::int64_t>(st.st_mtim.tv_sec) * 1000000000 + st.st_mtim.tv_nsec
           : f->kind == kind);
  if (!ours) {
    throw WriteError(fmt::format(
        "cannot write {}: a file kernelscope did not write is in its place, left as it is", path));
  }
  return true;
}

WrittenFile identity(const std::string& rel, FileKind kind, const struct stat& st) {
  WrittenFile f;
  f.path = rel;
  f.kind = kind;
  f.inode = static_cast<std::int64_t>(st.st_ino);
  f.size = static_cast<std::int64_t>(st.st_size);
  f.mtime_ns = static_cast<std::int64_t>(st.st_mtim.tv_sec) * 1000000000 + st.st_mtim.tv_nsec;
  return f;
}

// The rename that puts a finished file in place; without `replace`, never over another file.
int rename_into_place(int dir, const std::string& from, const std::string& to, bool replace) {
  if (replace) {
    return ::renameat(dir, from.c_str(), dir, to.c_str());
  }
  const int rc = ::renameat2(dir, from.c_str(), dir, to.c_str(), RENAME_NOREPLACE);
  if (rc != 0 && errno == EINVAL) {  // a file system that cannot refuse to replace
    struct stat st {};
    if (::fstatat(dir, to.c_str(), &st, AT_SYMLINK_NOFOLLOW) == 0) {
      errno = EEXIST;
      return -1;
    }
    return ::renameat(dir, from.c_str(), dir, to.c_str());
  }
  return rc;
}

std::string rel_in_parent(const std::optional<std::string>& rel, const std::string& name) {
  if (!rel) {
    return name;
  }
  const std::size_t slash = rel->rfind('/');
  return slash == std::string::npos ? name : rel->substr(0, slash + 1) + name;
}

bool all_digits(std::string_view s) {
  return !s.empty() && std::all_of(s.begin(), s.end(), [](char c) { return c >= '0' && c <= '9'; });
}

}  // namespace

std::string_view kind_name(FileKind kind) {
  switch (kind) {
    case FileKind::kFile:
      return "file";
    case FileKind::kFolder:
      return "folder";
    case FileKind::kTemporary:
      return "temporary";
    case FileKind::kJob:
      return "job";
    case FileKind::kStore:
      return "store";
  }
  return "file";
}

std::optional<FileKind> kind_from_name(std::string_view name) {
  for (FileKind k : {FileKind::kFile, FileKind::kFolder, FileKind::kTemporary, FileKind::kJob,
                     FileKind::kStore}) {
    if (kind_name(k) == name) {
      return k;
    }
  }
  return std::nullopt;
}

bool acceptable_entry(const WrittenFile& f) {
  if (f.path.empty() || f.path.size() > PATH_MAX || f.path.find('\0') != std::string::npos) {
    return false;
  }
  const std::vector<std::string> parts = split_path(f.path);
  for (const std::string& part : parts) {
    if (part.empty() || part == "." || part == ".." || part.size() > NAME_MAX) {
      return false;
    }
  }
  const std::string& name = parts.back();
  auto task_store = [](std::string_view n) {
    // results.task-S-T.db
    if (!n.starts_with("results.task-") || !n.ends_with(".db")) {
      return false;
    }
    n.remove_prefix(13);
    n.remove_suffix(3);
    const std::size_t dash = n.find('-');
    return dash != std::string_view::npos && all_digits(n.substr(0, dash)) &&
           all_digits(n.substr(dash + 1));
  };
  switch (f.kind) {
    case FileKind::kFile:
    case FileKind::kFolder:
      return name != kLockName && std::find(std::begin(kStoreNames), std::end(kStoreNames), name) ==
                                      std::end(kStoreNames);
    case FileKind::kTemporary: {
      const std::size_t at = name.rfind(".tmp-");
      return name.ends_with(".part") || (at != std::string::npos && at > 0 &&
                                         all_digits(std::string_view(name).substr(at + 5)));
    }
    case FileKind::kJob: {
      if (parts.size() != 1) {
        return false;
      }
      if (name == "cluster.json") {
        return true;
      }
      // slurm-JOB_TASK.out, slurm-JOB_TASK.err
      std::string_view n = name;
      if (!n.starts_with("slurm-") || !(n.ends_with(".out") || n.ends_with(".err"))) {
        return false;
      }
      n.remove_prefix(6);
      n.remove_suffix(4);
      const std::size_t underscore = n.find('_');
      return underscore != std::string_view::npos && all_digits(n.substr(0, underscore)) &&
             all_digits(n.substr(underscore + 1));
    }
    case FileKind::kStore:
      return parts.size() == 1 && task_store(name);
  }
  return false;
}

OutputFolder::OutputFolder(const std::string& dir, FileLog* log,
                           const std::vector<WrittenFile>& recorded)
    : abs_(lexical_absolute(dir)), log_(log), previous_(g_current) {
  for (const WrittenFile& f : recorded) {
    if (acceptable_entry(f)) {
      files_[f.path] = f;
    }
  }
  g_current = this;
}

OutputFolder::~OutputFolder() {
  g_current = previous_;
}

OutputFolder* OutputFolder::current() {
  return g_current;
}

std::optional<std::string> OutputFolder::relative(const std::string& path) const {
  const std::string abs = lexical_absolute(path);
  const std::string prefix = abs_ == "/" ? abs_ : abs_ + "/";
  if (abs.size() <= prefix.size() || abs.compare(0, prefix.size(), prefix) != 0) {
    return std::nullopt;
  }
  return abs.substr(prefix.size());
}

const WrittenFile* OutputFolder::find(const std::string& rel) const {
  const auto it = files_.find(rel);
  return it == files_.end() ? nullptr : &it->second;
}

void OutputFolder::record(const WrittenFile& f) {
  files_[f.path] = f;
  if (log_ != nullptr) {
    log_->record(f);
  }
}

void OutputFolder::forget(const std::string& rel) {
  files_.erase(rel);
  if (log_ != nullptr) {
    log_->forget(rel);
  }
}

void refuse_system_folder(const std::string& dir) {
  std::error_code ec;
  const fs::path canonical = fs::canonical(dir, ec);
  if (ec) {
    return;  // made below; a folder that cannot be resolved is neither
  }
  std::vector<std::string> homes;
  if (const char* home = std::getenv("HOME"); home != nullptr && home[0] != '\0') {
    homes.emplace_back(home);
  }
  if (const passwd* pw = ::getpwuid(::getuid()); pw != nullptr && pw->pw_dir != nullptr) {
    homes.emplace_back(pw->pw_dir);
  }
  if (canonical == fs::path("/")) {
    throw UsageError(fmt::format(
        "--out {} is the root folder: give a folder of its own for kernelscope's files", dir));
  }
  for (const std::string& home : homes) {
    const fs::path h = fs::canonical(home, ec);
    if (!ec && h == canonical) {
      throw UsageError(fmt::format(
          "--out {} is the home folder: give a folder of its own for kernelscope's files", dir));
    }
  }
}

std::size_t sqlite_path_limit() {
  sqlite3_vfs* vfs = sqlite3_vfs_find(nullptr);
  const std::size_t limit = vfs != nullptr ? static_cast<std::size_t>(vfs->mxPathname) : 512;
  return std::min<std::size_t>(limit, PATH_MAX - 1);
}

void check_path_length(const std::string& dir, std::size_t longest_name) {
  // SQLite opens a database only when its absolute path leaves room for "-journal" within its
  // file system layer's limit; it resolves links first, so the canonical path is what counts
  // once the folder exists.
  std::error_code ec;
  const fs::path canonical = fs::canonical(dir, ec);
  const std::string abs = ec ? lexical_absolute(dir) : canonical.string();
  const std::size_t limit = sqlite_path_limit();
  const std::size_t room = longest_name + 1 + std::strlen("-journal");
  if (abs.size() + room > limit) {
    throw UsageError(fmt::format(
        "the output folder's path {}is {} bytes long: the store's files in it would pass the "
        "{} bytes SQLite opens; give a folder whose path is at most {} bytes",
        ec ? "" : "(its links resolved) ", abs.size(), limit, limit > room ? limit - room : 0));
  }
}

void prepare_output_dir(const std::string& dir) {
  check_path_length(dir, kLongestStoreName);
  std::error_code ec;
  fs::create_directories(dir, ec);
  if (ec) {
    throw UsageError(fmt::format("cannot create the output folder {}: {}", dir, ec.message()));
  }
  if (!fs::is_directory(dir)) {
    throw UsageError(fmt::format("the output folder {} is not a folder", dir));
  }
  refuse_system_folder(dir);
  check_path_length(dir, kLongestStoreName);
  if (::access(dir.c_str(), W_OK) != 0) {
    throw UsageError(
        fmt::format("cannot write in the output folder {}: {}", dir, std::strerror(errno)));
  }
}

void create_folder(const std::string& dir) {
  OutputFolder* folder = OutputFolder::current();
  const std::optional<std::string> rel = folder != nullptr ? folder->relative(dir) : std::nullopt;
  if (!rel) {
    std::error_code ec;
    fs::create_directories(dir, ec);
    if (ec) {
      throw WriteError(fmt::format("cannot create {}: {}", dir, ec.message()));
    }
    return;
  }
  Fd current = open_root(folder->dir());
  if (!current) {
    throw WriteError(fmt::format("cannot create {}: {}", dir, std::strerror(errno)));
  }
  std::string made;
  for (const std::string& part : split_path(*rel)) {
    made += (made.empty() ? "" : "/") + part;
    if (::mkdirat(current.get(), part.c_str(), 0755) == 0) {
      WrittenFile f;
      f.path = made;
      f.kind = FileKind::kFolder;
      folder->record(f);
    } else if (errno != EEXIST) {
      throw WriteError(fmt::format("cannot create {}: {}", dir, std::strerror(errno)));
    }
    current = open_folder_at(current.get(), part);
    if (!current) {
      const int e = errno;
      throw WriteError(fmt::format("cannot write in {}/{}: {}", folder->dir(), made,
                                   e == ENOTDIR ? "it is not a folder" : error_text(e)));
    }
  }
}

struct AtomicWriter::State {
  std::string path;
  FileKind kind;
  Parent parent;
  bool replace = false;
  std::string tmp;
  std::optional<std::string> tmp_rel;  // the temporary file relative to the OutputFolder
  Fd fd;
  std::string buffer;
};

namespace {

// Past this many bytes the buffered text is written out.
constexpr std::size_t kWriterBuffer = std::size_t{1} << 20;

}  // namespace

AtomicWriter::AtomicWriter(const std::string& path, FileKind kind) : s_(std::make_unique<State>()) {
  s_->path = path;
  s_->kind = kind;
  s_->parent = open_parent(path);
  const Parent& p = s_->parent;
  s_->replace = check_replaceable(p, path, kind);
  s_->tmp = p.name + ".tmp-" + std::to_string(getpid());
  if (p.rel) {
    s_->tmp_rel = rel_in_parent(p.rel, s_->tmp);
    OutputFolder::current()->record({*s_->tmp_rel, FileKind::kTemporary});
  }
  s_->fd = Fd(::openat(p.fd.get(), s_->tmp.c_str(),
                       O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, 0644));
  if (!s_->fd) {
    fail(errno, false);
  }
  s_->buffer.reserve(kWriterBuffer);
}

AtomicWriter::~AtomicWriter() {
  if (s_) {
    ::unlinkat(s_->parent.fd.get(), s_->tmp.c_str(), 0);
    if (s_->tmp_rel) {
      OutputFolder::current()->forget(*s_->tmp_rel);
    }
  }
}

void AtomicWriter::fail(int e, bool made) {
  const std::string path = s_->path;
  if (made) {
    ::unlinkat(s_->parent.fd.get(), s_->tmp.c_str(), 0);
  }
  if (s_->tmp_rel) {
    OutputFolder::current()->forget(*s_->tmp_rel);
  }
  s_.reset();
  throw WriteError(fmt::format("cannot write {}: {}", path, error_text(e)));
}

void AtomicWriter::flush() {
  std::size_t written = 0;
  const std::string& b = s_->buffer;
  while (written < b.size()) {
    const ssize_t n = ::write(s_->fd.get(), b.data() + written, b.size() - written);
    if (n < 0 && errno == EINTR) {
      continue;
    }
    if (n <= 0) {
      fail(n < 0 ? errno : ENOSPC, true);
    }
    written += static_cast<std::size_t>(n);
  }
  s_->buffer.clear();
}

void AtomicWriter::append(std::string_view text) {
  if (!s_) {
    throw WriteError("a file was written to after it failed or was committed");
  }
  s_->buffer.append(text);
  if (s_->buffer.size() >= kWriterBuffer) {
    flush();
  }
}

void AtomicWriter::commit() {
  if (!s_) {
    throw WriteError("a file was committed after it failed or was committed");
  }
  flush();
  struct stat st {};
  if (::fstat(s_->fd.get(), &st) != 0) {
    fail(errno, true);
  }
  if (::close(s_->fd.release()) != 0) {
    fail(errno, true);
  }
  const Parent& p = s_->parent;
  if (rename_into_place(p.fd.get(), s_->tmp, p.name, s_->replace) != 0) {
    fail(errno == EEXIST ? EEXIST : errno, true);
  }
  if (p.rel) {
    OutputFolder::current()->forget(*s_->tmp_rel);
    OutputFolder::current()->record(identity(*p.rel, s_->kind, st));
  }
  s_.reset();
}

void write_file_atomic(const std::string& path, const std::string& content, FileKind kind) {
  AtomicWriter w(path, kind);
  w.append(content);
  w.commit();
}

void record_made(const std::string& path, FileKind kind) {
  OutputFolder* folder = OutputFolder::current();
  const std::optional<std::string> rel = folder != nullptr ? folder->relative(path) : std::nullopt;
  if (rel) {
    WrittenFile f;
    f.path = *rel;
    f.kind = kind;
    folder->record(f);
  }
}

ProgramOutput::ProgramOutput(std::string final_path)
    : final_(std::move(final_path)), part_(final_ + ".part") {
  Parent p = open_parent(part_);
  (void)check_replaceable(open_parent(final_), final_, FileKind::kFile);
  OutputFolder* folder = OutputFolder::current();
  if (p.rel) {
    // A part left by a driver that was killed while drawing is the driver's to remove.
    const WrittenFile* earlier = folder->find(*p.rel);
    struct stat st {};
    if (earlier != nullptr && earlier->kind == FileKind::kTemporary &&
        ::fstatat(p.fd.get(), p.name.c_str(), &st, AT_SYMLINK_NOFOLLOW) == 0 &&
        S_ISREG(st.st_mode)) {
      ::unlinkat(p.fd.get(), p.name.c_str(), 0);
    }
    folder->record({*p.rel, FileKind::kTemporary});
  }
  Fd fd(::openat(p.fd.get(), p.name.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC,
                 0644));
  struct stat st {};
  if (!fd || ::fstat(fd.get(), &st) != 0) {
    const int e = errno;
    if (p.rel) {
      folder->forget(*p.rel);
    }
    throw WriteError(fmt::format(
        "cannot write {}: {}", part_,
        e == EEXIST ? std::string("a file kernelscope did not make is in its place, left as it is")
                    : error_text(e)));
  }
  inode_ = static_cast<std::int64_t>(st.st_ino);
}

ProgramOutput::ProgramOutput(ProgramOutput&& other) noexcept
    : final_(std::move(other.final_)),
      part_(std::move(other.part_)),
      inode_(other.inode_),
      done_(std::exchange(other.done_, true)) {}

ProgramOutput::~ProgramOutput() {
  if (done_) {
    return;
  }
  try {
    Parent p = open_parent(part_);
    struct stat st {};
    if (::fstatat(p.fd.get(), p.name.c_str(), &st, AT_SYMLINK_NOFOLLOW) == 0 &&
        S_ISREG(st.st_mode) && static_cast<std::int64_t>(st.st_ino) == inode_) {
      ::unlinkat(p.fd.get(), p.name.c_str(), 0);
    }
    if (p.rel) {
      OutputFolder::current()->forget(*p.rel);
    }
  } catch (const WriteError&) {
    // Its folder is gone: so is the part.
  }
}

void ProgramOutput::keep() {
  done_ = true;
  Parent p = open_parent(part_);
  struct stat st {};
  if (::fstatat(p.fd.get(), p.name.c_str(), &st, AT_SYMLINK_NOFOLLOW) != 0 ||
      !S_ISREG(st.st_mode) || static_cast<std::int64_t>(st.st_ino) != inode_) {
    throw WriteError(
        fmt::format("cannot write {}: {} is not the file kernelscope made", final_, part_));
  }
  Parent f = open_parent(final_);
  const bool replace = check_replaceable(f, final_, FileKind::kFile);
  if (rename_into_place(p.fd.get(), p.name, f.name, replace) != 0) {
    const int e = errno;
    ::unlinkat(p.fd.get(), p.name.c_str(), 0);
    if (p.rel) {
      OutputFolder::current()->forget(*p.rel);
    }
    throw WriteError(fmt::format("cannot write {}: {}", final_, error_text(e)));
  }
  if (p.rel && f.rel) {
    OutputFolder::current()->forget(*p.rel);
    OutputFolder::current()->record(identity(*f.rel, FileKind::kFile, st));
  }
}

namespace {

// The entries of the list that may be removed, files first, then folders, the deepest first.
std::vector<WrittenFile> removal_order(const std::vector<WrittenFile>& files) {
  std::vector<WrittenFile> order;
  for (const WrittenFile& f : files) {
    if (acceptable_entry(f)) {
      order.push_back(f);
    }
  }
  std::stable_sort(order.begin(), order.end(), [](const WrittenFile& a, const WrittenFile& b) {
    const bool fa = a.kind == FileKind::kFolder;
    const bool fb = b.kind == FileKind::kFolder;
    if (fa != fb) {
      return !fa;
    }
    return fa && std::count(a.path.begin(), a.path.end(), '/') >
                     std::count(b.path.begin(), b.path.end(), '/');
  });
  return order;
}

// Whether what is at a listed path now is still what was written there: the same file
// (inode, size and time), a folder, or a regular file of the kinds that change as they are
// used (a store, a job file, a temporary).
bool still_ours(const WrittenFile& f, const struct stat& st) {
  switch (f.kind) {
    case FileKind::kFile:
      return S_ISREG(st.st_mode) && identity(f.path, f.kind, st).inode == f.inode &&
             static_cast<std::int64_t>(st.st_size) == f.size &&
             identity(f.path, f.kind, st).mtime_ns == f.mtime_ns;
    case FileKind::kFolder:
      return S_ISDIR(st.st_mode);
    case FileKind::kTemporary:
    case FileKind::kJob:
    case FileKind::kStore:
      return S_ISREG(st.st_mode);
  }
  return false;
}

// A store's logs beside it, when they are regular files.
void remove_store_logs(int parent, const std::string& name) {
  for (const char* suffix : {"-wal", "-shm", "-journal"}) {
    const std::string log_name = name + suffix;
    struct stat st {};
    if (::fstatat(parent, log_name.c_str(), &st, AT_SYMLINK_NOFOLLOW) == 0 && S_ISREG(st.st_mode)) {
      ::unlinkat(parent, log_name.c_str(), 0);
    }
  }
}

}  // namespace

std::vector<WrittenFile> remove_written(const std::string& dir,
                                        const std::vector<WrittenFile>& files, bool keep_job,
                                        FileLog* log) {
  const std::vector<WrittenFile> order = removal_order(files);
  std::vector<WrittenFile> remaining;
  const Fd root = open_root(lexical_absolute(dir));
  auto forget = [&](const WrittenFile& f) {
    if (log != nullptr) {
      log->forget(f.path);
    }
  };
  for (const WrittenFile& f : order) {
    const bool job = f.kind == FileKind::kJob || f.kind == FileKind::kStore;
    if (keep_job && job) {
      remaining.push_back(f);
      continue;
    }
    const std::vector<std::string> parts = split_path(f.path);
    const Fd parent = root ? open_below(root.get(), parts, parts.size() - 1) : Fd();
    if (!parent) {
      if (errno == ENOENT) {
        forget(f);  // its folder is gone, and so is it
      } else {
        remaining.push_back(f);  // below a link or a file put in a folder's place: not ours
        forget(f);
      }
      continue;
    }
    const std::string& name = parts.back();
    struct stat st {};
    if (::fstatat(parent.get(), name.c_str(), &st, AT_SYMLINK_NOFOLLOW) != 0) {
      forget(f);
      continue;
    }
    if (!still_ours(f, st)) {
      forget(f);  // the user's now: it stays, and is no longer on the list
      continue;
    }
    if (f.kind == FileKind::kFolder) {
      if (::unlinkat(parent.get(), name.c_str(), AT_REMOVEDIR) == 0 || errno == ENOENT) {
        forget(f);
      } else {
        remaining.push_back(f);  // something of the user's is in it
      }
      continue;
    }
    if (::unlinkat(parent.get(), name.c_str(), 0) != 0 && errno != ENOENT) {
      throw UsageError(fmt::format("cannot remove {}/{}: {}", dir, f.path, std::strerror(errno)));
    }
    if (f.kind == FileKind::kStore) {
      remove_store_logs(parent.get(), name);
    }
    forget(f);
  }
  return remaining;
}

std::vector<std::string> foreign_entries(const std::string& dir,
                                         const std::vector<WrittenFile>& recorded) {
  std::vector<std::string> known = {std::string(kLockName)};
  known.insert(known.end(), std::begin(kStoreNames), std::end(kStoreNames));
  std::vector<std::string> folders;
  for (const WrittenFile& f : recorded) {
    if (!acceptable_entry(f)) {
      continue;
    }
    known.push_back(f.path);
    if (f.kind == FileKind::kStore) {
      for (const char* suffix : {"-wal", "-shm", "-journal"}) {
        known.push_back(f.path + suffix);
      }
    }
    if (f.kind == FileKind::kFolder) {
      folders.push_back(f.path);
    }
  }
  std::sort(known.begin(), known.end());
  std::vector<std::string> foreign;
  auto scan = [&](const std::string& rel) {
    std::error_code ec;
    const std::string path = rel.empty() ? dir : dir + "/" + rel;
    if (!rel.empty() && (fs::is_symlink(path, ec) || !fs::is_directory(path, ec))) {
      return;
    }
    for (const fs::directory_entry& e : fs::directory_iterator(path, ec)) {
      const std::string name = (rel.empty() ? "" : rel + "/") + e.path().filename().string();
      if (!std::binary_search(known.begin(), known.end(), name)) {
        foreign.push_back(name);
      }
    }
  };
  scan("");
  for (const std::string& f : folders) {
    scan(f);
  }
  std::sort(foreign.begin(), foreign.end());
  return foreign;
}

std::string foreign_warning(const std::string& dir, const std::vector<std::string>& names) {
  std::string list;
  for (std::size_t i = 0; i < names.size() && i < 5; ++i) {
    std::string shown;
    for (const unsigned char c : names[i]) {
      shown += c < 0x20 || c == 0x7f ? '?' : static_cast<char>(c);
    }
    list += (i == 0 ? "" : ", ") + shown;
  }
  if (names.size() > 5) {
    list += fmt::format(" and {} more", names.size() - 5);
  }
  return fmt::format("{} holds {} kernelscope did not write ({}); they are left as they are", dir,
                     names.size() == 1 ? "a file" : fmt::format("{} files", names.size()), list);
}

bool is_regular_file(const std::string& path) {
  struct stat st {};
  return ::lstat(path.c_str(), &st) == 0 && S_ISREG(st.st_mode);
}

void refuse_irregular(const std::string& path) {
  struct stat st {};
  if (::lstat(path.c_str(), &st) != 0) {
    return;
  }
  auto refuse = [&](const struct stat& s) {
    throw UsageError(fmt::format("{} is {}, not a regular file: refused", path,
                                 S_ISLNK(s.st_mode)    ? "a symbolic link"
                                 : S_ISDIR(s.st_mode)  ? "a folder"
                                 : S_ISFIFO(s.st_mode) ? "a FIFO"
                                 : S_ISSOCK(s.st_mode) ? "a socket"
                                                       : "a device"));
  };
  if (!S_ISREG(st.st_mode)) {
    refuse(st);
  }
  // The same file, opened: it must be the regular file seen (nothing swapped in meanwhile).
  const Fd fd(::open(path.c_str(), O_RDONLY | O_NONBLOCK | O_NOFOLLOW | O_CLOEXEC | O_NOCTTY));
  if (!fd) {
    if (errno == ELOOP) {
      st.st_mode = S_IFLNK;
      refuse(st);
    }
    return;  // unreadable: the store's own opening says why
  }
  struct stat opened {};
  if (::fstat(fd.get(), &opened) == 0 && !S_ISREG(opened.st_mode)) {
    refuse(opened);
  }
}

}  // namespace ks::driver
