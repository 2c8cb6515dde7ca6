// Opening a store: the file found and opened (for reading only when its folder cannot be
// written), its format checked, its plan read back.
#include "driver/store/store.h"

#include <fcntl.h>
#include <stdio.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <climits>
#include <cstdlib>
#include <cstring>
#include <filesystem>

#include <fmt/format.h>

#include "driver/base/lock.h"
#include "driver/store/store_detail.h"

namespace ks::driver {

namespace store_detail {

bool file_exists(const std::string& path) {
  struct stat st {};
  return ::lstat(path.c_str(), &st) == 0;
}

std::string args_text(const std::vector<std::string>& args) {
  std::string s;
  for (const std::string& a : args) {
    if (!s.empty()) {
      s += ' ';
    }
    if (!a.empty() && a.find_first_of(" \t\n'\"\\") == std::string::npos) {
      s += a;
      continue;
    }
    s += '\'';
    for (char ch : a) {
      s += ch == '\'' ? std::string("'\\''") : std::string(1, ch);
    }
    s += '\'';
  }
  return s;
}

std::vector<std::string> split_args(std::string_view text) {
  std::vector<std::string> args;
  std::size_t i = 0;
  while (i < text.size()) {
    if (text[i] == ' ') {
      ++i;
      continue;
    }
    std::string word;
    while (i < text.size() && text[i] != ' ') {
      if (text[i] == '\'') {
        const std::size_t end = text.find('\'', i + 1);
        word += text.substr(i + 1, (end == std::string_view::npos ? text.size() : end) - i - 1);
        i = end == std::string_view::npos ? text.size() : end + 1;
      } else if (text[i] == '\\' && i + 1 < text.size()) {
        word += text[i + 1];
        i += 2;
      } else {
        word += text[i++];
      }
    }
    args.push_back(std::move(word));
  }
  return args;
}

}  // namespace store_detail

namespace {

std::string this_host() {
  char name[HOST_NAME_MAX + 1] = {};
  if (gethostname(name, sizeof name - 1) != 0 || name[0] == '\0') {
    return "localhost";
  }
  return name;
}

}  // namespace

using namespace store_detail;

bool Store::exists(const std::string& dir, const StoreOptions& options) {
  return file_exists(dir + "/" + options.file);
}

void Store::configure(bool sync_each_run) {
  db_.exec("PRAGMA busy_timeout = 5000");
  db_.exec("PRAGMA foreign_keys = ON");
  db_.exec(sync_each_run ? "PRAGMA synchronous = FULL" : "PRAGMA synchronous = NORMAL");
}

Store Store::open_file(const std::string& file, sqlite::Mode mode, const StoreOptions& options) {
  Store store;
  store.path_ = file;
  store.host_ = options.host.empty() ? this_host() : options.host;
  try {
    if (mode != sqlite::Mode::kCreate && !file_exists(file)) {
      throw StoreError(fmt::format("no store at {}", file));
    }
    // A FIFO (or a device, a folder, a link) in the place of the store or its log would block
    // the opening or be followed: refused before SQLite opens anything.
    for (const char* suffix : {"", "-wal", "-shm"}) {
      try {
        refuse_irregular(file + suffix);
      } catch (const UsageError& e) {
        throw StoreError(e.what());
      }
    }
    // The file alone, as it is: SQLite neither looks for its log nor writes anything beside it.
    auto open_immutable = [&] {
      std::string uri = "file:";
      for (unsigned char ch : file) {
        const bool plain = (ch >= 'a' && ch <= 'z') || (ch >= 'A' && ch <= 'Z') ||
                           (ch >= '0' && ch <= '9') ||
                           (ch != 0 && std::strchr("/.-_", ch) != nullptr);
        uri += plain ? std::string(1, static_cast<char>(ch)) : fmt::format("%{:02X}", ch);
      }
      store.db_ = sqlite::Db(uri + "?mode=ro&immutable=1", sqlite::Mode::kReadOnly, true);
    };
    if (mode == sqlite::Mode::kReadOnly && options.immutable) {
      open_immutable();
    } else {
      try {
        store.db_ = sqlite::Db(file, mode);
        if (mode == sqlite::Mode::kReadOnly) {
          // Fails here, not later, when the folder does not let a reader make the WAL's
          // shared-memory file.
          store.db_.query_int("PRAGMA schema_version");
        }
      } catch (const sqlite::Error&) {
        if (mode != sqlite::Mode::kReadOnly || file_exists(file + "-wal")) {
          throw;
        }
        // A folder we cannot write to, and no log to replay: the file alone is the whole store.
        open_immutable();
      }
    }
    if (mode != sqlite::Mode::kCreate) {
      store.check_format();
      if (mode == sqlite::Mode::kReadWrite) {
        store.db_.exec("PRAGMA journal_mode = WAL");
        store.upgrade();
      }
      store.configure(options.sync_each_run);
      store.read_plan();
    }
  } catch (const sqlite::Error& e) {
    throw StoreError(fmt::format("{}: {}", file, e.what()));
  }
  return store;
}

void Store::check_format() {
  const std::int64_t format = db_.query_int("PRAGMA user_version");
  const std::int64_t app = db_.query_int("PRAGMA application_id");
  if (format == 0 && db_.query_int("SELECT count(*) FROM sqlite_master") == 0) {
    throw StoreError(
        fmt::format("{} is an empty store (the command that made it was interrupted)", path_));
  }
  if (format == 0 || app != kApplicationId) {
    throw StoreError(fmt::format("{} is not a kernelscope store", path_));
  }
  format_ = format;
  if (format > kStoreFormat) {
    std::string writer = "a newer kernelscope";
    try {
      sqlite::Statement s = db_.prepare("SELECT kernelscope_version FROM store");
      if (s.step()) {
        writer = "kernelscope " + s.text(0);
      }
    } catch (const sqlite::Error&) {
      // A newer layout may not have that table: the format number says enough.
    }
    throw StoreError(fmt::format(
        "{} was written by {} in store format {}; this kernelscope ({}) reads format {} and "
        "older",
        path_, writer, format, KS_VERSION, kStoreFormat));
  }
}

void Store::read_plan() {
  {
    sqlite::Statement kind = db_.prepare("SELECT kind FROM store WHERE id = 1");
    kind_ = kind.step() ? kind.text(0) : std::string("sweep");
  }
  // A format-1 store has no placement: its configurations ran with the runtime's default.
  sqlite::Statement configs = db_.prepare(fmt::format(
      "SELECT id, program, size, chunk, threads, schedule, repeat, warmup, args, {} FROM configs "
      "ORDER BY id",
      format_ >= 2 ? "proc_bind, places" : "'', ''"));
  while (configs.step()) {
    if (configs.int64(0) != static_cast<std::int64_t>(plan_.configs.size())) {
      throw StoreError(fmt::format("{}: the configurations are not numbered 0, 1, 2, ...", path_));
    }
    const std::string name = configs.text(1);
    Config c;
    c.program = find_program(name);
    if (c.program == nullptr) {
      throw StoreError(
          fmt::format("{}: program '{}' is not in this kernelscope's catalogue", path_, name));
    }
    if (auto size = configs.opt_int64(2)) {
      c.size = static_cast<std::uint64_t>(*size);
    }
    c.chunk = configs.opt_int64(3);
    c.threads = static_cast<int>(configs.int64(4));
    c.schedule = configs.text(5);
    c.repeat = static_cast<int>(configs.int64(6));
    c.warmup = static_cast<int>(configs.int64(7));
    c.bind = configs.text(9);
    c.places = configs.text(10);
    std::string args = configs.text(8);
    if (args != args_text(c.spec().args)) {
      c.args = split_args(args);  // given as they are (a map's)
    }
    plan_.configs.push_back(std::move(c));
    stored_args_.push_back(std::move(args));
  }
  planned_index_.assign(plan_.configs.size(), {});
  sqlite::Statement runs =
      db_.prepare("SELECT seq, config, round, repetition, warmup FROM plan ORDER BY seq");
  while (runs.step()) {
    const std::int64_t config = runs.int64(1);
    const std::int64_t round = runs.int64(2);
    if (runs.int64(0) != static_cast<std::int64_t>(plan_.runs.size()) || config < 0 ||
        config >= static_cast<std::int64_t>(plan_.configs.size()) || round < 0 || round > INT_MAX) {
      throw StoreError(fmt::format("{}: the plan is not in order", path_));
    }
    const auto index = static_cast<std::size_t>(config);
    plan_.runs.push_back(
        {index, static_cast<int>(round), static_cast<int>(runs.int64(3)), runs.int64(4) != 0});
    std::vector<std::size_t>& rounds = planned_index_[index];
    if (rounds.size() <= static_cast<std::size_t>(round)) {
      rounds.resize(static_cast<std::size_t>(round) + 1, SIZE_MAX);
    }
    rounds[static_cast<std::size_t>(round)] = plan_.runs.size() - 1;
  }
}

Store Store::open(const std::string& dir, const StoreOptions& options) {
  const std::string file = dir + "/" + options.file;
  // SQLite would open the file for reading only and fail at the first write.
  for (const std::string& path : {file, dir}) {
    if (file_exists(file) && ::access(path.c_str(), W_OK) != 0) {
      throw StoreError(fmt::format("{} cannot be written: {}", path, std::strerror(errno)));
    }
  }
  Store store = open_file(file, sqlite::Mode::kReadWrite, options);
  for (std::size_t i = 0; i < store.plan_.configs.size(); ++i) {
    const std::string args = args_text(store.plan_.configs[i].spec().args);
    if (args != store.stored_args_[i]) {
      throw StoreError(fmt::format(
          "{}: {} ran with arguments '{}' where this kernelscope passes '{}'; its runs cannot be "
          "continued",
          store.path_, store.plan_.configs[i].label(), store.stored_args_[i], args));
    }
  }
  return store;
}

Store Store::open_readonly(const std::string& file, const StoreOptions& options) {
  return open_file(file, sqlite::Mode::kReadOnly, options);
}

namespace {

// A folder of the driver's own for a copy, removed with what is in it at the end.
class PrivateCopy {
 public:
  PrivateCopy() {
    const char* tmp = std::getenv("TMPDIR");
    std::string templ =
        std::string(tmp != nullptr && tmp[0] == '/' ? tmp : "/tmp") + "/kernelscope-read-XXXXXX";
    if (::mkdtemp(templ.data()) == nullptr) {
      throw StoreError(
          fmt::format("cannot make a folder for a copy of the store: {}", std::strerror(errno)));
    }
    dir_ = templ;
  }
  ~PrivateCopy() {
    std::error_code ec;
    std::filesystem::remove_all(dir_, ec);
  }
  PrivateCopy(const PrivateCopy&) = delete;
  PrivateCopy& operator=(const PrivateCopy&) = delete;
  const std::string& dir() const { return dir_; }

 private:
  std::string dir_;
};

void copy_into(const std::string& from, const std::string& to) {
  std::error_code ec;
  std::filesystem::copy_file(from, to, ec);
  if (ec) {
    throw StoreError(fmt::format("cannot copy {}: {}", from, ec.message()));
  }
}

}  // namespace

StoreContents Store::load_untouched(const std::string& file) {
  for (const char* suffix : {"", "-wal", "-shm"}) {
    try {
      refuse_irregular(file + suffix);
    } catch (const UsageError& e) {
      throw StoreError(e.what());
    }
  }
  if (!file_exists(file)) {
    throw StoreError(fmt::format("no store at {}", file));
  }
  // Whether a driver writes the store now: its folder's lock is held. A shared lock held while
  // reading keeps one from starting meanwhile (it is refused as while any driver holds it).
  const std::filesystem::path parent = std::filesystem::path(file).parent_path();
  const std::string lock =
      (parent.empty() ? std::string(".") : parent.string()) + "/" + std::string(kLockFile);
  int lock_fd = -1;
  bool live = false;
  if (file_exists(lock)) {
    try {
      refuse_irregular(lock);
    } catch (const UsageError& e) {
      throw StoreError(e.what());
    }
    lock_fd = ::open(lock.c_str(), O_RDONLY | O_NOFOLLOW | O_NONBLOCK | O_CLOEXEC | O_NOCTTY);
    live = lock_fd >= 0 && ::flock(lock_fd, LOCK_SH | LOCK_NB) != 0 && errno == EWOULDBLOCK;
  }
  struct Closer {
    int fd;
    ~Closer() {
      if (fd >= 0) {
        ::close(fd);
      }
    }
  } closer{lock_fd};
  struct stat log {};
  const bool has_log = ::lstat((file + "-wal").c_str(), &log) == 0 && log.st_size > 0;
  StoreOptions options;
  if (live && has_log && file_exists(file + "-shm")) {
    // A driver is adding runs: read through its log with SQLite's own locking, which reads a
    // consistent store and makes no file (the log and its index are there).
    return open_file(file, sqlite::Mode::kReadOnly, options).load();
  }
  if (!has_log) {
    // The file is the whole store (a driver that holds the lock has its store closed, the rest
    // already in the file).
    options.immutable = true;
    return open_file(file, sqlite::Mode::kReadOnly, options).load();
  }
  // A log that no driver writes: the runs a killed driver committed last. They are read from a
  // copy, in a folder of the driver's own, so that nothing is written beside the store.
  const PrivateCopy copy;
  const std::string copied = copy.dir() + "/" + std::string(kStoreFile);
  copy_into(file, copied);
  copy_into(file + "-wal", copied + "-wal");
  StoreContents contents = open_file(copied, sqlite::Mode::kReadOnly, options).load();
  return contents;
}

}  // namespace ks::driver
