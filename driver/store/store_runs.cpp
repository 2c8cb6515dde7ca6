// The store's runs read in passes: every run in plan order through the runs' (seq, host)
// index, or by configuration through the plan's (config, round) index, so that neither pass
// sorts the runs and neither holds more than one configuration's.
#include "driver/store/store_runs.h"

#include <fmt/format.h>

#include "driver/store/store_detail.h"

namespace ks::driver {

using namespace store_detail;

namespace {

// The runs' columns of kRunColumns, each prefixed with `table`.
std::string qualified_columns(std::string_view table) {
  std::string out;
  std::string_view rest = kRunColumns;
  while (!rest.empty()) {
    const std::size_t comma = rest.find(", ");
    out += fmt::format("{}{}.{}", out.empty() ? "" : ", ", table, rest.substr(0, comma));
    rest = comma == std::string_view::npos ? std::string_view() : rest.substr(comma + 2);
  }
  return out;
}

}  // namespace

std::vector<std::string> Store::run_hosts() {
  std::vector<std::string> hosts;
  sqlite::Statement s = db_.prepare("SELECT host FROM runs GROUP BY host ORDER BY min(seq), host");
  while (s.step()) {
    hosts.push_back(s.text(0));
  }
  return hosts;
}

bool Store::runs_repeated() {
  try {
    return db_.query_int(
               "SELECT EXISTS (SELECT 1 FROM runs GROUP BY seq HAVING count(DISTINCT host) > 1)") !=
           0;
  } catch (const sqlite::Error& e) {
    throw StoreError(fmt::format("{}: cannot read: {}", path_, e.what()));
  }
}

std::size_t Store::completed_runs() {
  try {
    return static_cast<std::size_t>(db_.query_int("SELECT count(DISTINCT seq) FROM runs"));
  } catch (const sqlite::Error& e) {
    throw StoreError(fmt::format("{}: cannot read: {}", path_, e.what()));
  }
}

void Store::each_run(const RunQuery& query, const std::optional<std::string>& host,
                     const std::function<void(std::size_t, const RunRecord&)>& each) {
  try {
    sqlite::Statement s = db_.prepare(fmt::format("SELECT {} FROM runs {}ORDER BY seq, host, id",
                                                  kRunColumns, host ? "WHERE host = ? " : ""));
    if (host) {
      s.bind_text(1, *host);
    }
    std::size_t given = 0;
    for (std::size_t index = 0; given < query.limit && s.step(); ++index) {
      if (query.not_valid_only && s.text(3) == "valid") {
        continue;
      }
      const std::int64_t seq = s.int64(0);
      if (seq >= 0 && seq < static_cast<std::int64_t>(plan_.runs.size()) &&
          !query.wants(plan_.runs[static_cast<std::size_t>(seq)].config)) {
        continue;
      }
      const StoredRun run = decode_run(s, query.with_output);
      ++given;
      each(index, run.record);
    }
  } catch (const sqlite::Error& e) {
    throw StoreError(fmt::format("{}: cannot read: {}", path_, e.what()));
  }
}

void Store::each_config(const std::optional<std::string>& host,
                        const std::function<void(std::size_t, std::span<const RunRecord>)>& each) {
  try {
    sqlite::Statement s =
        db_.prepare(fmt::format("SELECT {} FROM plan p JOIN runs r ON r.seq = p.seq {}"
                                "ORDER BY p.config, p.round, r.host, r.id",
                                qualified_columns("r"), host ? "WHERE r.host = ? " : ""));
    if (host) {
      s.bind_text(1, *host);
    }
    std::vector<RunRecord> group;
    std::size_t config = 0;
    while (s.step()) {
      StoredRun run = decode_run(s, false);
      if (!group.empty() && run.record.config != config) {
        each(config, group);
        group.clear();
      }
      config = run.record.config;
      group.push_back(std::move(run.record));
    }
    if (!group.empty()) {
      each(config, group);
    }
  } catch (const sqlite::Error& e) {
    throw StoreError(fmt::format("{}: cannot read: {}", path_, e.what()));
  }
}

StoreRuns::StoreRuns(std::shared_ptr<Store> store, std::optional<std::string> host)
    : store_(std::move(store)), host_(std::move(host)) {}

const RunTotals& StoreRuns::totals() const {
  if (!totals_) {
    RunTotals t;
    t.not_valid_of.assign(store_->plan().configs.size(), 0);
    store_->each_run({}, host_, [&t](std::size_t, const RunRecord& r) { t.add(r); });
    totals_ = std::move(t);
  }
  return *totals_;
}

void StoreRuns::each(const RunQuery& query,
                     const std::function<void(std::size_t, const RunRecord&)>& each) const {
  store_->each_run(query, host_, each);
}

void StoreRuns::by_config(
    const std::function<void(std::size_t, std::span<const RunRecord>)>& each) const {
  store_->each_config(host_, each);
}

}  // namespace ks::driver
