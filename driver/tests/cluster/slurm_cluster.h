// What the tests against the private cluster (scripts/slurm-cluster) share: the cluster and
// its nodes, Slurm's commands, kernelscope run on it, the stores it writes, and bounded waits.
//
// The cluster has three nodes n1, n2, n3, each in a network namespace of its own; the CTest
// tests that use it lock the nodes they touch, so that the slow ones (a time limit running
// out, a node lost) run beside each other. Where network namespaces are not allowed the
// cluster falls back to one node on 127.0.0.1, and the tests that need more say so and skip.
#pragma once

#include <gtest/gtest.h>
#include <sqlite3.h>

#include <chrono>
#include <filesystem>
#include <fstream>
#include <functional>
#include <set>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include <nlohmann/json.hpp>

#include "driver/slurm/slurm.h"
#include "spawn/spawn.h"

namespace ks::driver::cluster_test {

namespace fs = std::filesystem;

inline std::string slurp(const std::string& path) {
  std::ifstream in(path);
  return std::string((std::istreambuf_iterator<char>(in)), {});
}

// The cluster every test uses.
struct Cluster {
  std::string dir;                 // holds cluster/
  bool own = false;                // started by this program, to be stopped by it
  std::vector<std::string> nodes;  // n1, n2, n3; or the one node of a fallback cluster
  bool namespaced = false;         // false: the single-node fallback on 127.0.0.1
  std::string home() const { return dir + "/cluster"; }
  std::string conf() const { return home() + "/slurm.conf"; }
};
Cluster& cluster();

// Skips a test that needs more nodes than the cluster has, saying why.
#define KS_NEED_NODES(count)                                                               \
  if (::ks::driver::cluster_test::cluster().nodes.size() < (count)) {                      \
    GTEST_SKIP() << "needs " << (count) << " nodes: this cluster has "                     \
                 << ::ks::driver::cluster_test::cluster().nodes.size()                     \
                 << " (network namespaces are not allowed here, so it runs on 127.0.0.1)"; \
  }

// scripts/slurm-cluster ACTION DIR ARGS...
ks::RunResult cluster_script(const std::string& action, std::vector<std::string> args = {});

inline SlurmClient client() {
  SlurmClient c;
  c.env["SLURM_CONF"] = cluster().conf();
  return c;
}

// A Slurm command as the tests run it themselves.
inline ks::RunResult slurm(const std::string& command, std::vector<std::string> args) {
  ks::RunOptions options;
  options.args = std::move(args);
  options.timeout_seconds = 30;
  return ks::run_program(client().find(command), options);
}

// Polls `done` every 200 ms until it holds or `seconds` have passed; whether it held.
inline bool poll_until(double seconds, const std::function<bool()>& done) {
  const auto deadline = std::chrono::steady_clock::now() + std::chrono::duration<double>(seconds);
  while (!done()) {
    if (std::chrono::steady_clock::now() >= deadline) {
      return false;
    }
    std::this_thread::sleep_for(std::chrono::milliseconds(200));
  }
  return true;
}

// Job ids the controller still has queued or running under a job name.
inline std::set<std::string> queued_jobs(const std::string& name) {
  const ks::RunResult r = slurm("squeue", {"-h", "-n", name, "-o", "%A"});
  EXPECT_TRUE(r.ok()) << r.err;
  std::set<std::string> ids;
  std::istringstream in(r.out);
  for (std::string id; in >> id;) {
    ids.insert(id);
  }
  return ids;
}

// Cancels a test's jobs when it ends, passed or failed.
struct JobGuard {
  std::vector<std::string> ids;
  ~JobGuard() {
    for (const std::string& id : ids) {
      (void)client().cancel(id);
    }
  }
};

// The state of a node as sinfo prints it ("idle", "down*", ...).
inline std::string node_state(const std::string& node) {
  const ks::RunResult r = slurm("sinfo", {"-h", "-N", "-n", node, "-o", "%T"});
  return r.out.substr(0, r.out.find('\n'));
}

// Sets a node DOWN by hand for the life of the object, then back in service (and waits for
// it to take jobs again).
class NodeDown {
 public:
  explicit NodeDown(std::string node) : node_(std::move(node)) {
    const ks::RunResult r =
        slurm("scontrol", {"update", "NodeName=" + node_, "State=DOWN", "Reason=kernelscope test"});
    EXPECT_TRUE(r.ok()) << r.err;
  }
  ~NodeDown() {
    const ks::RunResult r = slurm("scontrol", {"update", "NodeName=" + node_, "State=RESUME"});
    EXPECT_TRUE(r.ok()) << r.err;
    EXPECT_TRUE(poll_until(30,
                           [&] {
                             return NodeState{node_, node_state(node_)}.available();
                           }))
        << node_ << " is " << node_state(node_);
  }
  NodeDown(const NodeDown&) = delete;
  NodeDown& operator=(const NodeDown&) = delete;

 private:
  std::string node_;
};

// A fresh folder beside the cluster's own (every folder above it is searchable by all).
inline std::string folder(const std::string& name) {
  const std::string dir = cluster().dir + "/sw-" + name;
  fs::remove_all(dir);
  fs::create_directories(dir);
  return dir;
}

// A build of vector additions (copies of a fake that answers correctly for N = 10, after
// $KS_FAKE_SLEEP seconds; or of another fake).
std::string fake_bin(const std::string& name, const std::string& fake = "slow");

// kernelscope with `args`; KS_FAKE_SLEEP is 0 unless the options set it.
ks::RunResult kernelscope(std::vector<std::string> args, ks::RunOptions options = {});

// One number from an SQL query of a store, or -1.
inline long long query(const std::string& db, const std::string& sql) {
  sqlite3* h = nullptr;
  long long value = -1;
  if (sqlite3_open_v2(db.c_str(), &h, SQLITE_OPEN_READONLY, nullptr) == SQLITE_OK) {
    sqlite3_stmt* s = nullptr;
    if (sqlite3_prepare_v2(h, sql.c_str(), -1, &s, nullptr) == SQLITE_OK &&
        sqlite3_step(s) == SQLITE_ROW) {
      value = sqlite3_column_int64(s, 0);
    }
    sqlite3_finalize(s);
  }
  sqlite3_close(h);
  return value;
}

// The rows of a one-column query, as text.
inline std::vector<std::string> query_texts(const std::string& db, const std::string& sql) {
  sqlite3* h = nullptr;
  std::vector<std::string> rows;
  if (sqlite3_open_v2(db.c_str(), &h, SQLITE_OPEN_READONLY, nullptr) == SQLITE_OK) {
    sqlite3_stmt* s = nullptr;
    if (sqlite3_prepare_v2(h, sql.c_str(), -1, &s, nullptr) == SQLITE_OK) {
      while (sqlite3_step(s) == SQLITE_ROW) {
        const unsigned char* text = sqlite3_column_text(s, 0);
        rows.emplace_back(text != nullptr ? reinterpret_cast<const char*>(text) : "");
      }
    }
    sqlite3_finalize(s);
  }
  sqlite3_close(h);
  return rows;
}

// The runs of a store that are not valid, one line each: what they were and why.
inline std::string bad_runs(const std::string& db) {
  std::string out;
  for (const std::string& line : query_texts(
           db,
           "SELECT host || ' run ' || seq || ': ' || outcome || ', ' || reason || ', exit ' || "
           "ifnull(exit_status, '-') || ', signal ' || ifnull(signal, '-') || ', ' || "
           "ifnull(wall_seconds, '-') || ' s' FROM runs WHERE outcome <> 'valid'")) {
    out += line + "\n";
  }
  return out;
}

// Every planned run once per host in `hosts` (exactly those), and every run valid.
inline void expect_whole_plan(const std::string& dir, const std::vector<std::string>& hosts) {
  const std::string db = dir + "/results.db";
  const long long planned = query(db, "SELECT count(*) FROM plan");
  EXPECT_GT(planned, 0);
  EXPECT_EQ(query(db, "SELECT count(*) FROM runs WHERE outcome <> 'valid'"), 0) << bad_runs(db);
  for (const std::string& host : hosts) {
    const std::string where = " FROM runs WHERE host = '" + host + "'";
    EXPECT_EQ(query(db, "SELECT count(*)" + where), planned) << host;
    EXPECT_EQ(query(db, "SELECT count(DISTINCT seq)" + where), planned) << host;
  }
  EXPECT_EQ(query(db, "SELECT count(DISTINCT host) FROM runs"),
            static_cast<long long>(hosts.size()));
}

// Every planned run once, on any host.
inline void expect_plan_once(const std::string& dir) {
  const std::string db = dir + "/results.db";
  const long long planned = query(db, "SELECT count(*) FROM plan");
  EXPECT_GT(planned, 0);
  EXPECT_EQ(query(db, "SELECT count(*) FROM runs"), planned);
  EXPECT_EQ(query(db, "SELECT count(DISTINCT seq) FROM runs"), planned);
  EXPECT_EQ(query(db, "SELECT count(*) FROM runs WHERE outcome <> 'valid'"), 0) << bad_runs(db);
}

inline nlohmann::json job_file(const std::string& dir) {
  std::ifstream in(dir + "/cluster.json");
  return nlohmann::json::parse(in);
}

// `kernelscope status DIR` until its output holds `words` (bounded).
inline ks::RunResult status_until(const std::string& dir, const std::string& words,
                                  double seconds) {
  ks::RunResult status;
  const bool seen = poll_until(seconds, [&] {
    status = kernelscope({"status", dir});
    return status.out.find(words) != std::string::npos &&
           status.out.find("RUNNING") == std::string::npos &&
           status.out.find("PENDING") == std::string::npos;
  });
  EXPECT_TRUE(seen) << "no \"" << words << "\" in " << seconds << " s:\n"
                    << status.out << status.err;
  return status;
}

}  // namespace ks::driver::cluster_test
