// sweep --slurm and tour --slurm on the command line: the options that ask for a job array,
// and the terminal the cluster's commands print on.
#pragma once

#include <CLI/CLI.hpp>

#include "driver/app/commands.h"
#include "driver/cluster/submit.h"

namespace ks::driver {

// --slurm and the options that go with it.
void add_slurm_options(CLI::App& app, SlurmOptions& slurm);

// A notice for each Slurm option given without --slurm (they do nothing then).
void check_slurm_options(const CLI::App& app, const SlurmOptions& slurm);

// What a command on a Slurm job shows, on the terminal: its output on standard output, flushed
// at once (a job is followed for long after its submission line), its lines on standard error
// as error_line writes them, a tour's results as print_tour does.
ClusterOutput cluster_output();

// run_on_cluster with the programs' folder, the timeout and the command line of `common`, on
// the terminal.
int run_on_slurm(const Plan& plan, const Common& common, const SlurmOptions& slurm,
                 ClusterStart start);

}  // namespace ks::driver
