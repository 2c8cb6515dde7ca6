// The Slurm client without a cluster: missing commands, contradictions caught before any
// command runs, and the dry run. The cluster itself is in slurm_cluster_test.cpp.
#include "driver/slurm/slurm.h"

#include <gtest/gtest.h>

#include <string>

#include "driver/tests/slurm/slurm_requests.h"

namespace {

using ks::driver::SlurmErrorKind;
using ks::driver::SlurmRequest;
using ks::driver::testing::basic_request;
using ks::driver::testing::directives;
using ks::driver::testing::has;

TEST(SlurmClient, MissingCommandsAreOneLine) {
  ks::driver::SlurmClient client;
  client.env["PATH"] = "/nonexistent";
  const auto submitted = client.submit(basic_request());
  EXPECT_EQ(submitted.error.kind, SlurmErrorKind::kNotInstalled);
  EXPECT_TRUE(submitted.job_id.empty());
  EXPECT_NE(submitted.error.message.find("not found"), std::string::npos);
  EXPECT_EQ(client.query("5").error.kind, SlurmErrorKind::kNotInstalled);
  EXPECT_EQ(client.cancel("5").kind, SlurmErrorKind::kNotInstalled);

  // A contradiction is reported before any command runs.
  SlurmRequest r = basic_request();
  r.nodes = 2;
  r.nodelist = "n1";
  EXPECT_EQ(client.submit(r).error.kind, SlurmErrorKind::kBadRequest);

  // The dry run of an unpinned array needs no Slurm at all.
  ks::driver::SlurmError error;
  const std::string script = client.dry_run(basic_request(), error);
  EXPECT_FALSE(error) << error.message;
  EXPECT_TRUE(has(directives(script), "--array=0-3"));
}

}  // namespace
