// The usage failure of the demonstrations that take arguments: the message, byte for byte
// (its newlines included), to standard error with fwrite, nothing to standard output, and exit
// value -1 (status 255).
#pragma once

#include <cstddef>
#include <cstdio>
#include <cstdlib>

namespace demos {

template <std::size_t N>
[[noreturn]] inline void fail_usage(const char (&message)[N]) {
  fwrite(message, 1, N - 1, stderr);  // N - 1: the literal without its terminating NUL
  exit(-1);
}

}  // namespace demos
