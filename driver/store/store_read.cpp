// Reading a store back: its runs, with their output and counters, and everything a report is
// rendered from.
#include <algorithm>
#include <cmath>

#include <fmt/format.h>

#include "driver/base/json_input.h"
#include "driver/store/store.h"
#include "driver/store/store_detail.h"

namespace ks::driver {
namespace {

nlohmann::json parse_json(const std::string& text, const std::string& path) {
  try {
    return ks::driver::parse_json(text);
  } catch (const nlohmann::json::exception&) {
    throw StoreError(fmt::format("{}: a machine context is not readable JSON", path));
  } catch (const JsonTooDeep& e) {
    throw StoreError(fmt::format("{}: a machine context is JSON {}", path, e.what()));
  }
}

// The context of a store whose maker ran nothing (a Slurm job's submitter): the first host
// that ran, in run order, with "host" naming every host that ran and "submitted_from" the
// maker. Null while no run is stored.
std::vector<std::string> hosts_in_order(const StoreContents& contents) {
  std::vector<std::string> hosts;
  for (const StoredRun& run : contents.runs) {
    if (std::find(hosts.begin(), hosts.end(), run.host) == hosts.end()) {
      hosts.push_back(run.host);
    }
  }
  return hosts;
}

// `hosts`: those that ran, in the order of their first runs.
nlohmann::json hosts_context(const StoreContents& contents, const std::vector<std::string>& hosts) {
  nlohmann::json context;
  for (const auto& [host, machine] : contents.machines) {
    if (!hosts.empty() && host == hosts.front()) {
      context = machine;
    }
  }
  if (hosts.empty()) {
    return context;
  }
  if (!context.is_object()) {
    context = nlohmann::json::object();
  }
  std::string names;
  for (const std::string& host : hosts) {
    names += (names.empty() ? "" : ", ") + host;
  }
  context["host"] = names;
  context["submitted_from"] = contents.host;
  return context;
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

}  // namespace

using namespace store_detail;

std::vector<RunRecord> StoreContents::records() const {
  std::vector<RunRecord> records;
  records.reserve(runs.size());
  for (const StoredRun& r : runs) {
    records.push_back(r.record);
    records.back().counters = r.counters;
  }
  return records;
}

StoredRun Store::decode_run(const sqlite::Statement& s, bool with_output) const {
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
  if (with_output && (!s.is_null(9) || !s.is_null(10))) {
    r.result = result_from(r, s.text(9), s.text(10));
  }
  run.counters.user_seconds = s.opt_real(kFirstCounter);
  run.counters.system_seconds = s.opt_real(kFirstCounter + 1);
  int column = kFirstCounter + 2;
  for (auto member : kIntCounters) {
    run.counters.*member = s.opt_int64(column++);
  }
  r.counters = run.counters;
  return run;
}

std::vector<StoredRun> Store::read_runs() {
  std::vector<StoredRun> runs;
  sqlite::Statement s =
      db_.prepare(fmt::format("SELECT {} FROM runs ORDER BY seq, host, id", kRunColumns));
  while (s.step()) {
    runs.push_back(decode_run(s, true));
  }
  return runs;
}

StoreContents Store::load() {
  std::vector<StoredRun> runs;
  try {
    runs = read_runs();
  } catch (const sqlite::Error& e) {
    throw StoreError(fmt::format("{}: cannot read: {}", path_, e.what()));
  }
  return read_head(std::move(runs), nullptr);
}

StoreContents Store::load_head() {
  std::vector<std::string> hosts;
  try {
    hosts = run_hosts();
  } catch (const sqlite::Error& e) {
    throw StoreError(fmt::format("{}: cannot read: {}", path_, e.what()));
  }
  return read_head({}, &hosts);
}

StoreContents Store::read_head(std::vector<StoredRun> runs, const std::vector<std::string>* hosts) {
  StoreContents contents;
  try {
    contents.plan = plan_;
    contents.runs = std::move(runs);
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
    bool maker_ran = false;
    while (s.step()) {
      contents.machines.emplace_back(s.text(0), parse_json(s.text(1), path_));
      if (contents.machines.back().first == contents.host) {
        contents.context = contents.machines.back().second;
        maker_ran = true;
      }
    }
    if (!maker_ran) {
      contents.context =
          hosts_context(contents, hosts != nullptr ? *hosts : hosts_in_order(contents));
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

}  // namespace ks::driver
