#include "omp-demos/tests/demo_checks.h"

#include <algorithm>
#include <map>
#include <numeric>
#include <set>

#include "tests/support/program_test.h"

namespace demos::test {

ks::RunResult run_demo(const std::string& name, const std::vector<std::string>& args, int threads,
                       ks::RunOptions options) {
  if (options.timeout_seconds == 0) {
    options.timeout_seconds = kDemoTimeout;
  }
  return ks::test::run(name, args, threads, options);
}

namespace {

long long sum_of(const std::vector<long long>& v) {
  return std::accumulate(v.begin(), v.end(), 0LL);
}

// Thread t's iterations under a static loop's fixed assignment (none beyond the team).
std::vector<long long> owned(const ks::sched::Assignment& a, long long t) {
  return t >= 0 && static_cast<std::size_t>(t) < a.size() ? a[static_cast<std::size_t>(t)]
                                                          : std::vector<long long>{};
}

}  // namespace

::testing::AssertionResult ItemsOf(const std::string& out, const std::vector<std::string>& patterns,
                                   std::vector<ks::Item>& items) {
  ks::ScanResult scan = ks::scan_items(out, patterns);
  items = std::move(scan.items);
  if (!scan.ok) {
    return ::testing::AssertionFailure() << scan.why << "\n--- whole output ---\n" << out;
  }
  return ::testing::AssertionSuccess();
}

int team_size(const ks::RunOptions& options) {
  const ks::RunResult r = run_demo("greet-team", {}, 0, options);
  std::vector<ks::Item> items;
  if (!r.ok() || !ItemsOf(r.out, {"(%d:!Hello!)", "(%d:!world!)"}, items)) {
    return -1;
  }
  return static_cast<int>(std::count_if(items.begin(), items.end(),
                                        [](const ks::Item& it) { return it.pattern == 0; }));
}

void expect_greet_team(const ks::RunResult& r, int T) {
  EXPECT_TRUE(ks::test::ExitedWith(r, 0));
  std::vector<ks::Item> items;
  ASSERT_TRUE(ItemsOf(r.out, {"(%d:!Hello!)", "(%d:!world!)"}, items));
  std::multiset<long long> hello;
  std::multiset<long long> world;
  for (const ks::Item& it : items) {
    if (it.pattern == 0) {
      EXPECT_TRUE(world.empty()) << "a first-region greeting after a second-region one:\n" << r.out;
      hello.insert(it.values[0]);
    } else {
      world.insert(it.values[0]);
    }
  }
  std::multiset<long long> team;
  for (int t = 0; t < T; ++t) {
    team.insert(t);
  }
  EXPECT_EQ(hello, team) << r.out;
  EXPECT_EQ(world, team) << r.out;
}

void expect_iter_owner(const ks::RunResult& r, long long n, int T) {
  EXPECT_TRUE(ks::test::ExitedWith(r, 0));
  std::vector<ks::Item> items;
  ASSERT_TRUE(ItemsOf(r.out, {"thread %d ejecuta la iteración %d del bucle\n"}, items));
  std::map<long long, std::vector<long long>> by_thread;
  for (const ks::Item& it : items) {
    by_thread[it.values[0]].push_back(it.values[1]);
  }
  const ks::sched::Assignment blocks = ks::sched::static_block(n, T);
  for (const auto& [t, iterations] : by_thread) {
    EXPECT_TRUE(t >= 0 && t < T) << "thread " << t << " in a team of " << T;
  }
  for (int t = 0; t < T; ++t) {
    EXPECT_EQ(by_thread[t], owned(blocks, t)) << "thread " << t << " of " << T << ", n = " << n;
  }
}

void expect_inplace_add(const ks::RunResult& r) {
  EXPECT_TRUE(ks::test::ExitedWith(r, 0));
  EXPECT_EQ(r.out,
            "Después de parallel for:\n"
            "a[0] = 1\na[1] = 3\na[2] = 5\na[3] = 7\na[4] = 9\na[5] = 11\na[6] = 13\n");
}

void expect_sharing(const ks::RunResult& r, Sharing program, int T) {
  EXPECT_TRUE(ks::test::ExitedWith(r, 0));
  const std::string outside = program == Sharing::kOwnCopy
                                  ? "Valor de suma fuera de parallel = %d\n"
                                  : "\nValor de suma fuera de parallel = %d\n";
  enum { kIteration, kThread, kOutside };
  std::vector<ks::Item> items;
  ASSERT_TRUE(
      ItemsOf(r.out, {"thread %d suma a[%d] / ", "\n* thread %d suma= %d", outside}, items));
  ASSERT_FALSE(items.empty());
  ASSERT_EQ(items.back().pattern, kOutside) << "the outside line must come last:\n" << r.out;
  const long long outside_value = items.back().values[0];

  std::map<long long, std::vector<long long>> blocks;
  std::map<long long, long long> per_thread;
  bool after_barrier = false;
  for (std::size_t k = 0; k + 1 < items.size(); ++k) {
    const ks::Item& it = items[k];
    ASSERT_NE(it.pattern, kOutside) << "two outside lines:\n" << r.out;
    if (it.pattern == kIteration) {
      EXPECT_FALSE(after_barrier) << "an iteration item after a per-thread item:\n" << r.out;
      blocks[it.values[0]].push_back(it.values[1]);
    } else {
      after_barrier = true;
      EXPECT_EQ(per_thread.count(it.values[0]), 0u) << "thread " << it.values[0] << " twice";
      per_thread[it.values[0]] = it.values[1];
    }
  }
  ASSERT_EQ(per_thread.size(), static_cast<std::size_t>(T)) << r.out;
  for (const auto& [t, block] : blocks) {
    EXPECT_TRUE(t >= 0 && t < T) << "thread " << t << " in a team of " << T;
  }
  const ks::sched::Assignment model = ks::sched::static_block(7, T);
  for (int t = 0; t < T; ++t) {
    SCOPED_TRACE("thread " + std::to_string(t) + " of " + std::to_string(T));
    ASSERT_EQ(per_thread.count(t), 1u);
    EXPECT_EQ(blocks[t], owned(model, t));
    switch (program) {
      case Sharing::kOwnCopy:
      case Sharing::kOwnCopyOuter:
        EXPECT_EQ(per_thread[t], 7 + sum_of(owned(model, t)));
        break;
      case Sharing::kCommonSum:
        EXPECT_EQ(per_thread[t], outside_value);
        break;
    }
  }
  switch (program) {
    case Sharing::kOwnCopy:
      EXPECT_EQ(outside_value, 0);
      break;
    case Sharing::kOwnCopyOuter:
      EXPECT_EQ(outside_value, 122);
      break;
    case Sharing::kCommonSum:
      EXPECT_GE(outside_value, 0);
      EXPECT_LE(outside_value, 21);
      if (T == 1) {
        EXPECT_EQ(outside_value, 21);
      }
      break;
  }
}

void expect_carry(const ks::RunResult& r, const ks::sched::Loop& loop, int T) {
  EXPECT_TRUE(ks::test::ExitedWith(r, 0));
  const bool shows_element =
      loop.schedule == Schedule::kDynamic || loop.schedule == Schedule::kGuided;
  const std::string iteration =
      shows_element ? " thread %d suma a[%d]=%d suma=%d \n" : " thread %d suma a[%d] suma=%d \n";
  const std::string outside = loop.schedule == Schedule::kBlock
                                  ? "\nFuera de la construcción parallel suma=%d\n"
                                  : "Fuera de 'parallel for' suma=%d\n";
  std::vector<ks::Item> items;
  ASSERT_TRUE(ItemsOf(r.out, {iteration, outside}, items));
  ASSERT_FALSE(items.empty());
  ASSERT_EQ(items.back().pattern, 1) << "the outside line must come last:\n" << r.out;
  const long long outside_value = items.back().values[0];
  items.pop_back();

  const long long n = std::max<long long>(loop.n, 0);
  std::vector<int> times_run(static_cast<std::size_t>(n), 0);
  std::vector<long long> owner(static_cast<std::size_t>(n), -1);
  std::map<long long, std::vector<long long>> ran;  // thread -> iterations in its order
  std::map<long long, long long> running;           // thread -> its suma so far
  for (const ks::Item& it : items) {
    ASSERT_EQ(it.pattern, 0) << "two outside lines:\n" << r.out;
    const long long t = it.values[0];
    const long long i = it.values[1];
    const long long suma = it.values.back();
    ASSERT_TRUE(t >= 0 && t < T) << "thread " << t << " in a team of " << T;
    ASSERT_TRUE(i >= 0 && i < n) << "iteration " << i << " outside 0 .. " << n - 1;
    if (shows_element) {
      EXPECT_EQ(it.values[2], i) << "a[" << i << "]";
    }
    EXPECT_EQ(suma, running[t] + i) << "running sum of thread " << t << " at iteration " << i;
    running[t] = suma;
    if (!ran[t].empty()) {
      EXPECT_LT(ran[t].back(), i) << "thread " << t << " went back";
    }
    ran[t].push_back(i);
    ++times_run[static_cast<std::size_t>(i)];
    owner[static_cast<std::size_t>(i)] = t;
  }
  for (long long i = 0; i < n; ++i) {
    EXPECT_EQ(times_run[static_cast<std::size_t>(i)], 1) << "iteration " << i;
  }

  switch (loop.schedule) {
    case Schedule::kBlock:
    case Schedule::kCyclic: {
      const ks::sched::Assignment expected =
          *ks::sched::fixed_assignment({loop.schedule, n, loop.chunk}, T);
      for (int t = 0; t < T; ++t) {
        EXPECT_EQ(ran[t], owned(expected, t)) << "thread " << t << " of " << T;
      }
      break;
    }
    case Schedule::kDynamic:
      // Chunks of exactly `chunk` iterations (the last one shorter), each run whole by one thread.
      for (long long i = 0; i < n; ++i) {
        const long long first = i - i % loop.chunk;
        EXPECT_EQ(owner[static_cast<std::size_t>(i)], owner[static_cast<std::size_t>(first)])
            << "iteration " << i << " split from its chunk starting at " << first;
      }
      break;
    case Schedule::kGuided:
      // Chunks of at least `chunk` iterations but the last: every stretch of consecutive
      // iterations that one thread ran, except the one ending the loop, holds at least that.
      for (const auto& [t, its] : ran) {
        std::size_t start = 0;
        for (std::size_t k = 1; k <= its.size(); ++k) {
          if (k == its.size() || its[k] != its[k - 1] + 1) {
            const auto length = static_cast<long long>(k - start);
            if (its[k - 1] != n - 1) {
              EXPECT_GE(length, loop.chunk) << "thread " << t << " ran a stretch of " << length
                                            << " from iteration " << its[start];
            }
            start = k;
          }
        }
      }
      // The first chunk is sized from all n iterations: n / T in proportion, so at least
      // n / (2T) under any runtime's factor, and at least `chunk`.
      if (n > 0 && owner[0] >= 0) {
        long long first = 0;
        while (first < n && owner[static_cast<std::size_t>(first)] == owner[0]) {
          ++first;
        }
        EXPECT_GE(first, std::min(n, std::max(loop.chunk, n / (2 * T))))
            << "the first chunk is too small for a guided schedule:\n"
            << r.out;
      }
      break;
  }

  // The value written back is the final sum of the thread that ran the last iteration.
  if (n == 0) {
    EXPECT_TRUE(items.empty());
    EXPECT_EQ(outside_value, 0);
  } else if (owner.back() >= 0) {
    EXPECT_EQ(outside_value, running[owner.back()]);
  }
}

namespace {

void check_greet(const ks::RunResult& r, int T) {
  expect_greet_team(r, T);
}
void check_iter_owner(const ks::RunResult& r, int T) {
  expect_iter_owner(r, 10, T);
}
void check_inplace(const ks::RunResult& r, int) {
  expect_inplace_add(r);
}
void check_own_copy(const ks::RunResult& r, int T) {
  expect_sharing(r, Sharing::kOwnCopy, T);
}
void check_own_copy_outer(const ks::RunResult& r, int T) {
  expect_sharing(r, Sharing::kOwnCopyOuter, T);
}
void check_common_sum(const ks::RunResult& r, int T) {
  expect_sharing(r, Sharing::kCommonSum, T);
}
void check_carry_inout(const ks::RunResult& r, int T) {
  expect_carry(r, {Schedule::kBlock, 7, 0}, T);
}
void check_chunk_static(const ks::RunResult& r, int T) {
  expect_carry(r, {Schedule::kCyclic, 16, 3}, T);
}
void check_chunk_static_largest(const ks::RunResult& r, int T) {
  expect_carry(r, {Schedule::kCyclic, 16, 2147483647}, T);
}
void check_chunk_dynamic(const ks::RunResult& r, int T) {
  expect_carry(r, {Schedule::kDynamic, 30, 4}, T);
}
void check_chunk_guided(const ks::RunResult& r, int T) {
  expect_carry(r, {Schedule::kGuided, 20, 2}, T);
}

}  // namespace

const std::vector<DemoCase>& all_demos() {
  static const std::vector<DemoCase> cases = {
      {"greet-team", {}, check_greet},
      {"iter-owner", {"10"}, check_iter_owner},
      {"inplace-add", {}, check_inplace},
      {"own-copy", {}, check_own_copy},
      {"own-copy-outer", {}, check_own_copy_outer},
      {"common-sum", {}, check_common_sum},
      {"carry-inout", {}, check_carry_inout},
      {"chunk-static", {"3"}, check_chunk_static},
      {"chunk-static", {"2147483647"}, check_chunk_static_largest},
      {"chunk-dynamic", {"30", "4"}, check_chunk_dynamic},
      {"chunk-guided", {"20", "2"}, check_chunk_guided},
  };
  return cases;
}

}  // namespace demos::test
