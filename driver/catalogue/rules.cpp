#include "driver/catalogue/rules.h"

#include <algorithm>
#include <map>
#include <set>

#include <fmt/format.h>

#include "driver/catalogue/checks.h"
#include "textmatch/output_match.h"

namespace ks::driver {
namespace {

std::string list_text(const std::vector<long long>& v) {
  if (v.empty()) {
    return "nothing";
  }
  std::string s;
  for (std::size_t i = 0; i < v.size(); ++i) {
    if (i > 0) {
      s += ",";
    }
    if (i == 12 && v.size() > 14) {
      s += fmt::format("...,{}", v.back());
      break;
    }
    s += std::to_string(v[i]);
  }
  return s;
}

}  // namespace

Trace begin_trace(const RunSpec& spec, std::string rule) {
  Trace t;
  t.team = spec.threads;
  t.rule = std::move(rule);
  return t;
}

void infer_team(Trace& t) {
  if (t.team > 0) {
    return;
  }
  int most = 0;
  for (const Cell& c : t.cells) {
    most = std::max(most, c.thread + 1);
  }
  for (const auto& [thread, value] : t.thread_values) {
    most = std::max(most, thread + 1);
  }
  t.team = std::max(most, 1);
}

std::optional<ks::ScanResult> scan_run(Trace& t, const ks::RunResult& r,
                                       const std::vector<std::string>& patterns) {
  if (auto failure = process_failure(r)) {
    t.problems.push_back(*failure);
    return std::nullopt;
  }
  if (!r.err.empty()) {
    t.problems.push_back("unexpected standard error: " + ks::visible(r.err));
  }
  ks::ScanResult scan = ks::scan_items(r.out, patterns);
  if (!scan.ok) {
    t.problems.push_back(scan.why);
    return std::nullopt;
  }
  return scan;
}

Trace refusal_trace(const RunSpec& spec, const ks::RunResult& r, std::string_view message,
                    std::string rule) {
  Trace t = begin_trace(spec, std::move(rule));
  t.refused = true;
  t.refusal = std::string(message);
  if (!r.started || r.timed_out || !r.exited || r.exit_status != 255) {
    t.problems.push_back("a refused command line must end with status 255, got " + r.describe());
  }
  if (!r.out.empty()) {
    t.problems.push_back("standard output must stay empty: \"" + ks::visible(r.out) + "\"");
  }
  if (r.err != message) {
    t.problems.push_back(fmt::format("usage message: expected \"{}\", got \"{}\"",
                                     ks::visible(message), ks::visible(r.err)));
  }
  if (t.team <= 0) {
    t.team = 1;
  }
  return t;
}

void take_outside(Trace& t, const ks::ScanResult& scan, int pattern, std::size_t value_index) {
  int seen = 0;
  for (std::size_t k = 0; k < scan.items.size(); ++k) {
    if (scan.items[k].pattern != pattern) {
      continue;
    }
    ++seen;
    t.outside = scan.items[k].values[value_index];
    if (k + 1 != scan.items.size()) {
      t.problems.push_back("the line printed after the region is not the last one");
    }
  }
  if (seen != 1) {
    t.problems.push_back(fmt::format("the line printed after the region appears {} times", seen));
  }
}

Assignment per_thread(const Trace& trace) {
  Assignment a(static_cast<std::size_t>(std::max(trace.team, 0)));
  for (const Cell& c : trace.cells) {
    if (c.thread >= 0 && c.thread < trace.team) {
      a[static_cast<std::size_t>(c.thread)].push_back(c.column);
    }
  }
  return a;
}

void check_team(Trace& trace) {
  std::set<int> outside;
  for (const Cell& c : trace.cells) {
    if (c.thread < 0 || c.thread >= trace.team) {
      outside.insert(c.thread);
    }
  }
  for (const auto& [thread, value] : trace.thread_values) {
    if (thread < 0 || thread >= trace.team) {
      outside.insert(thread);
    }
  }
  for (int t : outside) {
    trace.problems.push_back(fmt::format("thread {} reported, but the team has {} threads (0..{})",
                                         t, trace.team, trace.team - 1));
  }
}

void check_exact(Trace& trace, const Assignment& expected, const char* rule_name) {
  const Assignment got = per_thread(trace);
  for (std::size_t t = 0; t < expected.size() && t < got.size(); ++t) {
    if (got[t] != expected[t]) {
      trace.problems.push_back(fmt::format("thread {} ran {}; the {} gives it {}", t,
                                           list_text(got[t]), rule_name, list_text(expected[t])));
    }
  }
}

void check_coverage(Trace& trace, long long n) {
  std::map<long long, int> seen;
  for (const Cell& c : trace.cells) {
    ++seen[c.column];
  }
  std::vector<long long> missing;
  for (long long i = 0; i < n; ++i) {
    if (seen.find(i) == seen.end()) {
      missing.push_back(i);
    }
  }
  if (!missing.empty()) {
    trace.problems.push_back(fmt::format("iterations never run: {}", list_text(missing)));
  }
  std::vector<long long> twice;
  std::vector<long long> stray;
  for (const auto& [i, count] : seen) {
    if (i < 0 || i >= n) {
      stray.push_back(i);
    } else if (count > 1) {
      twice.push_back(i);
    }
  }
  if (!twice.empty()) {
    trace.problems.push_back(fmt::format("iterations run more than once: {}", list_text(twice)));
  }
  if (!stray.empty()) {
    trace.problems.push_back(fmt::format("iterations outside 0..{}: {}", n - 1, list_text(stray)));
  }
}

void check_increasing(Trace& trace) {
  const Assignment got = per_thread(trace);
  for (std::size_t t = 0; t < got.size(); ++t) {
    if (!std::is_sorted(got[t].begin(), got[t].end())) {
      trace.problems.push_back(
          fmt::format("thread {} ran its iterations out of order: {}", t, list_text(got[t])));
    }
  }
}

void check_whole_chunks(Trace& trace, long long n, long long chunk) {
  if (chunk < 1) {
    return;
  }
  std::map<long long, std::set<int>> owners;  // chunk number -> threads that ran part of it
  for (const Cell& c : trace.cells) {
    if (c.column >= 0 && c.column < n) {
      owners[c.column / chunk].insert(c.thread);
    }
  }
  for (const auto& [k, threads] : owners) {
    if (threads.size() > 1) {
      trace.problems.push_back(
          fmt::format("chunk {} (iterations {}..{}) was split among {} threads", k, k * chunk,
                      std::min((k + 1) * chunk, n) - 1, threads.size()));
    }
  }
}

void check_guided_runs(Trace& trace, long long n, long long chunk) {
  std::map<long long, int> owner;
  for (const Cell& c : trace.cells) {
    owner[c.column] = c.thread;
  }
  long long start = 0;
  for (long long i = 1; i <= n; ++i) {
    if (i == n || owner[i] != owner[start]) {
      if (i < n && i - start < chunk) {
        trace.problems.push_back(fmt::format(
            "iterations {}..{} form a chunk of {} on thread {}, below the chunk size {}", start,
            i - 1, i - start, owner[start], chunk));
      }
      start = i;
    }
  }
}

void check_running_sums(Trace& trace, long long start) {
  std::map<int, long long> sum;
  for (const Cell& c : trace.cells) {
    auto it = sum.try_emplace(c.thread, start).first;
    it->second += c.column;
    if (c.value && *c.value != it->second) {
      trace.problems.push_back(
          fmt::format("thread {} reports suma={} after iteration {}; its running sum is {}",
                      c.thread, *c.value, c.column, it->second));
      it->second = *c.value;  // report each wrong step once
    }
  }
}

long long last_iteration_sum(const Trace& trace, long long n, long long none) {
  if (n <= 0) {
    return none;
  }
  int thread = -1;
  for (const Cell& c : trace.cells) {
    if (c.column == n - 1) {
      thread = c.thread;
    }
  }
  long long value = none;
  bool found = false;
  for (const Cell& c : trace.cells) {
    if (c.thread == thread && c.value) {
      value = *c.value;
      found = true;
    }
  }
  return found ? value : none;
}

}  // namespace ks::driver
