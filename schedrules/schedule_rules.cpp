#include "schedrules/schedule_rules.h"

#include <algorithm>
#include <cstdint>

namespace ks::sched {

Assignment static_block(long long n, int team) {
  Assignment a(static_cast<std::size_t>(std::max(team, 0)));
  if (team < 1 || n <= 0) {
    return a;
  }
  const auto n32 = static_cast<std::int32_t>(n);
  const std::int32_t q = n32 / team;
  const std::int32_t r = n32 % team;
  for (std::int32_t t = 0; t < team; ++t) {
    const std::int32_t count = t < r ? q + 1 : q;
    const std::int32_t from = t < r ? t * (q + 1) : t * q + r;
    for (std::int32_t i = 0; i < count; ++i) {
      a[static_cast<std::size_t>(t)].push_back(from + i);
    }
  }
  return a;
}

Assignment cyclic_chunks(long long n, long long chunk, int team) {
  Assignment a(static_cast<std::size_t>(std::max(team, 0)));
  if (team < 1 || chunk < 1) {
    return a;
  }
  for (long long k = 0; k * chunk < n; ++k) {
    auto& mine = a[static_cast<std::size_t>(k % team)];
    for (long long i = k * chunk; i < std::min((k + 1) * chunk, n); ++i) {
      mine.push_back(i);
    }
  }
  return a;
}

std::optional<Assignment> fixed_assignment(const Loop& loop, int team) {
  switch (loop.schedule) {
    case Schedule::kBlock:
      return static_block(loop.n, team);
    case Schedule::kCyclic:
      return cyclic_chunks(loop.n, loop.chunk, team);
    case Schedule::kDynamic:
    case Schedule::kGuided:
      break;
  }
  return std::nullopt;
}

}  // namespace ks::sched
