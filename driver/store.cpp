#include "driver/store.h"

#include <fcntl.h>
#include <stdio.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <climits>
#include <cmath>
#include <cstring>
#include <limits>
#include <unordered_set>

#include <fmt/format.h>

#include "driver/lists.h"

#ifndef KS_VERSION
#define KS_VERSION "unknown"
#endif

namespace ks::driver {
namespace {

// "kSco": marks the file as a kernelscope store (file(1) shows it as its application id).
constexpr std::int64_t kApplicationId = 0x6B53636F;

// The layout of format 2 (but its view, kRunDetails). Every statement here is part of one
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

// The view of format 2, which format 1 stores get when they are upgraded.
constexpr const char* kRunDetails = R"sql(
CREATE VIEW run_details AS
  SELECT r.id, r.seq, c.id AS config, c.label, c.program, c.size, c.chunk, c.threads,
         c.schedule, c.proc_bind, c.places, p.round, p.repetition, p.warmup, r.host,
         r.started_at, r.outcome, r.reason, r.printed_seconds, r.wall_seconds, r.exit_status,
         r.signal
  FROM runs r JOIN plan p ON p.seq = r.seq JOIN configs c ON c.id = p.config;
)sql";

// The columns of a run but its id, in the order the statements below use them.
constexpr const char* kRunColumns =
    "seq, host, started_at, outcome, reason, printed_seconds, wall_seconds, exit_status, "
    "signal, stdout, stderr, user_seconds, system_seconds, peak_rss_kib, minor_faults, "
    "major_faults, voluntary_switches, involuntary_switches, perf_task_clock_ns, "
    "perf_page_faults, perf_context_switches, perf_migrations, perf_cycles, perf_instructions, "
    "perf_cache_references, perf_cache_misses, perf_branch_misses";
constexpr int kRunColumnCount = 27;
constexpr int kFirstCounter = 11;  // user_seconds, as a 0-based column

// The integer counters, in column order after system_seconds.
constexpr std::optional<std::int64_t> RunCounters::*kIntCounters[] = {
    &RunCounters::peak_rss_kib,         &RunCounters::minor_faults,
    &RunCounters::major_faults,         &RunCounters::voluntary_switches,
    &RunCounters::involuntary_switches, &RunCounters::task_clock_ns,
    &RunCounters::page_faults,          &RunCounters::context_switches,
    &RunCounters::migrations,           &RunCounters::cycles,
    &RunCounters::instructions,         &RunCounters::cache_references,
    &RunCounters::cache_misses,         &RunCounters::branch_misses,
};
static_assert(kFirstCounter + 2 + std::size(kIntCounters) == kRunColumnCount);

double now_epoch() {
  return std::chrono::duration<double>(std::chrono::system_clock::now().time_since_epoch()).count();
}

std::string this_host() {
  char name[HOST_NAME_MAX + 1] = {};
  if (gethostname(name, sizeof name - 1) != 0 || name[0] == '\0') {
    return "localhost";
  }
  return name;
}

bool file_exists(const std::string& path) {
  struct stat st {};
  return ::lstat(path.c_str(), &st) == 0;
}

std::string join(const std::vector<std::string>& items, std::string_view sep) {
  std::string s;
  for (std::size_t i = 0; i < items.size(); ++i) {
    s += (i == 0 ? "" : std::string(sep)) + items[i];
  }
  return s;
}

// A program's arguments as one text a person reads as a command line: words separated by
// blanks, a word that is empty or holds a blank, a quote or a backslash written in single
// quotes (a quote inside as '\''). split_args reads it back.
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

// JSON text for the store: bytes that are not UTF-8 (a folder's name) become U+FFFD rather than
// an exception.
std::string json_text(const nlohmann::json& j) {
  return j.dump(-1, ' ', false, nlohmann::json::error_handler_t::replace);
}

nlohmann::json parse_json(const std::string& text, const std::string& path) {
  try {
    return nlohmann::json::parse(text);
  } catch (const nlohmann::json::exception&) {
    throw StoreError(fmt::format("{}: a machine context is not readable JSON", path));
  }
}

Outcome outcome_from(const std::string& name, const std::string& path) {
  for (Outcome o : {Outcome::kValid, Outcome::kInvalid, Outcome::kFailed, Outcome::kTimeout,
                    Outcome::kSkipped}) {
    if (name == outcome_name(o)) {
      return o;
    }
  }
  throw StoreError(fmt::format("{}: unknown outcome '{}'", path, name));
}

std::int64_t to_int64(std::uint64_t v) {
  if (v > static_cast<std::uint64_t>(std::numeric_limits<std::int64_t>::max())) {
    throw StoreError(fmt::format("size {} is too large to store", v));
  }
  return static_cast<std::int64_t>(v);
}

// A stored run's output, back as the run result it came from. What the record says about the
// process (status, signal, timeout) is what the result said.
ks::RunResult result_from(const RunRecord& r, std::string out, std::string err) {
  ks::RunResult result;
  result.out = std::move(out);
  result.err = std::move(err);
  result.exited = r.exit_status >= 0;
  result.exit_status = r.exit_status;
  result.term_signal = r.signal;
  result.timed_out = r.outcome == Outcome::kTimeout;
  result.started = result.exited || result.term_signal != 0 || result.timed_out;
  if (!result.started) {
    result.error = r.why;
  }
  result.wall_seconds = std::isnan(r.wall_seconds) ? 0 : r.wall_seconds;
  return result;
}

// --- Plan comparison ------------------------------------------------------------------------

std::string threads_text(int t) {
  return t > 0 ? std::to_string(t) : "unset";
}

struct Dimension {
  const char* option;
  const char* separator;  // as the option's list is written
  std::string (*value)(const Config&);
};

const Dimension kDimensions[] = {
    {"--sizes", ",",
     [](const Config& c) { return c.size ? size_label(*c.size) : std::string("none"); }},
    {"--chunks", ",",
     [](const Config& c) { return c.chunk ? std::to_string(*c.chunk) : std::string("none"); }},
    {"--threads", ",", [](const Config& c) { return threads_text(c.threads); }},
    {"--schedules", ";",
     [](const Config& c) { return c.schedule.empty() ? std::string("default") : c.schedule; }},
    {"--repeat", ",", [](const Config& c) { return std::to_string(c.repeat); }},
    {"--warmup", ",", [](const Config& c) { return std::to_string(c.warmup); }},
    {"--bind", ",",
     [](const Config& c) { return c.bind.empty() ? std::string("default") : c.bind; }},
    {"--places", ",",
     [](const Config& c) { return c.places.empty() ? std::string("default") : c.places; }},
};

// The distinct values of one dimension over one program's configurations, in plan order.
std::vector<std::string> values_of(const std::vector<Config>& configs, std::string_view program,
                                   const Dimension& d) {
  std::vector<std::string> values;
  std::unordered_set<std::string> seen;
  for (const Config& c : configs) {
    if (c.program->name == program) {
      std::string v = d.value(c);
      if (seen.insert(v).second) {
        values.push_back(std::move(v));
      }
    }
  }
  return values;
}

std::vector<std::string> programs_of(const std::vector<Config>& configs) {
  std::vector<std::string> names;
  for (const Config& c : configs) {
    std::string name(c.program->name);
    if (std::find(names.begin(), names.end(), name) == names.end()) {
      names.push_back(std::move(name));
    }
  }
  return names;
}

bool same_config(const Config& a, const Config& b) {
  return a.program == b.program && a.size == b.size && a.chunk == b.chunk &&
         a.threads == b.threads && a.schedule == b.schedule && a.repeat == b.repeat &&
         a.warmup == b.warmup && a.args == b.args && a.bind == b.bind && a.places == b.places;
}

std::string run_text(const Plan& plan, std::size_t i) {
  const PlannedRun& r = plan.runs[i];
  return fmt::format("{} {} {}", plan.configs[r.config].label(),
                     r.warmup ? "warm-up" : "repetition", r.repetition + 1);
}

}  // namespace

std::optional<std::string> plan_difference(const Plan& stored, const Plan& asked,
                                           std::string_view asked_name) {
  const std::vector<std::string> stored_programs = programs_of(stored.configs);
  const std::vector<std::string> asked_programs = programs_of(asked.configs);
  if (stored_programs != asked_programs) {
    return fmt::format("programs: the store has {}, {} {}", join(stored_programs, " "), asked_name,
                       join(asked_programs, " "));
  }
  for (const std::string& program : stored_programs) {
    for (const Dimension& d : kDimensions) {
      const auto s = values_of(stored.configs, program, d);
      const auto a = values_of(asked.configs, program, d);
      if (s != a) {
        return fmt::format("{} {}: the store has {}, {} {}", program, d.option,
                           join(s, d.separator), asked_name, join(a, d.separator));
      }
    }
  }
  const std::size_t n = std::min(stored.configs.size(), asked.configs.size());
  for (std::size_t i = 0; i < n; ++i) {
    if (!same_config(stored.configs[i], asked.configs[i])) {
      return fmt::format("configuration {}: the store has {}, {} {}", i + 1,
                         stored.configs[i].label(), asked_name, asked.configs[i].label());
    }
  }
  if (stored.configs.size() != asked.configs.size()) {
    return fmt::format("the store has {} configurations, {} {}", stored.configs.size(), asked_name,
                       asked.configs.size());
  }
  const std::size_t m = std::min(stored.runs.size(), asked.runs.size());
  for (std::size_t i = 0; i < m; ++i) {
    if (!(stored.runs[i] == asked.runs[i])) {
      return fmt::format("run {} of the plan: the store has {}, {} {}", i + 1, run_text(stored, i),
                         asked_name, run_text(asked, i));
    }
  }
  if (stored.runs.size() != asked.runs.size()) {
    return fmt::format("the store plans {} runs, {} {}", stored.runs.size(), asked_name,
                       asked.runs.size());
  }
  return std::nullopt;
}

std::vector<RunRecord> StoreContents::records() const {
  std::vector<RunRecord> records;
  records.reserve(runs.size());
  for (const StoredRun& r : runs) {
    records.push_back(r.record);
    records.back().counters = r.counters;
  }
  return records;
}

// --- Opening ----------------------------------------------------------------------------

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
      std::string uri = "file:";
      for (unsigned char ch : file) {
        const bool plain = (ch >= 'a' && ch <= 'z') || (ch >= 'A' && ch <= 'Z') ||
                           (ch >= '0' && ch <= '9') ||
                           (ch != 0 && std::strchr("/.-_", ch) != nullptr);
        uri += plain ? std::string(1, static_cast<char>(ch)) : fmt::format("%{:02X}", ch);
      }
      store.db_ = sqlite::Db(uri + "?immutable=1", mode, true);
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

void Store::upgrade() {
  if (format_ >= kStoreFormat) {
    return;
  }
  sqlite::Transaction t(db_);
  // Format 1 to 2: each configuration's placement, none for the runs already there.
  db_.exec(
      "ALTER TABLE configs ADD COLUMN proc_bind TEXT NOT NULL DEFAULT ''; "
      "ALTER TABLE configs ADD COLUMN places TEXT NOT NULL DEFAULT ''; "
      "DROP VIEW IF EXISTS run_details;");
  db_.exec(kRunDetails);
  db_.exec(fmt::format("PRAGMA user_version = {}", kStoreFormat));
  t.commit();
  format_ = kStoreFormat;
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
    s = store.db_.prepare(
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
          .bind_text(9, args_text(c.spec().args))
          .bind_text(10, c.label())
          .bind_text(11, c.bind)
          .bind_text(12, c.places)
          .run();
    }
    s = store.db_.prepare(
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
    s = store.db_.prepare("INSERT INTO machines (host, context, recorded_at) VALUES (?, ?, ?)");
    s.bind_text(1, store.host_).bind_text(2, json_text(context)).bind(3, now_epoch()).run();
    t.commit();
    store.db_.exec("PRAGMA journal_mode = WAL");  // kept in the file for every later opening
    store = Store();                              // closed: everything is in the file
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

// --- Runs -------------------------------------------------------------------------------

namespace {

void bind_run(sqlite::Statement& s, const StoredRun& run) {
  const RunRecord& r = run.record;
  s.bind(1, static_cast<std::int64_t>(run.planned))
      .bind_text(2, run.host)
      .bind(3, r.started_at)
      .bind_text(4, outcome_name(r.outcome))
      .bind_text(5, r.why)
      .bind(6, r.printed_seconds)
      .bind(7, r.wall_seconds)
      .bind(8, r.exit_status >= 0 ? std::optional<std::int64_t>(r.exit_status) : std::nullopt)
      .bind(9, r.signal != 0 ? std::optional<std::int64_t>(r.signal) : std::nullopt);
  if (r.result) {
    s.bind_blob(10, r.result->out).bind_blob(11, r.result->err);
  }
  s.bind(12, run.counters.user_seconds).bind(13, run.counters.system_seconds);
  int column = 14;
  for (auto member : kIntCounters) {
    s.bind(column++, run.counters.*member);
  }
}

std::string insert_sql(const char* verb) {
  std::string marks = "?";
  for (int i = 1; i < kRunColumnCount; ++i) {
    marks += ", ?";
  }
  return fmt::format("{} INTO runs ({}) VALUES ({})", verb, kRunColumns, marks);
}

}  // namespace

void Store::append_run(const RunRecord& run, const RunCounters& counters) {
  const bool planned = run.config < planned_index_.size() && run.round >= 0 &&
                       static_cast<std::size_t>(run.round) < planned_index_[run.config].size() &&
                       planned_index_[run.config][static_cast<std::size_t>(run.round)] != SIZE_MAX;
  const std::size_t seq =
      planned ? planned_index_[run.config][static_cast<std::size_t>(run.round)] : 0;
  if (!planned || plan_.runs[seq].warmup != run.warmup) {
    throw StoreError(fmt::format("{}: {} run of configuration {} in round {} is not in the plan",
                                 path_, run.warmup ? "a warm-up" : "a measured", run.config + 1,
                                 run.round + 1));
  }
  try {
    if (!insert_run_.prepared()) {
      insert_run_ = db_.prepare(insert_sql("INSERT"));
    }
    bind_run(insert_run_, StoredRun{seq, host_, run, counters});
    insert_run_.run();
  } catch (const sqlite::Error& e) {
    if (e.code() == 19) {  // SQLITE_CONSTRAINT: (planned run, host) is unique
      throw StoreError(
          fmt::format("{}: {} on {} is stored already", path_, run_text(plan_, seq), host_));
    }
    throw StoreError(fmt::format("{}: cannot store a run: {}", path_, e.what()));
  }
}

void Store::record_machine(const nlohmann::json& context) {
  try {
    sqlite::Statement s = db_.prepare(
        "INSERT OR REPLACE INTO machines (host, context, recorded_at) VALUES (?, ?, ?)");
    s.bind_text(1, host_).bind_text(2, json_text(context)).bind(3, now_epoch()).run();
  } catch (const sqlite::Error& e) {
    throw StoreError(fmt::format("{}: cannot store the machine context: {}", path_, e.what()));
  }
}

std::vector<StoredRun> Store::read_runs() {
  std::vector<StoredRun> runs;
  sqlite::Statement s =
      db_.prepare(fmt::format("SELECT {} FROM runs ORDER BY seq, host, id", kRunColumns));
  while (s.step()) {
    StoredRun run;
    const std::int64_t seq = s.int64(0);
    if (seq < 0 || seq >= static_cast<std::int64_t>(plan_.runs.size())) {
      throw StoreError(fmt::format("{}: a run fulfils no planned run", path_));
    }
    run.planned = static_cast<std::size_t>(seq);
    run.host = s.text(1);
    const PlannedRun& p = plan_.runs[run.planned];
    RunRecord& r = run.record;
    r.config = p.config;
    r.round = p.round;
    r.warmup = p.warmup;
    r.started_at = s.real(2);
    r.outcome = outcome_from(s.text(3), path_);
    r.why = s.text(4);
    r.printed_seconds = s.opt_real(5);
    r.wall_seconds = s.real(6);
    r.exit_status = static_cast<int>(s.opt_int64(7).value_or(-1));
    r.signal = static_cast<int>(s.opt_int64(8).value_or(0));
    if (!s.is_null(9) || !s.is_null(10)) {
      r.result = result_from(r, s.text(9), s.text(10));
    }
    run.counters.user_seconds = s.opt_real(kFirstCounter);
    run.counters.system_seconds = s.opt_real(kFirstCounter + 1);
    int column = kFirstCounter + 2;
    for (auto member : kIntCounters) {
      run.counters.*member = s.opt_int64(column++);
    }
    r.counters = run.counters;
    runs.push_back(std::move(run));
  }
  return runs;
}

StoreContents Store::load() {
  StoreContents contents;
  try {
    contents.plan = plan_;
    contents.runs = read_runs();
    sqlite::Statement s =
        db_.prepare("SELECT kernelscope_version, created_at, host FROM store WHERE id = 1");
    if (!s.step()) {
      throw StoreError(fmt::format("{}: the store's own row is missing", path_));
    }
    contents.version = s.text(0);
    contents.created_at = s.real(1);
    contents.host = s.text(2);
    contents.kind = kind_;
    s = db_.prepare("SELECT arg FROM command ORDER BY position");
    while (s.step()) {
      contents.command.push_back(s.text(0));
    }
    s = db_.prepare("SELECT host, context FROM machines ORDER BY host");
    while (s.step()) {
      contents.machines.emplace_back(s.text(0), parse_json(s.text(1), path_));
      if (contents.machines.back().first == contents.host) {
        contents.context = contents.machines.back().second;
      }
    }
  } catch (const sqlite::Error& e) {
    throw StoreError(fmt::format("{}: cannot read: {}", path_, e.what()));
  }
  return contents;
}

std::vector<std::size_t> Store::missing_runs(std::optional<std::string_view> host) {
  std::vector<bool> done(plan_.runs.size(), false);
  try {
    sqlite::Statement s =
        db_.prepare(host ? "SELECT seq FROM runs WHERE host = ?" : "SELECT seq FROM runs");
    if (host) {
      s.bind_text(1, *host);
    }
    while (s.step()) {
      const std::int64_t seq = s.int64(0);
      if (seq >= 0 && seq < static_cast<std::int64_t>(done.size())) {
        done[static_cast<std::size_t>(seq)] = true;
      }
    }
  } catch (const sqlite::Error& e) {
    throw StoreError(fmt::format("{}: cannot read: {}", path_, e.what()));
  }
  std::vector<std::size_t> missing;
  for (std::size_t i = 0; i < done.size(); ++i) {
    if (!done[i]) {
      missing.push_back(i);
    }
  }
  return missing;
}

std::size_t Store::merge_from(const std::string& other_file) {
  Store other = open_readonly(other_file);
  if (auto difference = plan_difference(plan_, other.plan_, "the other has")) {
    throw StoreError(fmt::format("cannot merge {}: another plan ({})", other_file, *difference));
  }
  const StoreContents theirs = other.load();
  std::size_t added = 0;
  try {
    sqlite::Transaction t(db_);
    sqlite::Statement s = db_.prepare(insert_sql("INSERT OR IGNORE"));
    for (const StoredRun& run : theirs.runs) {
      bind_run(s, run);
      s.run();
      added += static_cast<std::size_t>(db_.changes());
    }
    s = db_.prepare("INSERT OR IGNORE INTO machines (host, context, recorded_at) VALUES (?, ?, ?)");
    for (const auto& [host, context] : theirs.machines) {
      s.bind_text(1, host).bind_text(2, json_text(context)).bind(3, now_epoch()).run();
    }
    t.commit();
  } catch (const sqlite::Error& e) {
    throw StoreError(fmt::format("{}: cannot merge {}: {}", path_, other_file, e.what()));
  }
  return added;
}

}  // namespace ks::driver
