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
// The tables are described for users in the README ("The run store").
#pragma once

#include <cstdint>
#include <optional>
#include <stdexcept>
#include <string>
#include <string_view>
#include <vector>

#include <nlohmann/json.hpp>

#include "driver/sqlite.h"
#include "driver/sweep.h"
#include "spawn/counters.h"

namespace ks::driver {

inline constexpr std::string_view kStoreFile = "results.db";
// The layout of the file. A store of a higher format was written by a newer kernelscope and
// is refused; a new format raises this number and teaches open() to upgrade older files.
// Format 2 added each configuration's OMP_PROC_BIND and OMP_PLACES (configs.proc_bind,
// configs.places); a format-1 store reads as without them, and is upgraded when opened to add
// runs.
inline constexpr int kStoreFormat = 2;

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
  std::vector<StoredRun> runs;                                   // in plan order (then by host)
  std::string kind = "sweep";                                    // what made it: sweep, tour, map
  std::string host;                                              // the machine that made the store
  nlohmann::json context;                                        // its machine and build context
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
};

class Store {
 public:
  // Makes DIR/results.db holding the plan, the machine context and the command line. The
  // folder must exist; a store already there is refused.
  static Store create(const std::string& dir, const Plan& plan, const nlohmann::json& context,
                      const std::vector<std::string>& command, const StoreOptions& options = {});
  // Opens the store in DIR to add runs (resume); refuses one whose plan asks for arguments this
  // build's catalogue would not pass.
  static Store open(const std::string& dir, const StoreOptions& options = {});
  // Opens a store file for reading only (report, merge).
  static Store open_readonly(const std::string& file, const StoreOptions& options = {});
  static bool exists(const std::string& dir, const StoreOptions& options = {});

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
  // The planned runs that no host (or, given one, that host) has stored yet, in plan order.
  std::vector<std::size_t> missing_runs(std::optional<std::string_view> host = std::nullopt);
  // Brings in the runs of another store file of the same plan that this one does not hold yet
  // (a run is known by the planned run it fulfils and its host), with the machine context of
  // each host new to this store, in one transaction. Returns the number of runs added.
  std::size_t merge_from(const std::string& other_file);

 private:
  Store() = default;
  static Store open_file(const std::string& file, sqlite::Mode mode, const StoreOptions& options);
  void check_format();
  void upgrade();
  void read_plan();
  void configure(bool sync_each_run);
  void insert_run(const StoredRun& run);
  std::vector<StoredRun> read_runs();

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

}  // namespace ks::driver
