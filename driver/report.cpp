#include "driver/report.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <sys/sysinfo.h>
#include <sys/utsname.h>
#include <unistd.h>

#include <cerrno>
#include <cmath>
#include <cstdio>
#include <cstring>
#include <ctime>
#include <filesystem>
#include <fstream>
#include <sstream>

#include <fmt/format.h>

#include "driver/build_info.h"
#include "driver/lists.h"
#include "spawn/spawn.h"

extern char** environ;

namespace ks::driver {
namespace {

std::string iso_time(double epoch) {
  const auto t = static_cast<std::time_t>(epoch);
  std::tm tm{};
  gmtime_r(&t, &tm);
  char buf[32];
  std::strftime(buf, sizeof buf, "%Y-%m-%dT%H:%M:%SZ", &tm);
  return buf;
}

std::string number(double v, const char* format = "{:.9g}") {
  return std::isnan(v) ? std::string() : fmt::format(fmt::runtime(format), v);
}

std::string read_file(const std::string& path) {
  std::ifstream in(path);
  std::stringstream ss;
  ss << in.rdbuf();
  std::string s = ss.str();
  while (!s.empty() && (s.back() == '\n' || s.back() == ' ')) {
    s.pop_back();
  }
  return s;
}

std::string size_text(const Config& c) {
  return c.size ? std::to_string(*c.size) : std::string();
}

nlohmann::json num(double v) {
  return std::isnan(v) ? nlohmann::json(nullptr) : nlohmann::json(v);
}

}  // namespace

void prepare_output_dir(const std::string& dir) {
  std::error_code ec;
  std::filesystem::create_directories(dir, ec);
  if (ec) {
    throw UsageError(fmt::format("cannot create the output folder {}: {}", dir, ec.message()));
  }
  if (!std::filesystem::is_directory(dir)) {
    throw UsageError(fmt::format("the output folder {} is not a folder", dir));
  }
  const std::string probe = dir + "/.kernelscope-probe-" + std::to_string(getpid());
  const int fd = open(probe.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0644);
  if (fd < 0) {
    throw UsageError(
        fmt::format("cannot write in the output folder {}: {}", dir, std::strerror(errno)));
  }
  close(fd);
  unlink(probe.c_str());
}

void write_file_atomic(const std::string& path, const std::string& content) {
  const std::string tmp = path + ".tmp-" + std::to_string(getpid());
  const int fd = open(tmp.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0644);
  if (fd < 0) {
    throw std::runtime_error(fmt::format("cannot write {}: {}", tmp, std::strerror(errno)));
  }
  std::size_t written = 0;
  while (written < content.size()) {
    const ssize_t n = write(fd, content.data() + written, content.size() - written);
    if (n < 0 && errno == EINTR) {
      continue;
    }
    if (n <= 0) {
      const int e = errno;
      close(fd);
      unlink(tmp.c_str());
      throw std::runtime_error(fmt::format("cannot write {}: {}", path, std::strerror(e)));
    }
    written += static_cast<std::size_t>(n);
  }
  if (close(fd) != 0 || rename(tmp.c_str(), path.c_str()) != 0) {
    const int e = errno;
    unlink(tmp.c_str());
    throw std::runtime_error(fmt::format("cannot write {}: {}", path, std::strerror(e)));
  }
}

std::string csv_field(const std::string& text) {
  if (text.find_first_of(",\"\n\r") == std::string::npos) {
    return text;
  }
  std::string quoted = "\"";
  for (char c : text) {
    quoted += c;
    if (c == '"') {
      quoted += '"';
    }
  }
  return quoted + "\"";
}

std::string runs_csv(const std::vector<Config>& configs, const std::vector<RunRecord>& runs) {
  std::string out =
      "run,round,warmup,program,family,kind,size,effective_size,threads,schedule,chunk,args,"
      "outcome,reason,printed_seconds,wall_seconds,exit_status,signal,started_at\n";
  for (std::size_t i = 0; i < runs.size(); ++i) {
    const RunRecord& r = runs[i];
    const Config& c = configs[r.config];
    std::string args;
    for (const std::string& a : c.spec().args) {
      args += (args.empty() ? "" : " ") + a;
    }
    const auto eff = c.effective_size();
    out += fmt::format(
        "{},{},{},{},{},{},{},{},{},{},{},{},{},{},{},{},{},{},{}\n", i + 1, r.round + 1,
        r.warmup ? 1 : 0, c.program->name, c.program->family,
        c.program->kind == Kind::kBenchmark ? "benchmark" : "demonstration", size_text(c),
        eff ? std::to_string(*eff) : "", c.threads > 0 ? std::to_string(c.threads) : "",
        csv_field(c.schedule), c.chunk ? std::to_string(*c.chunk) : "", csv_field(args),
        outcome_name(r.outcome), csv_field(r.why), number(r.printed_seconds.value_or(NAN)),
        number(r.wall_seconds), r.exit_status, r.signal, iso_time(r.started_at));
  }
  return out;
}

std::string summary_csv(const std::vector<Config>& configs, const std::vector<SummaryRow>& rows) {
  std::string out =
      "program,family,kind,size,effective_size,threads,schedule,chunk,runs,valid,metric,min,"
      "median,mean,max,stddev,gb_per_s,gops_per_s,op_unit,speedup,speedup_vs,noisy\n";
  for (const SummaryRow& row : rows) {
    const Config& c = configs[row.config];
    const auto eff = c.effective_size();
    const bool stats = row.stats.count > 0;
    out += fmt::format(
        "{},{},{},{},{},{},{},{},{},{},{},{},{},{},{},{},{},{},{},{},{},{}\n", c.program->name,
        c.program->family, c.program->kind == Kind::kBenchmark ? "benchmark" : "demonstration",
        size_text(c), eff ? std::to_string(*eff) : "",
        c.threads > 0 ? std::to_string(c.threads) : "", csv_field(c.schedule),
        c.chunk ? std::to_string(*c.chunk) : "", row.runs, row.valid,
        row.printed_time ? "printed_seconds" : "wall_seconds", stats ? number(row.stats.min) : "",
        stats ? number(row.stats.median) : "", stats ? number(row.stats.mean) : "",
        stats ? number(row.stats.max) : "", stats ? number(row.stats.stddev) : "",
        number(row.gb_per_s, "{:.4g}"), number(row.gops_per_s, "{:.4g}"), c.program->op_unit,
        number(row.speedup, "{:.4g}"), csv_field(row.speedup_vs), row.noisy ? 1 : 0);
  }
  return out;
}

std::string human_seconds(double s) {
  if (std::isnan(s)) {
    return "-";
  }
  if (s < 1e-6) {
    return fmt::format("{:.0f} ns", s * 1e9);
  }
  if (s < 1e-3) {
    return fmt::format("{:.3g} us", s * 1e6);
  }
  if (s < 1) {
    return fmt::format("{:.3g} ms", s * 1e3);
  }
  return fmt::format("{:.3g} s", s);
}

namespace {

struct TableRow {
  std::vector<std::string> cells;
};

std::vector<std::vector<std::string>> table_cells(const std::vector<Config>& configs,
                                                  const std::vector<SummaryRow>& rows) {
  std::vector<std::vector<std::string>> table;
  table.push_back({"program", "size", "T", "schedule", "valid", "median", "min", "max", "sd",
                   "GB/s", "Gop/s", "speedup"});
  for (const SummaryRow& row : rows) {
    const Config& c = configs[row.config];
    std::string size = c.size ? size_label(*c.size) : "-";
    if (c.chunk) {
      size += fmt::format(" c{}", *c.chunk);
    }
    const bool stats = row.stats.count > 0;
    table.push_back(
        {std::string(c.program->name), size, c.threads > 0 ? std::to_string(c.threads) : "-",
         c.schedule.empty() ? "-" : c.schedule, fmt::format("{}/{}", row.valid, row.runs),
         stats ? human_seconds(row.stats.median) + (row.printed_time ? "" : " (wall)") +
                     (row.noisy ? " ~" : "")
               : "-",
         stats ? human_seconds(row.stats.min) : "-", stats ? human_seconds(row.stats.max) : "-",
         stats ? human_seconds(row.stats.stddev) : "-",
         std::isnan(row.gb_per_s) ? "-" : fmt::format("{:.3g}", row.gb_per_s),
         std::isnan(row.gops_per_s) ? "-" : fmt::format("{:.3g}", row.gops_per_s),
         std::isnan(row.speedup) ? "-" : fmt::format("{:.2f}", row.speedup)});
  }
  return table;
}

std::size_t display_width(const std::string& s) {
  std::size_t w = 0;
  for (unsigned char c : s) {
    w += (c & 0xC0) != 0x80 ? 1 : 0;
  }
  return w;
}

}  // namespace

std::string summary_markdown(const std::vector<Config>& configs,
                             const std::vector<SummaryRow>& rows) {
  const auto table = table_cells(configs, rows);
  std::string out;
  for (std::size_t r = 0; r < table.size(); ++r) {
    out += "|";
    for (const std::string& cell : table[r]) {
      out += " " + cell + " |";
    }
    out += "\n";
    if (r == 0) {
      out += "|";
      for (std::size_t k = 0; k < table[r].size(); ++k) {
        out += k < 4 ? "---|" : "---:|";
      }
      out += "\n";
    }
  }
  out +=
      "\nTimes are the medians of the valid runs of the time each program prints (its "
      "kernel alone), or of the whole process where marked (wall). Speedup: against the "
      "same program on one thread, else the family's sequential baseline at the same "
      "size. ~ marks a noisy configuration: its slowest run took more than twice the median, "
      "or its standard deviation is above a quarter of the median.\n";
  return out;
}

std::string summary_text(const std::vector<Config>& configs, const std::vector<SummaryRow>& rows) {
  const auto table = table_cells(configs, rows);
  std::vector<std::size_t> widths(table[0].size(), 0);
  for (const auto& row : table) {
    for (std::size_t k = 0; k < row.size(); ++k) {
      widths[k] = std::max(widths[k], display_width(row[k]));
    }
  }
  std::string out;
  for (const auto& row : table) {
    std::string line;
    for (std::size_t k = 0; k < row.size(); ++k) {
      const std::string pad(widths[k] - display_width(row[k]), ' ');
      line += k < 4 ? row[k] + pad : pad + row[k];
      line += k + 1 < row.size() ? "  " : "";
    }
    while (!line.empty() && line.back() == ' ') {
      line.pop_back();
    }
    out += line + "\n";
  }
  return out;
}

nlohmann::json machine_context(const std::string& bin_dir) {
  nlohmann::json ctx;
  // CPU
  std::string model;
  {
    std::ifstream in("/proc/cpuinfo");
    std::string line;
    while (std::getline(in, line)) {
      if (line.rfind("model name", 0) == 0) {
        model = line.substr(line.find(':') + 2);
        break;
      }
    }
  }
  ctx["cpu"]["model"] = model;
  ctx["cpu"]["logical_cpus"] = sysconf(_SC_NPROCESSORS_ONLN);
  ctx["cpu"]["usable_cpus"] = [] {
    cpu_set_t set;
    CPU_ZERO(&set);
    return sched_getaffinity(0, sizeof set, &set) == 0 ? CPU_COUNT(&set) : -1;
  }();
  nlohmann::json caches = nlohmann::json::array();
  for (int i = 0; i < 8; ++i) {
    const std::string base = fmt::format("/sys/devices/system/cpu/cpu0/cache/index{}/", i);
    if (!std::filesystem::exists(base + "level")) {
      break;
    }
    caches.push_back({{"level", read_file(base + "level")},
                      {"type", read_file(base + "type")},
                      {"size", read_file(base + "size")},
                      {"shared_cpus", read_file(base + "shared_cpu_list")}});
  }
  ctx["cpu"]["caches"] = caches;
  const std::string governor = read_file("/sys/devices/system/cpu/cpu0/cpufreq/scaling_governor");
  ctx["cpu"]["scaling_governor"] =
      governor.empty() ? nlohmann::json(nullptr) : nlohmann::json(governor);
  struct sysinfo info {};
  if (sysinfo(&info) == 0) {
    ctx["memory"]["total_bytes"] = static_cast<std::uint64_t>(info.totalram) * info.mem_unit;
    ctx["memory"]["swap_bytes"] = static_cast<std::uint64_t>(info.totalswap) * info.mem_unit;
    ctx["load_average"] = {info.loads[0] / 65536.0, info.loads[1] / 65536.0,
                           info.loads[2] / 65536.0};
  }
  struct utsname u {};
  if (uname(&u) == 0) {
    ctx["kernel"] = fmt::format("{} {} {} {}", u.sysname, u.release, u.version, u.machine);
    ctx["host"] = u.nodename;
  }
  // Build
  ctx["build"]["compiler"] = build_compiler();
  ctx["build"]["type"] = build_type();
  ctx["build"]["bin_dir"] = bin_dir;
  nlohmann::json programs = nlohmann::json::object();
  for (const BuiltProgram& p : built_programs()) {
    programs[std::string(p.name)] = {{"options", p.options}, {"openmp", p.openmp}};
    programs[std::string(p.name)]["openmp_runtime"] =
        p.openmp ? nlohmann::json{{"name", p.openmp_runtime}, {"version", p.openmp_runtime_version}}
                 : nlohmann::json(nullptr);
  }
  ctx["build"]["programs"] = programs;
  // Source revision, asked of git when the source tree is still there.
  ks::RunOptions git;
  git.args = {"-C",         std::string(build_source_dir()), "describe", "--always", "--dirty",
              "--abbrev=12"};
  git.timeout_seconds = 5;
  std::string revision = "unknown";
  for (const char* candidate : {"/usr/bin/git", "/usr/local/bin/git", "/bin/git"}) {
    if (access(candidate, X_OK) == 0) {
      const ks::RunResult r = ks::run_program(candidate, git);
      if (r.ok() && !r.out.empty()) {
        revision = r.out.substr(0, r.out.find('\n'));
      }
      break;
    }
  }
  ctx["source_revision"] = revision;
  // OpenMP: runs get OMP_NUM_THREADS and OMP_SCHEDULE from the driver; the caller's own OpenMP
  // variables (the standard ones and those of GCC's and LLVM's runtimes) are not passed on.
  nlohmann::json dropped = nlohmann::json::object();
  for (char** e = environ; *e != nullptr; ++e) {
    const std::string entry(*e);
    const auto eq = entry.find('=');
    if (ks::is_openmp_variable(entry.substr(0, eq))) {
      dropped[entry.substr(0, eq)] = entry.substr(eq + 1);
    }
  }
  ctx["openmp"]["set_per_run"] = {"OMP_NUM_THREADS", "OMP_SCHEDULE"};
  ctx["openmp"]["caller_environment_not_passed"] = dropped;
  ctx["date"] = iso_time(static_cast<double>(std::time(nullptr)));
  return ctx;
}

nlohmann::json results_json(const std::vector<Config>& configs, const std::vector<RunRecord>& runs,
                            const std::vector<SummaryRow>& rows, const nlohmann::json& context,
                            const std::vector<std::string>& command) {
  nlohmann::json j;
  j["kernelscope"] = {{"command", command}, {"format", 1}};
  j["context"] = context;
  auto config_json = [&](const Config& c) {
    nlohmann::json cj;
    cj["program"] = c.program->name;
    cj["family"] = c.program->family;
    cj["kind"] = c.program->kind == Kind::kBenchmark ? "benchmark" : "demonstration";
    cj["size"] = c.size ? nlohmann::json(*c.size) : nlohmann::json(nullptr);
    const auto eff = c.effective_size();
    cj["effective_size"] = eff ? nlohmann::json(*eff) : nlohmann::json(nullptr);
    cj["threads"] = c.threads > 0 ? nlohmann::json(c.threads) : nlohmann::json(nullptr);
    cj["schedule"] = c.schedule.empty() ? nlohmann::json(nullptr) : nlohmann::json(c.schedule);
    cj["chunk"] = c.chunk ? nlohmann::json(*c.chunk) : nlohmann::json(nullptr);
    cj["args"] = c.spec().args;
    return cj;
  };
  j["runs"] = nlohmann::json::array();
  for (const RunRecord& r : runs) {
    nlohmann::json rj = config_json(configs[r.config]);
    rj["round"] = r.round + 1;
    rj["warmup"] = r.warmup;
    rj["outcome"] = outcome_name(r.outcome);
    rj["reason"] = r.why;
    rj["printed_seconds"] =
        r.printed_seconds ? nlohmann::json(*r.printed_seconds) : nlohmann::json(nullptr);
    rj["wall_seconds"] = num(r.wall_seconds);
    rj["exit_status"] = r.exit_status;
    rj["signal"] = r.signal;
    rj["started_at"] = iso_time(r.started_at);
    j["runs"].push_back(rj);
  }
  j["summary"] = nlohmann::json::array();
  for (const SummaryRow& row : rows) {
    nlohmann::json sj = config_json(configs[row.config]);
    sj["runs"] = row.runs;
    sj["valid"] = row.valid;
    sj["metric"] = row.printed_time ? "printed_seconds" : "wall_seconds";
    if (row.stats.count > 0) {
      sj["min"] = row.stats.min;
      sj["median"] = row.stats.median;
      sj["mean"] = row.stats.mean;
      sj["max"] = row.stats.max;
      sj["stddev"] = row.stats.stddev;
    }
    sj["gb_per_s"] = num(row.gb_per_s);
    sj["gops_per_s"] = num(row.gops_per_s);
    sj["op_unit"] = configs[row.config].program->op_unit;
    sj["speedup"] = num(row.speedup);
    sj["speedup_vs"] = row.speedup_vs;
    sj["noisy"] = row.noisy;
    j["summary"].push_back(sj);
  }
  return j;
}

}  // namespace ks::driver
