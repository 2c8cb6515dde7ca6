// status and resume of a folder that a sweep, tour or map measured here rather than on Slurm:
// the store knows the command that made it, what it planned and what it holds.
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <set>
#include <stdexcept>
#include <string>
#include <vector>

#include <fmt/format.h>

#include "driver/app/commands.h"
#include "driver/base/errors.h"
#include "driver/base/lock.h"
#include "driver/base/text.h"
#include "driver/store/store.h"

namespace ks::driver {

namespace {

StoreContents stored(const std::string& dir) {
  try {
    return Store::load_untouched(dir + "/" + std::string(kStoreFile));
  } catch (const StoreError& e) {
    throw UsageError(e.what());
  }
}

std::size_t stored_runs(const StoreContents& contents) {
  std::set<std::size_t> planned;
  for (const StoredRun& r : contents.runs) {
    planned.insert(r.planned);
  }
  return planned.size();
}

// Whether another kernelscope holds the folder now (measuring or rendering in it).
bool folder_busy(const std::string& dir) {
  try {
    const FolderLock lock(dir);
    return false;
  } catch (const FolderBusy&) {
    return true;
  } catch (const std::runtime_error&) {
    return false;  // a folder we may not write: nobody measures there through a lock either
  }
}

}  // namespace

std::vector<std::string> local_resume_words(const std::string& dir, const StoreContents& contents,
                                            const std::string& bin_dir) {
  const std::vector<std::string>& command = contents.command;
  // The programs are this kernelscope's, never a folder the store names: the store is data,
  // and a command read from it must not choose what runs.
  std::vector<std::string> words = {"kernelscope", "--bin", bin_dir};
  bool subcommand = false;
  bool out = false;
  for (std::size_t i = 1; i < command.size(); ++i) {
    const std::string& word = command[i];
    if (word == "--force" || word == "--resume" || word == "--dry-run") {
      continue;  // resuming never deletes, and it runs
    }
    if (word == "--bin" && i + 1 < command.size()) {
      ++i;
      continue;
    }
    if (word.starts_with("--bin=")) {
      continue;
    }
    subcommand = subcommand || word == contents.kind;
    if (word == "--out" && i + 1 < command.size()) {
      // The folder as named here: the store's command may have named it from another folder.
      words.insert(words.end(), {"--out", dir});
      out = true;
      ++i;
      continue;
    }
    if (word.starts_with("--out=")) {
      words.insert(words.end(), {"--out", dir});
      out = true;
      continue;
    }
    words.push_back(word);
  }
  if (!subcommand ||
      (contents.kind != "sweep" && contents.kind != "tour" && contents.kind != "map")) {
    throw UsageError(
        fmt::format("{}: its store's command is not a sweep, tour or map to resume", dir));
  }
  if (!out) {
    words.insert(words.end(), {"--out", dir});
  }
  words.emplace_back("--resume");
  return words;
}

int local_status(const std::string& dir) {
  const StoreContents contents = stored(dir);
  const std::size_t planned = contents.plan.runs.size();
  const std::size_t done = stored_runs(contents);
  std::printf("%s: a %s on %s, made by: %s\n", terminal_text(dir).c_str(), contents.kind.c_str(),
              terminal_text(contents.host).c_str(),
              terminal_text(command_text(contents.command)).c_str());
  std::printf("%zu of %zu planned runs stored (%zu configuration%s)\n", done, planned,
              contents.plan.configs.size(), contents.plan.configs.size() == 1 ? "" : "s");
  if (folder_busy(dir)) {
    std::printf("a kernelscope is at work in it now\n");
  } else if (done < planned && contents.kind != "map") {
    std::printf("the rest runs with: kernelscope resume %s\n", shell_word(dir).c_str());
  } else {
    std::printf("the page to open: %s/report.html\n", terminal_text(dir).c_str());
  }
  return 0;
}

int local_resume(const std::string& dir, const std::string& bin_dir) {
  const StoreContents contents = stored(dir);
  if (stored_runs(contents) >= contents.plan.runs.size()) {
    std::printf(
        "%s holds every planned run: nothing to resume (kernelscope report %s renders "
        "its files again)\n",
        terminal_text(dir).c_str(), shell_word(dir).c_str());
    return 0;
  }
  const std::vector<std::string> words = local_resume_words(dir, contents, bin_dir);
  std::printf("resuming: %s\n", terminal_text(command_text(words)).c_str());
  std::fflush(stdout);
  // The same kernelscope, with the words as arguments: no shell reads them.
  std::vector<char*> argv;
  for (const std::string& w : words) {
    argv.push_back(const_cast<char*>(w.c_str()));
  }
  argv.push_back(nullptr);
  ::execv("/proc/self/exe", argv.data());
  throw std::runtime_error(fmt::format("cannot run kernelscope again: {}", std::strerror(errno)));
}

}  // namespace ks::driver
