// kernelscope report DIR: the files of a sweep, tour or map rendered again from its store alone
// (after an interruption, a merge or an upgrade), and its results shown as the command that made
// it showed them.
#include <sys/stat.h>
#include <unistd.h>

#include <cstdio>
#include <memory>

#include <fmt/format.h>

#include "driver/analysis/stored_results.h"
#include "driver/app/commands.h"
#include "driver/base/files.h"
#include "driver/base/lock.h"
#include "driver/base/text.h"
#include "driver/report/map_view.h"
#include "driver/report/summary_table.h"
#include "driver/session/measure.h"
#include "driver/store/store.h"

namespace ks::driver {
namespace {

// The store's log as a command that writes leaves it: none. A reader leaves an empty log behind
// where the writer had removed its own, and a log that the writer of the files' list filled
// while the reader was open stays until a writer closes the store last: it is folded into the
// file by one, and an empty log removed. Nobody else writes here while the lock is held.
void fold_log(const std::string& dir) {
  const std::string log = dir + "/" + std::string(kStoreFile) + "-wal";
  struct stat st {};
  if (::lstat(log.c_str(), &st) == 0 && S_ISREG(st.st_mode) && st.st_size > 0) {
    try {
      (void)Store::open_to_record(dir);
    } catch (const StoreError&) {
      return;  // a folder it cannot write: the log stays, and it is part of the store
    }
  }
  if (::lstat(log.c_str(), &st) == 0 && S_ISREG(st.st_mode) && st.st_size == 0) {
    ::unlink(log.c_str());
    const std::string shm = dir + "/" + std::string(kStoreFile) + "-shm";
    if (is_regular_file(shm)) {
      ::unlink(shm.c_str());
    }
  }
}

struct ReportOptions {
  std::string dir;
  bool no_plots = false;
  bool wide = false;
};

// Renders the files from the store's runs, read in passes, and says what they hold.
int render_and_tell(const std::string& dir, const StoreContents& contents,
                    const std::shared_ptr<Store>& store, std::size_t completed, bool no_plots,
                    const TerminalLayout& layout) {
  // The renderings are removed and written again by render(), from the store's list.
  const ResultSet results = result_set(contents, store);
  const Exports exports = render(dir, contents.kind, results, no_plots);

  bool bad = false;
  if (contents.kind == "map") {
    for (const DemoMap& m : results.maps) {
      const Config& c = results.configs[m.config];
      std::fputs(
          map_text(m.trace, map_title(*c.program, c.spec()), isatty(STDOUT_FILENO) == 1).c_str(),
          stdout);
      bad = bad || !m.trace.problems.empty();
    }
  } else if (contents.kind == "tour") {
    print_tour(results, layout);
    bad = report_bad_runs(results) || !results.missing.empty();
  } else {
    std::fputs(summary_text(results.configs, results.summary, layout).c_str(), stdout);
    bad = report_bad_runs(results);
  }
  for (const auto& [format, exported] : exports.by_format) {
    if (!exported.notice.empty()) {
      error_line(exported.notice);
    }
  }
  std::size_t written = 0;
  for (const auto& [format, exported] : exports.by_format) {
    written += exported.files.size();
  }
  std::printf("%zu files rendered in %s/ from its store: %zu of %zu planned runs\n", written,
              terminal_text(dir).c_str(), completed, contents.plan.runs.size());
  if (completed < contents.plan.runs.size() && contents.kind != "map") {
    std::printf("the rest runs with: %s\n",
                terminal_text(resume_command(contents.command)).c_str());
  }
  const std::vector<std::string> failed = exports.failed();
  for (const std::string& line : failed) {
    error_line(line);
  }
  return bad || !failed.empty() ? kRunsFailed : 0;
}

int run_report(const Common& common, const ReportOptions& options) {
  const std::string& dir = options.dir;
  if (!Store::exists(dir)) {
    throw UsageError(
        fmt::format("no store in {} ({} is what a sweep, tour or map writes)", dir, kStoreFile));
  }
  std::optional<FolderLock> lock;
  try {
    lock.emplace(dir);
  } catch (const std::runtime_error& e) {
    throw UsageError(e.what());
  }
  // The store's head is read whole; its runs are read in passes as the results are made and
  // the files written, so that memory is bounded by the configurations.
  StoreContents contents;
  std::shared_ptr<Store> store;
  std::size_t completed = 0;
  try {
    store = std::make_shared<Store>(Store::open_readonly(dir + "/" + std::string(kStoreFile)));
    contents = store->load_head();
    completed = store->completed_runs();
  } catch (const StoreError& e) {
    throw UsageError(e.what());
  }
  int status = 0;
  try {
    status = render_and_tell(dir, contents, store, completed, options.no_plots,
                             terminal_layout(options.wide));
  } catch (const StoreError& e) {  // the store could not be read in a later pass
    throw UsageError(e.what());
  }
  store.reset();  // the last reader closed before the log is folded
  fold_log(dir);
  (void)common;
  return status;
}

}  // namespace

Subcommand setup_report(CLI::App& app, Common& common) {
  auto o = std::make_shared<ReportOptions>();
  auto* report =
      app.add_subcommand("report", "render a folder's files again from its store (results.db)");
  report->add_option("DIR", o->dir, "the output folder of a sweep, tour or map")->required();
  report->add_flag("--no-plots", o->no_plots, "write no plots");
  add_wide_option(*report, o->wide);
  add_bin_option(*report, common);
  return {report, [&common, o] { return run_report(common, *o); }};
}

}  // namespace ks::driver
