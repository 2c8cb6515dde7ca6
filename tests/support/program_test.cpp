#include "tests/support/program_test.h"

#include "textmatch/output_match.h"

namespace ks::test {

std::string program_path(const std::string& name) {
  return std::string(KS_BIN_DIR) + "/" + name;
}

RunResult run(const std::string& name, const std::vector<std::string>& args, int threads,
              RunOptions options) {
  options.args = args;
  if (threads > 0) {
    options.env["OMP_NUM_THREADS"] = std::to_string(threads);
  }
  if (options.timeout_seconds == 0) {
    options.timeout_seconds = kRunTimeout;
  }
  return run_program(program_path(name), options);
}

::testing::AssertionResult ExitedWith(const RunResult& r, int status) {
  if (r.started && r.exited && !r.timed_out && r.exit_status == status) {
    return ::testing::AssertionSuccess();
  }
  return ::testing::AssertionFailure()
         << "expected exit " << status << ", got " << r.describe() << "\n--- stderr ---\n"
         << r.err << "\n--- stdout ---\n"
         << r.out.substr(0, 2000);
}

::testing::AssertionResult WarnedOnceAbout(const RunResult& r, const std::string& variable) {
  const std::vector<std::string> err_lines = lines(r.err);
  if (err_lines.size() == 1 && r.err.back() == '\n' &&
      err_lines[0].find(variable + "=") != std::string::npos) {
    return ::testing::AssertionSuccess();
  }
  return ::testing::AssertionFailure()
         << "expected one line about " << variable << " on standard error, got:\n"
         << r.err;
}

::testing::AssertionResult MatchesPrintf(const std::string& actual, const std::string& templ) {
  const MatchResult m = match_template(actual, templ);
  if (m.ok) {
    return ::testing::AssertionSuccess();
  }
  return ::testing::AssertionFailure() << m.why << "\n--- whole output ---\n" << actual;
}

double printed_time(const std::string& actual, const std::string& templ) {
  const MatchResult m = match_template(actual, templ);
  return m.ok && m.first_double ? *m.first_double : -1.0;
}

std::vector<std::string> lines(const std::string& text) {
  std::vector<std::string> result;
  std::size_t start = 0;
  while (start < text.size()) {
    const std::size_t end = text.find('\n', start);
    if (end == std::string::npos) {
      result.push_back(text.substr(start));
      break;
    }
    result.push_back(text.substr(start, end - start));
    start = end + 1;
  }
  return result;
}

}  // namespace ks::test
