#include "driver/cluster/follow.h"

#include <poll.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <optional>

#include <fmt/format.h>

#include "driver/base/errors.h"
#include "driver/base/files.h"
#include "driver/report/summary_table.h"
#include "driver/results/run_source.h"
#include "driver/run/interrupt.h"
#include "driver/run/progress.h"
#include "driver/session/measure.h"

namespace ks::driver {
namespace {

constexpr int kPollMilliseconds = 1000;

bool ended(const TaskReport& r) {
  return r.ended();
}

std::vector<TaskReport> submission_reports(const std::string& dir, const ClusterJob& job,
                                           std::size_t index, bool count_runs) {
  const Submission& s = job.submissions[index];
  std::vector<TaskReport> reports;
  if (s.job_id.empty()) {
    return reports;
  }
  const JobQuery q = SlurmClient{}.query(s.job_id);
  if (q.error && q.error.kind != SlurmErrorKind::kUnknownJob) {
    throw UsageError(q.error.message);
  }
  for (std::size_t i = 0; i < s.tasks.size(); ++i) {
    TaskReport r;
    r.submission = index;
    r.task = i;
    r.job_id = s.job_id;
    r.planned = s.tasks[i].runs.size();
    for (const TaskStatus& t : q.tasks) {
      if (t.task == static_cast<int>(i)) {
        r.status = t;
      }
    }
    // A task Slurm no longer knows is told by its store alone: what it stored against what it
    // was given.
    if ((count_runs || !r.status) && ::access((dir + "/" + s.tasks[i].store).c_str(), F_OK) == 0) {
      try {
        std::vector<std::size_t> gone =
            Store::open_readonly(dir + "/" + s.tasks[i].store).missing_runs();
        std::sort(gone.begin(), gone.end());
        for (std::size_t seq : s.tasks[i].runs) {
          r.stored += std::binary_search(gone.begin(), gone.end(), seq) ? 0 : 1;
        }
      } catch (const StoreError&) {
        // Unreadable: nothing of it counts.
      }
      if (ended(r)) {
        drop_empty_log(dir + "/" + s.tasks[i].store);
      }
    }
    reports.push_back(std::move(r));
  }
  return reports;
}

// Waits a poll interval; true when a signal came meanwhile.
bool wait_interrupted(const Interruption& interruption) {
  pollfd p{interruption.stop_fd(), POLLIN, 0};
  return ::poll(&p, 1, kPollMilliseconds) > 0;
}

}  // namespace

void ClusterOutput::output(const std::string& text) const {
  if (on_output) {
    on_output(text);
  }
}

void ClusterOutput::error(const std::string& line) const {
  if (on_error) {
    on_error(line);
  }
}

int finish_job(const std::string& dir, const ClusterJob& job, const ClusterOutput& out) {
  std::optional<Store> store;
  std::vector<std::string> problems;
  StoreContents contents;
  try {
    store = Store::open(dir);
    const std::size_t added = merge_tasks(*store, dir, job, problems);
    contents = store->load();
    store.reset();
    if (added > 0) {
      out.output(fmt::format("{} runs merged into {}/{}\n", added, dir, kStoreFile));
    }
  } catch (const StoreError& e) {
    out.error(e.what());
    return kRunsFailed;
  }
  for (const std::string& p : problems) {
    out.error(p);
  }
  const ResultSet results = result_set(contents);
  Exports exports = render(dir, job.kind, results, job.no_plots);
  const std::vector<std::string> failed = exports.failed();
  if (job.kind == "tour") {
    if (out.on_tour) {
      out.on_tour(results);
    }
  } else {
    out.output(summary_text(results.configs, results.summary));
  }
  if (const std::string& notice = exports.of("plots").notice; !notice.empty()) {
    out.error(notice);
  }
  const std::vector<std::string> bad_runs = bad_run_lines(results);
  for (const std::string& line : bad_runs) {
    out.error(line);
  }
  bool bad = !bad_runs.empty();
  if (!job.submissions.empty()) {
    for (const TaskReport& r :
         submission_reports(dir, job, job.submissions.size() - 1, /*count_runs=*/true)) {
      if (!r.succeeded()) {
        out.error(task_line(r));
        bad = true;
      }
    }
  }
  // Runs the plan lacks: on any node (split), on each node (per node).
  std::size_t missing = 0;
  std::size_t expected = contents.plan.runs.size();
  if (job.request.mode == SlurmMode::kPerNode) {
    const std::vector<std::string> hosts = run_hosts(contents);
    std::size_t nodes = 0;
    for (const Submission& s : job.submissions) {
      nodes = std::max(nodes, s.tasks.size());
    }
    expected *= std::max(nodes, hosts.size());
    missing = expected - std::min(expected, contents.runs.size());
  } else {
    std::vector<bool> done(contents.plan.runs.size(), false);
    for (const StoredRun& run : contents.runs) {
      done[run.planned] = true;
    }
    missing = static_cast<std::size_t>(std::count(done.begin(), done.end(), false));
  }
  for (const std::string& line : failed) {
    out.error(line);
  }
  if (missing > 0) {
    out.error(fmt::format("{} of {} planned runs are missing; resume with: kernelscope resume {}",
                          missing, expected, dir));
  }
  out.output(fmt::format("{} runs in {}; results in {}/\n", contents.runs.size(), kStoreFile, dir));
  return bad || missing > 0 || !failed.empty() ? kRunsFailed : 0;
}

std::vector<TaskReport> task_reports(const std::string& dir, const ClusterJob& job,
                                     bool count_runs) {
  std::vector<TaskReport> reports;
  for (std::size_t i = 0; i < job.submissions.size(); ++i) {
    for (TaskReport& r : submission_reports(dir, job, i, count_runs)) {
      reports.push_back(std::move(r));
    }
  }
  return reports;
}

int follow_job(const std::string& dir, ClusterJob job, bool wait, const ClusterOutput& out) {
  if (job.submissions.empty() || job.submissions.back().job_id.empty()) {
    return finish_job(dir, job, out);
  }
  const std::string id = job.submissions.back().job_id;
  if (!wait) {
    out.output(fmt::format(
        "kernelscope status {} follows it; its results are merged once it ends\n", dir));
    return 0;
  }
  const bool tty = isatty(STDERR_FILENO) == 1;
  const auto start = std::chrono::steady_clock::now();
  const Interruption interruption;
  std::string shown;
  while (true) {
    const std::vector<TaskReport> reports =
        submission_reports(dir, job, job.submissions.size() - 1, false);
    const ArraySummary summary = summarize_reports(reports);
    if (!summary.blocked.empty()) {
      (void)SlurmClient{}.cancel(id);
      for (const TaskReport& r : reports) {
        if (r.status && r.status->task == summary.blocked.front()) {
          out.error(fmt::format("job {} can never start as requested ({}): cancelled", id,
                                r.status->describe()));
        }
      }
      return kBadInput;
    }
    const std::string line = fmt::format(
        "job {}: {} ({})", id, summary.text(),
        duration_text(
            std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count()));
    if (tty) {
      std::fprintf(stderr, "\r\033[K%s", line.c_str());
    } else if (summary.text() != shown) {
      std::fprintf(stderr, "%s\n", line.c_str());
    }
    std::fflush(stderr);
    shown = summary.text();
    if (summary.finished()) {
      break;
    }
    if (wait_interrupted(interruption)) {
      if (tty) {
        std::fputs("\n", stderr);
      }
      out.error(
          fmt::format("stopped following job {}, whose tasks go on: kernelscope status {} "
                      "shows them",
                      id, dir));
      return interruption.status();
    }
  }
  if (tty) {
    std::fputs("\n", stderr);
  }
  return finish_job(dir, job, out);
}

}  // namespace ks::driver
