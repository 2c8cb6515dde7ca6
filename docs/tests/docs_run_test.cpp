// Every example command of the documentation, run at a small scale against this build: each
// Markdown file's examples in a working folder of their own, in the order of the file, each
// command checked for the status the documentation gives it. The examples that cannot run in a
// test are counted, with their reasons, and the programs and presets they name must exist.
// And the driver's reference names every subcommand and option the driver's help lists.
#include <gtest/gtest.h>
#include <stdlib.h>
#include <sys/stat.h>
#include <unistd.h>

#include <filesystem>
#include <fstream>
#include <map>
#include <set>
#include <sstream>
#include <string>
#include <vector>

#include "docs/tests/doc_examples.h"
#include "spawn/spawn.h"

namespace {

namespace fs = std::filesystem;

const std::string kSource = KS_SOURCE_DIR;
const std::string kBuild = KS_BUILD_DIR;
const std::string kBin = KS_BUILD_DIR "/bin";

std::string slurp(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  return std::string((std::istreambuf_iterator<char>(in)), {});
}

std::vector<std::string> split(const std::string& text, char sep) {
  std::vector<std::string> out;
  std::stringstream in(text);
  for (std::string item; std::getline(in, item, sep);) {
    if (!item.empty()) {
      out.push_back(item);
    }
  }
  return out;
}

std::vector<std::string> doc_files() {
  return split(KS_DOC_FILES, ':');
}

// A word for a POSIX shell: single-quoted.
std::string quoted(const std::string& s) {
  std::string out = "'";
  for (char c : s) {
    out += c == '\'' ? std::string("'\\''") : std::string(1, c);
  }
  return out + "'";
}

std::string search_path() {
  const char* path = std::getenv("PATH");
  return kBin + ":" + (path != nullptr ? path : "/usr/bin:/bin");
}

// The environment of the examples: this build's programs first on PATH, the ceilings' cache in
// the test's folder, nothing of the caller's kernelscope or Slurm settings.
ks::RunOptions example_options(const std::string& root, double timeout) {
  ks::RunOptions options;
  options.env["PATH"] = search_path();
  options.env["XDG_CACHE_HOME"] = root + "/cache";
  for (const char* name : {"KERNELSCOPE_CEILINGS", "KERNELSCOPE_BIN", "KERNELSCOPE_LOADAVG_FILE",
                           "SLURM_CONF", "COLUMNS"}) {
    options.env[name] = std::nullopt;
  }
  options.timeout_seconds = timeout;
  return options;
}

ks::RunResult run_script(const std::string& script, const ks::RunOptions& base) {
  ks::RunOptions options = base;
  options.args = {"-c", script};
  return ks::run_program("/bin/sh", options);
}

bool executable(const std::string& path) {
  return access(path.c_str(), X_OK) == 0 && !fs::is_directory(path);
}

// The program of a command found as the shell would find it (a path as it is, else on PATH).
bool found(const std::string& program) {
  if (program.find('/') != std::string::npos) {
    return executable(program);
  }
  for (const std::string& dir : split(search_path(), ':')) {
    if (executable(dir + "/" + program)) {
      return true;
    }
  }
  return false;
}

// The presets of the checkout, as "KIND NAME" (configure, build, test, workflow).
const std::set<std::string>& presets() {
  static const std::set<std::string> all = [] {
    std::set<std::string> names;
    ks::RunOptions options;
    options.timeout_seconds = 60;
    for (const std::string list : {"--list-presets=all", "--workflow --list-presets"}) {
      const ks::RunResult r = run_script(
          "cd " + quoted(kSource) + " && " + quoted(KS_CMAKE_COMMAND) + " " + list, options);
      EXPECT_TRUE(r.ok()) << list << ": " << r.describe() << "\n" << r.err;
      std::string kind;
      // "Available KIND presets:" heads each list; its presets follow as indented "NAME".
      for (const std::string& line : split(r.out, '\n')) {
        const std::string_view l(line);
        const std::size_t indent = l.find_first_not_of(" \t");
        const std::size_t presets_at = l.find(" presets:");
        if (l.starts_with("Available ") && presets_at != std::string_view::npos &&
            presets_at > 10) {
          kind = line.substr(10, presets_at - 10);
        } else if (indent != 0 && indent != std::string_view::npos && l[indent] == '"') {
          const std::size_t close = l.find('"', indent + 1);
          if (close != std::string_view::npos && close > indent + 1) {
            names.insert(kind + " " + line.substr(indent + 1, close - indent - 1));
          }
        }
      }
    }
    return names;
  }();
  return all;
}

// A folder of the test's: removed with everything in it, pass or fail.
struct Folder {
  std::string path;
  explicit Folder(const char* parent) {
    std::string templ = std::string(parent) + "/ks-docs-XXXXXX";
    if (mkdtemp(templ.data()) != nullptr) {
      path = templ;
    }
  }
  ~Folder() {
    std::error_code ec;
    if (!path.empty()) {
      fs::remove_all(path, ec);
    }
  }
};

// Makes a folder the examples can work in, with shared/ in it for the documentation's
// /shared/; its /tmp/ is `tmp`. Every user may search them (a private Slurm cluster's daemons
// need that of every folder above their own).
ks::docs::Place make_place(const std::string& work, const std::string& tmp) {
  for (const std::string& dir : {work, work + "/shared", tmp}) {
    fs::create_directories(dir);
    fs::permissions(dir, fs::perms(0755));
  }
  return {kSource, kBuild, work, tmp};
}

// What a block's run printed for its command `index`, from the markers the script prints.
std::string segment(const std::string& text, std::size_t index) {
  const std::string begin = "@@ks-doc " + std::to_string(index) + "@@\n";
  const std::string end = "@@ks-doc " + std::to_string(index + 1) + "@@\n";
  std::size_t from = text.find(begin);
  if (from == std::string::npos) {
    return "";
  }
  from += begin.size();
  const std::size_t to = text.find(end, from);
  std::string s = text.substr(from, to == std::string::npos ? std::string::npos : to - from);
  if (s.size() > 3000) {
    s = "...\n" + s.substr(s.size() - 3000);
  }
  return s;
}

struct Counts {
  int run = 0;
  int dry_runs = 0;
  std::map<std::string, int> not_run;       // by reason
  std::map<std::string, int> planned_only;  // by reason
  std::map<std::string, int> skipped;       // by the program missing
};

std::string account(const std::string& file, const Counts& c) {
  std::string s = file + ": " + std::to_string(c.run) + " commands run at a small scale, " +
                  std::to_string(c.dry_runs) + " planned at full size (--dry-run)";
  for (const auto& [reason, n] : c.planned_only) {
    s += "; " + std::to_string(n) + " planned only: " + reason;
  }
  for (const auto& [reason, n] : c.not_run) {
    s += "; " + std::to_string(n) + " not run: " + reason;
  }
  for (const auto& [missing, n] : c.skipped) {
    s += "; " + std::to_string(n) + " skipped: " + missing + " is not installed";
  }
  return s;
}

class DocExamples : public ::testing::TestWithParam<std::string> {};

TEST_P(DocExamples, EveryCommandEndsAsTheDocSays) {
  const std::string file = GetParam();
  const std::string text = slurp(kSource + "/" + file);
  ASSERT_FALSE(text.empty()) << kSource << "/" << file;
  const ks::docs::Document doc = ks::docs::parse_document(text);
  for (const std::string& e : doc.errors) {
    ADD_FAILURE() << file << ":" << e;
  }
  const char* tmpdir = std::getenv("TMPDIR");
  Folder root(tmpdir != nullptr ? tmpdir : "/tmp");
  Folder tmp("/tmp");
  ASSERT_FALSE(root.path.empty());
  ASSERT_FALSE(tmp.path.empty());
  fs::permissions(tmp.path, fs::perms(0755));
  for (const std::string& p : {kSource, kBuild, root.path, tmp.path}) {
    ASSERT_TRUE(ks::docs::plain_path(p)) << "the examples cannot name this folder as it is: " << p;
  }
  // Searchable by every user, the test program's own folder above it included: a private
  // Slurm cluster's daemons reach their sockets through them.
  fs::permissions(root.path, fs::perms(0755));
  fs::permissions(fs::path(root.path).parent_path(), fs::perms(0755));
  const ks::docs::Place place = make_place(root.path + "/work", tmp.path);
  Counts counts;
  int dry_folders = 0;
  for (const ks::docs::Block& block : doc.examples) {
    const std::string where = file + ":" + std::to_string(block.line);
    if (!block.not_run.empty()) {
      // Not run, but what it would start is there, presets included.
      counts.not_run[block.not_run] += static_cast<int>(block.commands.size());
      for (const ks::docs::Command& c : block.commands) {
        const std::string code = ks::docs::with_paths(c.code, place);
        for (const std::string& program : ks::docs::programs_of(code)) {
          EXPECT_TRUE(found(program)) << file << ":" << c.line << ": no program " << program;
        }
        for (const std::string& preset : ks::docs::presets_of(code)) {
          EXPECT_EQ(presets().count(preset), 1u)
              << file << ":" << c.line << ": no " << preset.substr(0, preset.find(' '))
              << " preset " << preset.substr(preset.find(' ') + 1);
        }
      }
      continue;
    }
    std::string missing;
    for (const std::string& program : block.needs) {
      if (missing.empty() && !found(program)) {
        missing = program;
      }
    }
    if (!missing.empty()) {
      counts.skipped[missing] += static_cast<int>(block.commands.size());
      continue;
    }

    // The sweeps and tours as written, planned only, each in an empty folder of its own. In a
    // plan-only block that is all they get.
    std::vector<const ks::docs::Command*> to_run;
    for (const ks::docs::Command& c : block.commands) {
      const std::string dry_work = root.path + "/dry-" + std::to_string(dry_folders);
      const std::string dry = ks::docs::dry_run(
          ks::docs::with_paths(c.code, make_place(dry_work, dry_work + "/tmp")), c.status);
      ++dry_folders;
      if (dry.empty() || block.plan_only.empty()) {
        to_run.push_back(&c);
      } else {
        ++counts.planned_only[block.plan_only];
      }
      if (dry.empty()) {
        continue;
      }
      ++counts.dry_runs;
      const ks::RunResult r = run_script("cd " + quoted(dry_work) + " || exit 99\n" + dry,
                                         example_options(root.path, 60));
      EXPECT_TRUE(r.ok()) << file << ":" << c.line
                          << ": the command as written, planned with --dry-run, " << r.describe()
                          << "\n"
                          << dry << "\n"
                          << r.out << r.err;
    }

    // The block, one shell for all its commands (an export holds for the next ones), each
    // command's status written down after it.
    const std::string statuses = root.path + "/statuses";
    fs::remove(statuses);
    std::string script = "cd " + quoted(place.work) + " || exit 99\n";
    std::vector<std::string> ran;
    for (std::size_t i = 0; i < to_run.size(); ++i) {
      const ks::docs::Command& c = *to_run[i];
      const std::string code =
          ks::docs::small_scale(ks::docs::with_paths(c.code, place), c.status, block.probe);
      ran.push_back(code);
      const std::string marker = "printf '\\n@@ks-doc " + std::to_string(i) + "@@\\n'";
      script += marker + "\n" + marker + " >&2\n" + code + "\nprintf '%s\\n' \"$?\" >> " +
                quoted(statuses) + "\n";
    }
    script += "printf '\\n@@ks-doc " + std::to_string(to_run.size()) + "@@\\n'\n";
    script += "printf '\\n@@ks-doc " + std::to_string(to_run.size()) + "@@\\n' >&2\n";
    const ks::RunResult r = run_script(script, example_options(root.path, block.timeout_seconds));
    const std::vector<std::string> got = split(slurp(statuses), '\n');
    for (std::size_t i = 0; i < to_run.size(); ++i) {
      const ks::docs::Command& c = *to_run[i];
      ++counts.run;
      const std::string shown = c.code == ran[i] ? "" : "\n  run as: " + ran[i];
      if (i >= got.size()) {
        ADD_FAILURE() << file << ":" << c.line << ": " << c.code << shown
                      << "\n  never ended: the block " << r.describe() << "\n"
                      << segment(r.out, i) << segment(r.err, i);
        continue;
      }
      EXPECT_EQ(got[i], std::to_string(c.status))
          << file << ":" << c.line << ": " << c.code << shown << "\n  ended with status " << got[i]
          << ", the documentation says " << c.status << "\n--- standard output\n"
          << segment(r.out, i) << "--- standard error\n"
          << segment(r.err, i);
    }
    if (!block.cleanup.empty()) {
      const ks::RunResult done = run_script(
          "cd " + quoted(place.work) + " || exit 99\n" + ks::docs::with_paths(block.cleanup, place),
          example_options(root.path, 120));
      EXPECT_TRUE(done.ok()) << where << ": the block's clean-up, " << done.describe() << "\n"
                             << done.out << done.err;
    }
  }
  const std::string summary = account(file, counts);
  std::printf("%s\n", summary.c_str());
  RecordProperty("examples", summary);
}

std::string test_name(const ::testing::TestParamInfo<std::string>& info) {
  std::string name;
  for (char c : info.param) {
    name += std::isalnum(static_cast<unsigned char>(c)) ? c : '_';
  }
  return name;
}

INSTANTIATE_TEST_SUITE_P(Docs, DocExamples, ::testing::ValuesIn(doc_files()), test_name);

// The options in a help text: "--name" at the start of a line of its option list.
std::vector<std::string> options_in(const std::string& help) {
  std::vector<std::string> out;
  const auto option_char = [](char c) {
    return (c >= 'a' && c <= 'z') || (c >= '0' && c <= '9') || c == '-';
  };
  for (const std::string& line : split(help, '\n')) {
    // Indented, an optional short form "-x,", then "--" and a lower-case letter.
    std::size_t i = line.find_first_not_of(" \t");
    if (i == 0 || i == std::string::npos)
      continue;
    if (line.size() > i + 2 && line[i] == '-' && line[i + 1] != '-' && line[i + 2] == ',')
      i += 3;
    if (line.compare(i, 2, "--") != 0 || i + 2 >= line.size() || line[i + 2] < 'a' ||
        line[i + 2] > 'z') {
      continue;
    }
    std::size_t end = i + 2;
    while (end < line.size() && option_char(line[end]))
      ++end;
    const std::string name = line.substr(i, end - i);
    if (name != "--help")
      out.push_back(name);
  }
  return out;
}

// Named as a word of its own, in a code span, an example or a table.
bool documented(const std::string& reference, const std::string& word) {
  const auto part_of_name = [](char c) {
    return (c >= 'a' && c <= 'z') || (c >= '0' && c <= '9') || c == '-';
  };
  for (std::size_t at = reference.find(word); at != std::string::npos;
       at = reference.find(word, at + 1)) {
    const std::size_t end = at + word.size();
    if ((at == 0 || !part_of_name(reference[at - 1])) &&
        (end == reference.size() || !part_of_name(reference[end]))) {
      return true;
    }
  }
  return false;
}

TEST(DocDriverReference, NamesEverySubcommandAndOption) {
  const std::string reference =
      slurp(kSource + "/docs/driver.md") + slurp(kSource + "/docs/cluster.md");
  ASSERT_FALSE(reference.empty());
  ks::RunOptions options;
  options.timeout_seconds = 30;
  options.args = {"help"};
  const ks::RunResult top = ks::run_program(kBin + "/kernelscope", options);
  ASSERT_TRUE(top.ok()) << top.describe() << "\n" << top.err;
  const std::size_t subs_at = top.out.find("\nSubcommands:");
  ASSERT_NE(subs_at, std::string::npos) << top.out;
  std::vector<std::string> subcommands;
  for (const std::string& line : split(top.out.substr(subs_at), '\n')) {
    // "  NAME" and a blank: a subcommand's line of the list.
    std::size_t end = 2;
    while (end < line.size() && line[end] >= 'a' && line[end] <= 'z')
      ++end;
    if (line.starts_with("  ") && end > 2 && end < line.size() &&
        std::isspace(static_cast<unsigned char>(line[end]))) {
      subcommands.push_back(line.substr(2, end - 2));
    }
  }
  ASSERT_GE(subcommands.size(), 5u) << top.out;
  for (const std::string& option : options_in(top.out.substr(0, subs_at))) {
    EXPECT_TRUE(documented(reference, option))
        << "docs/driver.md does not name the option " << option;
  }
  for (const std::string& s : subcommands) {
    EXPECT_TRUE(documented(reference, "kernelscope " + s))
        << "docs/driver.md does not name the subcommand " << s;
    options.args = {"help", s};
    const ks::RunResult help = ks::run_program(kBin + "/kernelscope", options);
    ASSERT_TRUE(help.ok()) << s << ": " << help.describe() << "\n" << help.err;
    for (const std::string& option : options_in(help.out)) {
      EXPECT_TRUE(documented(reference, option))
          << "docs/driver.md does not name the option " << option << " of " << s;
    }
  }
}

TEST(DocProbeReference, NamesEveryOption) {
  const std::string reference = slurp(kSource + "/docs/probe.md");
  ks::RunOptions options;
  options.timeout_seconds = 30;
  options.args = {"--help"};
  const ks::RunResult help = ks::run_program(kBin + "/ks-probe", options);
  ASSERT_TRUE(help.ok()) << help.describe() << "\n" << help.err;
  std::vector<std::string> named;
  const std::string usage = help.out + help.err;
  // Each "[--name" of the usage line.
  for (std::size_t at = usage.find("[--"); at != std::string::npos;
       at = usage.find("[--", at + 1)) {
    std::size_t end = at + 3;
    if (end >= usage.size() || usage[end] < 'a' || usage[end] > 'z')
      continue;
    while (end < usage.size() && ((usage[end] >= 'a' && usage[end] <= 'z') ||
                                  (usage[end] >= '0' && usage[end] <= '9') || usage[end] == '-')) {
      ++end;
    }
    named.push_back(usage.substr(at + 1, end - at - 1));
  }
  ASSERT_FALSE(named.empty()) << usage;
  for (const std::string& o : named) {
    EXPECT_TRUE(documented(reference, o)) << "docs/probe.md does not name the option " << o;
  }
}

}  // namespace
