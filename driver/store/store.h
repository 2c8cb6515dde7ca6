// The run store: results.db in an output folder, an SQLite 3 file that holds a sweep's plan,
// every run as it completes, the command line and the machine context, so that an interrupted
// or killed driver loses nothing it finished and every report can be rendered again from it.
//
// Each run is one transaction, committed before append_run returns. The journal is a
// write-ahead log with synchronous=NORMAL: a commit survives the death of the process (kill -9
// included) at once, and the file always opens consistent; after a power loss or a crash of
// the operating system the last runs before it may be missing (never half-written), unless
// StoreOptions::sync_each_run asks for an fsync at every commit.
//
// The tables are described for users in docs/store.md.
#pragma once

#include <cstdint>
#include <functional>
#include <optional>
#include <span>
#include <stdexcept>
#include <string>
#include <string_view>
#include <vector>

#include <nlohmann/json.hpp>

#include "driver/base/errors.h"
#include "driver/base/files.h"
#include "driver/plan/plan.h"
#include "driver/results/results.h"
#include "driver/results/run_source.h"
#include "driver/store/sqlite.h"
#include "spawn/counters.h"

namespace ks::driver {

inline constexpr std::string_view kStoreFile = "results.db";
// The layout of the file. A store of a higher format was written by a newer kernelscope and
// is refused; a new format raises this number and teaches open() to upgrade older files.
// Format 2 added each configuration's OMP_PROC_BIND and OMP_PLACES (configs.proc_bind,
// configs.places); a format-1 store reads as without them, and is upgraded when opened to add
// runs. Format 3 added the list of the files kernelscope wrote in the folder (files); an older
// store's list is what its kernelscope wrote there (legacy_files), kept when it is upgraded.
inline constexpr int kStoreFormat = 3;

// A store that cannot be made, opened, read or written: one line.
class StoreError : public std::runtime_error {
 public:
  using std::runtime_error::runtime_error;
};

// What differs between a stored plan and another one, in one line ("plus-static --repeat: the
// store has 5, this command asks for 10", the other plan named by `asked_name`); nothing when
// they are the same plan.
std::optional<std::string> plan_difference(const Plan& stored, const Plan& asked,
                                           std::string_view asked_name = "this command asks for");

struct StoredRun {
  std::size_t planned = 0;  // the planned run it fulfils (its position in Plan::runs)
  std::string host;         // the machine that ran it
  // The run as the driver recorded it. Its `result` (the program's output and fate) is there
  // when the driver kept it: for runs that were not valid, and for the demonstration runs that
  // maps are drawn from.
  RunRecord record;
  RunCounters counters;
};

// Everything a report is rendered from.
struct StoreContents {
  Plan plan;
  std::vector<StoredRun> runs;  // in plan order (then by host)
  std::string kind = "sweep";   // what made it: sweep, tour, map
  std::string host;             // the machine that made the store
  // Its machine and build context; for a store whose maker ran nothing (a Slurm job's), that of
  // the first host that ran, with "host" naming every host that ran and "submitted_from"
  // the maker.
  nlohmann::json context;
  std::vector<std::pair<std::string, nlohmann::json>> machines;  // every host's context, by host
  std::vector<std::string> command;  // the command line that made the store
  std::string version;               // the kernelscope that made it
  double created_at = 0;             // seconds since the epoch

  std::vector<RunRecord> records() const;  // the runs' records, in the same order
};

struct StoreOptions {
  std::string file = std::string(kStoreFile);  // the file's name in the folder
  std::string host;                            // who runs; empty: this machine's host name
  bool sync_each_run = false;                  // survive a power loss too (an fsync per run)
  std::string kind = "sweep";                  // a new store's maker: sweep, tour or map
  // Read the file alone, as it is, without its log: SQLite writes nothing beside it.
  bool immutable = false;
};

class Store {
 public:
  // Makes DIR/results.db holding the plan, the machine context and the command line. The
  // folder must exist; a store already there is refused. A null context records no machine
  // for the maker (a Slurm job's submitter, which runs nothing: its nodes record theirs).
  static Store create(const std::string& dir, const Plan& plan, const nlohmann::json& context,
                      const std::vector<std::string>& command, const StoreOptions& options = {});
  // Opens the store in DIR to add runs (resume); refuses one whose plan asks for arguments this
  // build's catalogue would not pass.
  static Store open(const std::string& dir, const StoreOptions& options = {});
  // Opens a store file for reading only (report, merge).
  static Store open_readonly(const std::string& file, const StoreOptions& options = {});
  // Opens the store in DIR to keep the list of the files written in the folder (a report
  // rendered again), upgrading an older one, whatever its plan.
  static Store open_to_record(const std::string& dir, const StoreOptions& options = {});
  static bool exists(const std::string& dir, const StoreOptions& options = {});
  // Reads a store file whole without writing anything into its folder (compare's inputs): the
  // file alone when no log holds runs; through the log, as SQLite reads one, while a driver
  // holds the folder's lock and writes it; from a private copy of the file and its log when a
  // driver that was killed left committed runs in the log.
  static StoreContents load_untouched(const std::string& file);

  Store(Store&&) noexcept = default;
  Store& operator=(Store&&) noexcept = default;

  const std::string& path() const { return path_; }
  const std::string& host() const { return host_; }
  const Plan& plan() const { return plan_; }
  const std::string& kind() const { return kind_; }  // sweep, tour or map

  // Adds one completed run, ran by this host, in its own transaction. A run the plan does not
  // hold, or one this host already stored, is refused.
  void append_run(const RunRecord& run, const RunCounters& counters);
  void append_run(const RunRecord& run) { append_run(run, run.counters); }
  // Records (or replaces) this host's machine context.
  void record_machine(const nlohmann::json& context);

  StoreContents load();
  // Everything load() reads but the runs, which StoreRuns hands over in passes
  // (store_runs.h).
  StoreContents load_head();
  // The hosts that ran, in the order of their first runs (plan order, then by host).
  std::vector<std::string> run_hosts();
  // Whether a planned run was made on two hosts or more.
  bool runs_repeated();
  // The planned runs that some host has stored.
  std::size_t completed_runs();
  // Each run the query asks for (`host`: only that host's), in plan order then by host, with
  // its place among those runs (from 0); the record lives during the call.
  void each_run(const RunQuery& query, const std::optional<std::string>& host,
                const std::function<void(std::size_t, const RunRecord&)>& each);
  // Each configuration's runs without their output, one configuration at a time, in the
  // configurations' order, each in plan order.
  void each_config(const std::optional<std::string>& host,
                   const std::function<void(std::size_t, std::span<const RunRecord>)>& each);
  // The planned runs that no host (or, given one, that host) has stored yet, in plan order.
  std::vector<std::size_t> missing_runs(std::optional<std::string_view> host = std::nullopt);
  // Brings in the runs of another store file of the same plan that this one does not hold yet
  // (a run is known by the planned run it fulfils and its host), with the machine context of
  // each host new to this store, in one transaction. Returns the number of runs added.
  std::size_t merge_from(const std::string& other_file);

  // The files kernelscope wrote in the store's folder, as recorded (an older store's: those
  // its kernelscope wrote, see legacy_files).
  std::vector<WrittenFile> written_files();
  // Adds (or replaces) an entry of the list, or drops one; each is its own transaction.
  void record_file(const WrittenFile& f);
  void forget_file(const std::string& path);

 private:
  Store() = default;
  static Store open_file(const std::string& file, sqlite::Mode mode, const StoreOptions& options);
  void check_format();
  void upgrade();
  double created_at();
  void read_plan();
  void configure(bool sync_each_run);
  void insert_run(const StoredRun& run);
  std::vector<StoredRun> read_runs();
  StoredRun decode_run(const sqlite::Statement& s, bool with_output) const;
  StoreContents read_head(std::vector<StoredRun> runs, const std::vector<std::string>* hosts);

  std::string path_;
  std::string host_;
  std::int64_t format_ = kStoreFormat;
  sqlite::Db db_;  // before the statements, which must be finalised first
  sqlite::Statement insert_run_;
  Plan plan_;
  std::vector<std::vector<std::size_t>> planned_index_;  // [config][round] -> planned run
  std::vector<std::string> stored_args_;                 // each configuration's arguments
  std::string kind_;
};

// The store's list kept as files are written: a FileLog of the folder's store. A failure to
// record is kept (one line) for the command to report; the files are written all the same.
class StoreFileLog : public FileLog {
 public:
  explicit StoreFileLog(Store& store) : store_(store) {}
  void record(const WrittenFile& f) override;
  void forget(const std::string& path) override;
  const std::string& problem() const { return problem_; }

 private:
  Store& store_;
  std::string problem_;
};

// While it lives, what the driver writes in `dir` is written as an OutputFolder and recorded in
// the folder's store (when it has one that can be opened to write; otherwise only written). With
// `clear`, the renderings of the list that are still as kernelscope left them are removed first.
// Inside another one for the same folder, it does nothing.
class RecordedFolder {
 public:
  explicit RecordedFolder(const std::string& dir, bool clear = false);
  RecordedFolder(const RecordedFolder&) = delete;
  RecordedFolder& operator=(const RecordedFolder&) = delete;
  // Why the files could not be recorded (or removed); empty when they were.
  std::string problem() const;

 private:
  std::optional<Store> store_;
  std::optional<StoreFileLog> log_;
  std::optional<OutputFolder> folder_;
  std::string problem_;
};

// What a kernelscope before store format 3 wrote in a folder and cleared again, as far as it
// is still there: the files of fixed names (runs.csv, report.md, map.*, ...), the images,
// data and scripts directly in plots/ and maps/ and those folders, a Slurm job's files; each
// a regular file (a folder not a link) last changed after the store was made (`created_at`,
// seconds since the epoch), so that what the user put there before is not taken for one.
std::vector<WrittenFile> legacy_files(const std::string& dir, double created_at);

// Removes what kernelscope wrote in `dir` and is still as it left it, from the store's list:
// the renderings, and without `keep_store` the store too (results.db and its log) with a
// Slurm job's files. A folder without a store holds nothing of kernelscope's: nothing is
// removed. Throws UsageError (one line) when the store cannot be read or something cannot be
// removed.
void clear_outputs(const std::string& dir, bool keep_store = false);

// The list of `dir`'s store, for warnings and writing; empty when there is none or it cannot
// be read.
std::vector<WrittenFile> recorded_files(const std::string& dir);

}  // namespace ks::driver
