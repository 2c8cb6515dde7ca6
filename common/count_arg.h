// The count argument: a command-line text read as a base-10 integer the way strtol reads it
// (leading blanks, an optional sign, digits up to the first non-digit, no digits gives 0,
// values beyond the range of long saturate), then cut to its low 32 bits. Programs that
// take sizes use the unsigned view, so -1 becomes 4294967295; the others use the signed view.
#pragma once

#include <cstdint>
#include <cstdlib>

namespace ks {

struct CountArg {
  std::uint32_t u;  // low 32 bits as unsigned: sizes of the vector and matrix benchmarks
  std::int32_t s;   // the same bits as signed: iteration counts, chunks, the update's N
};

inline CountArg count_arg(const char* text) {
  const long value = std::strtol(text, nullptr, 10);
  const auto low = static_cast<std::uint32_t>(static_cast<unsigned long>(value));
  return CountArg{low, static_cast<std::int32_t>(low)};
}

}  // namespace ks
