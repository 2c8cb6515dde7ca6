// The store's layout: a new store made whole, and an older one upgraded to this format.
#include <fcntl.h>
#include <stdio.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <filesystem>
#include <limits>

#include <fmt/format.h>

#include "driver/store/store.h"
#include "driver/store/store_detail.h"

namespace ks::driver {
namespace {

// The layout of format 3 (but its view, kRunDetails). Every statement here is part of one
// transaction with the plan.
constexpr const char* kSchema = R"sql(
CREATE TABLE store (
  id INTEGER PRIMARY KEY CHECK (id = 1),
  kernelscope_version TEXT NOT NULL,
  created_at REAL NOT NULL,
  host TEXT NOT NULL,
  kind TEXT NOT NULL CHECK (kind IN ('sweep', 'tour', 'map'))
);
CREATE TABLE command (
  position INTEGER PRIMARY KEY,
  arg BLOB NOT NULL
);
CREATE TABLE machines (
  host TEXT PRIMARY KEY,
  context TEXT NOT NULL,
  recorded_at REAL NOT NULL
);
CREATE TABLE configs (
  id INTEGER PRIMARY KEY,
  program TEXT NOT NULL,
  size INTEGER,
  chunk INTEGER,
  threads INTEGER NOT NULL,
  schedule TEXT NOT NULL,
  repeat INTEGER NOT NULL,
  warmup INTEGER NOT NULL,
  args TEXT NOT NULL,
  label TEXT NOT NULL,
  proc_bind TEXT NOT NULL DEFAULT '',
  places TEXT NOT NULL DEFAULT ''
);
CREATE TABLE plan (
  seq INTEGER PRIMARY KEY,
  config INTEGER NOT NULL REFERENCES configs(id),
  round INTEGER NOT NULL,
  repetition INTEGER NOT NULL,
  warmup INTEGER NOT NULL CHECK (warmup IN (0, 1)),
  UNIQUE (config, round)
);
CREATE TABLE runs (
  id INTEGER PRIMARY KEY,
  seq INTEGER NOT NULL REFERENCES plan(seq),
  host TEXT NOT NULL,
  started_at REAL NOT NULL,
  outcome TEXT NOT NULL
    CHECK (outcome IN ('valid', 'invalid', 'failed', 'timeout', 'skipped')),
  reason TEXT NOT NULL,
  printed_seconds REAL,
  wall_seconds REAL,
  exit_status INTEGER,
  signal INTEGER,
  stdout BLOB,
  stderr BLOB,
  user_seconds REAL,
  system_seconds REAL,
  peak_rss_kib INTEGER,
  minor_faults INTEGER,
  major_faults INTEGER,
  voluntary_switches INTEGER,
  involuntary_switches INTEGER,
  perf_task_clock_ns INTEGER,
  perf_page_faults INTEGER,
  perf_context_switches INTEGER,
  perf_migrations INTEGER,
  perf_cycles INTEGER,
  perf_instructions INTEGER,
  perf_cache_references INTEGER,
  perf_cache_misses INTEGER,
  perf_branch_misses INTEGER,
  UNIQUE (seq, host)
);
)sql";

// What kernelscope wrote in the folder (format 3): a path relative to it, what it is, and a
// file's identity as written (inode, size, modification time in nanoseconds).
constexpr const char* kFilesTable = R"sql(
CREATE TABLE files (
  path TEXT PRIMARY KEY,
  kind TEXT NOT NULL CHECK (kind IN ('file', 'folder', 'temporary', 'job', 'store')),
  inode INTEGER NOT NULL DEFAULT 0,
  size INTEGER NOT NULL DEFAULT 0,
  mtime_ns INTEGER NOT NULL DEFAULT 0,
  recorded_at REAL NOT NULL
);
)sql";

std::int64_t to_int64(std::uint64_t v) {
  if (v > static_cast<std::uint64_t>(std::numeric_limits<std::int64_t>::max())) {
    throw StoreError(fmt::format("size {} is too large to store", v));
  }
  return static_cast<std::int64_t>(v);
}

// Each configuration of the plan, with the arguments and label it runs with.
void insert_configs(sqlite::Db& db, const Plan& plan) {
  sqlite::Statement s = db.prepare(
      "INSERT INTO configs (id, program, size, chunk, threads, schedule, repeat, warmup, args, "
      "label, proc_bind, places) VALUES (?, ?, ?, ?, ?, ?, ?, ?, ?, ?, ?, ?)");
  for (std::size_t i = 0; i < plan.configs.size(); ++i) {
    const Config& c = plan.configs[i];
    s.bind(1, static_cast<std::int64_t>(i)).bind_text(2, c.program->name);
    if (c.size) {
      s.bind(3, to_int64(*c.size));
    }
    s.bind(4, c.chunk ? std::optional<std::int64_t>(*c.chunk) : std::nullopt)
        .bind(5, std::int64_t{c.threads})
        .bind_text(6, c.schedule)
        .bind(7, std::int64_t{c.repeat})
        .bind(8, std::int64_t{c.warmup})
        .bind_text(9, store_detail::args_text(c.spec().args))
        .bind_text(10, c.label())
        .bind_text(11, c.bind)
        .bind_text(12, c.places)
        .run();
  }
}

// Every planned run, in the order the plan runs them.
void insert_plan(sqlite::Db& db, const Plan& plan) {
  sqlite::Statement s = db.prepare(
      "INSERT INTO plan (seq, config, round, repetition, warmup) VALUES (?, ?, ?, ?, ?)");
  for (std::size_t i = 0; i < plan.runs.size(); ++i) {
    const PlannedRun& r = plan.runs[i];
    s.bind(1, static_cast<std::int64_t>(i))
        .bind(2, static_cast<std::int64_t>(r.config))
        .bind(3, std::int64_t{r.round})
        .bind(4, std::int64_t{r.repetition})
        .bind(5, std::int64_t{r.warmup ? 1 : 0})
        .run();
  }
}

// The store made whole under `tmp`, and closed: synced once, then given its name, never over a
// store that appeared meanwhile.
void publish(const std::string& tmp, const std::string& file, const std::string& dir) {
  const int fd = ::open(tmp.c_str(), O_RDONLY | O_CLOEXEC);
  const bool synced = fd >= 0 && ::fsync(fd) == 0;
  const int sync_error = errno;
  if (fd >= 0) {
    ::close(fd);
  }
  if (!synced) {
    throw StoreError(fmt::format("cannot make {}: {}", file, std::strerror(sync_error)));
  }
  // A log left by a store whose file was removed would be replayed into this one.
  for (const char* suffix : {"-wal", "-shm", "-journal"}) {
    ::unlink((file + suffix).c_str());
  }
  if (::renameat2(AT_FDCWD, tmp.c_str(), AT_FDCWD, file.c_str(), RENAME_NOREPLACE) != 0) {
    if (errno == EEXIST) {
      throw StoreError(fmt::format("{} already holds a store", dir));
    }
    if (errno != EINVAL || ::rename(tmp.c_str(), file.c_str()) != 0) {
      throw StoreError(fmt::format("cannot make {}: {}", file, std::strerror(errno)));
    }
  }
}

}  // namespace

using namespace store_detail;

Store Store::create(const std::string& dir, const Plan& plan, const nlohmann::json& context,
                    const std::vector<std::string>& command, const StoreOptions& options) {
  const std::string file = dir + "/" + options.file;
  if (file_exists(file)) {
    throw StoreError(fmt::format("{} already holds a store", dir));
  }
  // Made whole under a temporary name, without a journal or a sync of its own, then synced once
  // and renamed: a store appears complete or not at all, for the cost of one sync rather than
  // the several of a journalled creation.
  const std::string tmp = fmt::format("{}.tmp-{}", file, getpid());
  auto remove_all = [](const std::string& f) {
    for (const char* suffix : {"", "-wal", "-shm", "-journal"}) {
      ::unlink((f + suffix).c_str());
    }
  };
  remove_all(tmp);
  Store store = open_file(tmp, sqlite::Mode::kCreate, options);
  try {
    store.db_.exec("PRAGMA journal_mode = OFF");
    store.db_.exec("PRAGMA synchronous = OFF");
    sqlite::Transaction t(store.db_);
    store.db_.exec(kSchema);
    store.db_.exec(kFilesTable);
    store.db_.exec(kRunDetails);
    store.db_.exec(fmt::format("PRAGMA application_id = {}", kApplicationId));
    store.db_.exec(fmt::format("PRAGMA user_version = {}", kStoreFormat));
    sqlite::Statement s = store.db_.prepare(
        "INSERT INTO store (id, kernelscope_version, created_at, host, kind) VALUES (1, ?, ?, ?, "
        "?)");
    s.bind_text(1, KS_VERSION)
        .bind(2, now_epoch())
        .bind_text(3, store.host_)
        .bind_text(4, options.kind)
        .run();
    s = store.db_.prepare("INSERT INTO command (position, arg) VALUES (?, ?)");
    for (std::size_t i = 0; i < command.size(); ++i) {
      s.bind(1, static_cast<std::int64_t>(i)).bind_blob(2, command[i]).run();
    }
    insert_configs(store.db_, plan);
    insert_plan(store.db_, plan);
    if (!context.is_null()) {
      s = store.db_.prepare("INSERT INTO machines (host, context, recorded_at) VALUES (?, ?, ?)");
      s.bind_text(1, store.host_).bind_text(2, json_text(context)).bind(3, now_epoch()).run();
    }
    t.commit();
    store.db_.exec("PRAGMA journal_mode = WAL");  // kept in the file for every later opening
    store = Store();                              // closed: everything is in the file
    publish(tmp, file, dir);
    store = open_file(file, sqlite::Mode::kReadWrite, options);
  } catch (const std::exception& e) {
    // Nothing half-made stays behind to be mistaken for a store.
    store = Store();
    remove_all(tmp);
    if (dynamic_cast<const StoreError*>(&e) != nullptr) {
      throw;
    }
    throw StoreError(fmt::format("cannot make {}: {}", file, e.what()));
  }
  return store;
}

void Store::upgrade() {
  if (format_ >= kStoreFormat) {
    return;
  }
  sqlite::Transaction t(db_);
  if (format_ < 2) {
    // Format 1 to 2: each configuration's placement, none for the runs already there.
    db_.exec(
        "ALTER TABLE configs ADD COLUMN proc_bind TEXT NOT NULL DEFAULT ''; "
        "ALTER TABLE configs ADD COLUMN places TEXT NOT NULL DEFAULT ''; "
        "DROP VIEW IF EXISTS run_details;");
    db_.exec(kRunDetails);
  }
  // Format 2 to 3: the list of the files written in the folder, as the kernelscope that made
  // the store wrote them.
  const std::vector<WrittenFile> earlier =
      legacy_files(std::filesystem::path(path_).parent_path().string(), created_at());
  db_.exec(kFilesTable);
  db_.exec(fmt::format("PRAGMA user_version = {}", kStoreFormat));
  const std::int64_t previous = format_;
  format_ = kStoreFormat;
  try {
    for (const WrittenFile& f : earlier) {
      record_file(f);
    }
  } catch (...) {
    format_ = previous;
    throw;
  }
  t.commit();
}

double Store::created_at() {
  sqlite::Statement s = db_.prepare("SELECT created_at FROM store WHERE id = 1");
  return s.step() ? s.real(0) : 0;
}

}  // namespace ks::driver
