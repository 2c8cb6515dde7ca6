// Writing runs: each as it completes, the machine context, and the runs of another store of
// the same plan merged in.
#include <cstdint>

#include <fmt/format.h>

#include "driver/store/store.h"
#include "driver/store/store_detail.h"

namespace ks::driver {
using namespace store_detail;

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
