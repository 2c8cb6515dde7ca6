#include "driver/app/slurm_options.h"

#include <cstdio>

#include <fmt/format.h>

namespace ks::driver {

void add_slurm_options(CLI::App& app, SlurmOptions& o) {
  app.add_flag("--slurm", o.slurm,
               "submit the runs to Slurm as one job array (the output folder must be shared "
               "by the nodes)")
      ->group("Slurm");
  app.add_option("--partition", o.partition, "Slurm partition (default: the cluster's)")
      ->group("Slurm");
  app.add_option("--nodes", o.nodes, "nodes to use at once")
      ->check(CLI::Range(1, 100000))
      ->group("Slurm");
  app.add_option("--nodelist", o.nodelist, "the nodes to use, a Slurm host list: n[1-4],gpu7")
      ->group("Slurm");
  app.add_option("--time", o.time, "time limit of each task, in Slurm's format (30, 2:00:00)")
      ->group("Slurm");
  app.add_option("--account", o.account, "Slurm account to charge")->group("Slurm");
  app.add_option("--sbatch-arg", o.sbatch_args,
                 "any other sbatch option, one word each: --sbatch-arg=--qos=long (repeatable)")
      ->allow_extra_args(false)
      ->group("Slurm");
  app.add_flag("--per-node", o.per_node,
               "every node runs the whole plan, to compare the nodes (default: the plan is "
               "shared out over them)")
      ->group("Slurm");
  app.add_flag("--no-wait", o.no_wait,
               "return once the job is submitted (kernelscope status DIR follows it)")
      ->group("Slurm");
}

void check_slurm_options(const CLI::App& app, const SlurmOptions& o) {
  if (o.slurm) {
    return;
  }
  for (const char* name : {"--partition", "--nodes", "--nodelist", "--time", "--account",
                           "--sbatch-arg", "--per-node", "--no-wait"}) {
    if (app.count(name) > 0) {
      error_line(fmt::format("{} does nothing without --slurm", name));
    }
  }
}

ClusterOutput cluster_output() {
  return {.on_output =
              [](const std::string& text) {
                std::fputs(text.c_str(), stdout);
                std::fflush(stdout);
              },
          .on_error = error_line,
          .on_tour = [](const ResultSet& results) { print_tour(results); }};
}

int run_on_slurm(const Plan& plan, const Common& common, const SlurmOptions& slurm,
                 ClusterStart start) {
  start.bin_dir = common.bin_dir;
  start.timeout_seconds = common.timeout;
  start.command = common.command;
  return run_on_cluster(plan, slurm, start, cluster_output());
}

}  // namespace ks::driver
