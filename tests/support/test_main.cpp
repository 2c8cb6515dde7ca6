// The main of every test program: the tests run with a temporary folder of their own, made in
// $TMPDIR (or /tmp) and named to them and the programs they start through TMPDIR and
// TEST_TMPDIR (GoogleTest's TempDir()), and removed with everything in it when they end,
// passed or failed. A program that dies of a signal leaves it behind, for the guard of the
// test suite to name.
#include <gtest/gtest.h>
#include <stdlib.h>

#include <cstdio>
#include <filesystem>
#include <string>

int main(int argc, char** argv) {
  const char* tmp = std::getenv("TMPDIR");
  std::string templ =
      std::string(tmp != nullptr && tmp[0] == '/' ? tmp : "/tmp") + "/kernelscope-test-XXXXXX";
  if (mkdtemp(templ.data()) == nullptr) {
    std::perror("cannot make the tests' temporary folder");
    return 1;
  }
  setenv("TMPDIR", templ.c_str(), 1);
  setenv("TEST_TMPDIR", templ.c_str(), 1);
  testing::InitGoogleTest(&argc, argv);
  const int status = RUN_ALL_TESTS();
  std::error_code ec;
  std::filesystem::remove_all(templ, ec);
  if (ec) {
    std::fprintf(stderr, "cannot remove %s: %s\n", templ.c_str(), ec.message().c_str());
    return 1;
  }
  return status;
}
