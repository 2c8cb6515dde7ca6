// Slurm's complaints, classified and worded as one line.
#include "driver/slurm/slurm.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

namespace {

using ks::driver::SlurmErrorKind;

TEST(SlurmErrors, ClassifiedIntoOneClearLine) {
  struct Case {
    std::string command;
    std::string err;
    bool timed_out;
    SlurmErrorKind kind;
    std::string words;  // part of the message
  };
  const std::vector<Case> cases = {
      {"sbatch",
       "sbatch: error: Batch job submission failed: Unable to contact slurm controller (connect "
       "failure)\n",
       false, SlurmErrorKind::kNoController, "gave up after 9 s"},
      {"scontrol", "", true, SlurmErrorKind::kNoController, "within 12 s"},
      {"sbatch",
       "sbatch: error: resolve_ctls_from_dns_srv: res_nsearch error: Unknown host\nsbatch: error: "
       "fetch_config: DNS SRV lookup failed\nsbatch: error: _establish_config_source: failed to "
       "fetch config\nsbatch: fatal: Could not establish a configuration source\n",
       false, SlurmErrorKind::kNoConfig, "SLURM_CONF"},
      {"sbatch",
       "sbatch: error: invalid partition specified: nope\nsbatch: error: Batch job submission "
       "failed: Invalid partition name specified\n",
       false, SlurmErrorKind::kUnknownPartition, "unknown partition \"nope\""},
      {"sbatch", "allocation failure: Node count specification invalid\n", false,
       SlurmErrorKind::kTooManyNodes, "larger than the partition's nodes"},
      {"sbatch", "allocation failure: Requested node configuration is not available\n", false,
       SlurmErrorKind::kTooManyNodes, "Requested node configuration is not available"},
      {"sbatch",
       "sbatch: error: Batch job submission failed: More processors requested than "
       "permitted\n",
       false, SlurmErrorKind::kTooManyNodes, "More processors requested than permitted"},
      {"sbatch", "sbatch: error: Batch job submission failed: Invalid node name specified\n", false,
       SlurmErrorKind::kUnknownNode, "does not exist"},
      {"sbatch",
       "sbatch: error: Batch job submission failed: Invalid account or account/partition "
       "combination specified\n",
       false, SlurmErrorKind::kBadAccount, "Invalid account"},
      {"sbatch",
       "sbatch: error: Batch job submission failed: Requested time limit is invalid (missing or "
       "exceeds some limit)\n",
       false, SlurmErrorKind::kBadTime, "Requested time limit is invalid"},
      {"scontrol", "slurm_load_jobs error: Invalid job id specified\n", false,
       SlurmErrorKind::kUnknownJob, "not known"},
      {"sbatch", "sbatch: error: Batch job submission failed: Invalid job array specification\n",
       false, SlurmErrorKind::kRefused, "sbatch: Invalid job array specification"},
      {"scancel", "", false, SlurmErrorKind::kRefused, "failed without a message"},
      // A value Slurm echoes back stays on one line.
      {"sbatch",
       "sbatch: error: invalid partition specified: a\rb\x1b\nsbatch: error: Batch job submission "
       "failed: Invalid partition name specified\n",
       false, SlurmErrorKind::kUnknownPartition, "unknown partition \"a\\rb\\x1b\""},
      {"sbatch", "sbatch: error: odd\rthing\there\n", false, SlurmErrorKind::kRefused,
       "sbatch: odd\\rthing\\there"},
  };
  for (const Case& c : cases) {
    const auto e = ks::driver::classify_error(c.command, c.err, c.timed_out, c.timed_out ? 12 : 9);
    EXPECT_EQ(e.kind, c.kind) << c.err;
    EXPECT_NE(e.message.find(c.words), std::string::npos) << e.message;
    EXPECT_EQ(e.message.find_first_of("\n\r\t\x1b"), std::string::npos) << e.message;
    EXPECT_EQ(e.message.rfind(c.command + ": ", 0), 0u) << e.message;
  }
}

}  // namespace
