// The probe's explicitly vectorised code: the compute kernels (scalar and vector) and the
// bandwidth kernels at the widest vector width, one copy per instruction set.
//
// Each kernel is written once as a template over its vector type and compiled for an
// instruction set by a small entry function that carries the target attribute and inlines
// everything it calls (flatten), so the template's vector operations become instructions of
// that set. The entry to run is chosen at run time from what the CPU supports
// (__builtin_cpu_supports). The rest of the suite keeps its own flags; the fused multiply-add
// here is explicit (an intrinsic), never a contraction.
#pragma once

#include <immintrin.h>
#include <omp.h>

#include <cstdint>
#include <cstring>
#include <type_traits>

#include "probe/probe.h"

namespace probe {

typedef double f64x2 __attribute__((vector_size(16)));
typedef double f64x4 __attribute__((vector_size(32)));
typedef double f64x8 __attribute__((vector_size(64)));
typedef std::uint32_t u32x4 __attribute__((vector_size(16)));
typedef std::uint32_t u32x8 __attribute__((vector_size(32)));
typedef std::uint32_t u32x16 __attribute__((vector_size(64)));

// Independent accumulators per thread: enough to cover the latency of an add or a fused
// multiply-add on two pipes (4 cycles x 2 = 8 in flight) with room to spare, few enough to
// stay in the 16 registers of the narrower sets.
inline constexpr int kAccumulators = 12;

enum class Op { kFp64Add, kFp64Fma, kInt32Add };

template <class V, class E>
inline constexpr int kLanes = static_cast<int>(sizeof(V) / sizeof(E));

// Every lane of v set to value (taken by reference: wide vectors never cross a function
// boundary by value, whose convention would depend on the instruction set).
template <class V, class E>
inline void splat(V& v, E value) {
  if constexpr (std::is_arithmetic_v<V>) {
    v = value;
  } else {
    v = V{} + value;
  }
}

template <class V, class E>
inline E lane(const V& v, int l) {
  if constexpr (std::is_arithmetic_v<V>) {
    (void)l;
    return v;
  } else {
    return v[l];
  }
}

// a = a * m + d, rounded once.
[[gnu::target("fma")]] inline void fused(double& a, const double& m, const double& d) {
  a = __builtin_fma(a, m, d);
}
[[gnu::target("avx2,fma")]] inline void fused(f64x4& a, const f64x4& m, const f64x4& d) {
  a = reinterpret_cast<f64x4>(_mm256_fmadd_pd(
      reinterpret_cast<__m256d>(a), reinterpret_cast<__m256d>(m), reinterpret_cast<__m256d>(d)));
}
[[gnu::target("avx512f")]] inline void fused(f64x8& a, const f64x8& m, const f64x8& d) {
  a = reinterpret_cast<f64x8>(_mm512_fmadd_pd(
      reinterpret_cast<__m512d>(a), reinterpret_cast<__m512d>(m), reinterpret_cast<__m512d>(d)));
}

// Runs `n` steps of kAccumulators independent chains: lane l of chain j starts at
// j * lanes + l and each step adds d (op kFp64Add, kInt32Add) or computes a * m + d (kFp64Fma).
// in[0] is m and in[1] is d, read through a volatile pointer so that the compiler knows neither.
// The final lanes go to out[j * lanes + l]. A scalar chain is pinned to its register at every
// step, so that the compiler can neither merge the chains into vectors nor replace an integer
// chain by its closed form.
template <Op op, class V, class E>
inline void chains(E* out, const volatile E* in, std::int64_t n) {
  constexpr int L = kLanes<V, E>;
  V m;
  V d;
  splat(m, E(in[0]));
  splat(d, E(in[1]));
  V r[kAccumulators];
#pragma GCC unroll 12
  for (int j = 0; j < kAccumulators; j++) {
    if constexpr (L == 1) {
      r[j] = static_cast<E>(j);
    } else {
#pragma GCC unroll 16
      for (int l = 0; l < L; l++) {
        r[j][l] = static_cast<E>(j * L + l);
      }
    }
  }
  for (std::int64_t i = 0; i < n; i++) {
#pragma GCC unroll 12
    for (int j = 0; j < kAccumulators; j++) {
      if constexpr (op == Op::kFp64Fma) {
        fused(r[j], m, d);
      } else {
        r[j] = r[j] + d;
      }
      if constexpr (std::is_same_v<V, double>) {
        asm("" : "+x"(r[j]));
      } else if constexpr (std::is_same_v<V, std::uint32_t>) {
        asm("" : "+r"(r[j]));
      }
    }
  }
#pragma GCC unroll 12
  for (int j = 0; j < kAccumulators; j++) {
#pragma GCC unroll 16
    for (int l = 0; l < L; l++) {
      out[j * L + l] = lane<V, E>(r[j], l);
    }
  }
}

enum class Stream { kAdd, kCopy, kTriad };

// The bandwidth kernels over whole vectors, as an orphaned worksharing loop (static schedule,
// no wait) over the n / lanes blocks of the arrays: a = b + c, a = b, a = b + s * c. Called by
// every thread of a team; n is a multiple of the lanes.
template <Stream kernel, class V>
inline void stream_blocks(double* a, const double* b, const double* c, double s, std::int64_t n) {
  constexpr std::int64_t L = kLanes<V, double>;
  const std::int64_t blocks = n / L;
  V scale;
  splat(scale, s);
#pragma omp for schedule(static) nowait
  for (std::int64_t j = 0; j < blocks; j++) {
    V x;
    std::memcpy(&x, b + j * L, sizeof x);
    if constexpr (kernel != Stream::kCopy) {
      V y;
      std::memcpy(&y, c + j * L, sizeof y);
      if constexpr (kernel == Stream::kAdd) {
        x = x + y;
      } else {
        x = x + scale * y;
      }
    }
    std::memcpy(a + j * L, &x, sizeof x);
  }
}

using ChainsF64 = void (*)(double*, const volatile double*, std::int64_t);
using ChainsU32 = void (*)(std::uint32_t*, const volatile std::uint32_t*, std::int64_t);
using StreamFn = void (*)(double*, const double*, const double*, double, std::int64_t);

// The entry points, one per kernel and instruction set.
// clang-format off
[[gnu::flatten]] inline void fp64_add_x1(double* o, const volatile double* i, std::int64_t n) { chains<Op::kFp64Add, double>(o, i, n); }
[[gnu::target("fma"), gnu::flatten]] inline void fp64_fma_x1(double* o, const volatile double* i, std::int64_t n) { chains<Op::kFp64Fma, double>(o, i, n); }
[[gnu::flatten]] inline void int32_add_x1(std::uint32_t* o, const volatile std::uint32_t* i, std::int64_t n) { chains<Op::kInt32Add, std::uint32_t>(o, i, n); }

[[gnu::flatten]] inline void fp64_add_sse2(double* o, const volatile double* i, std::int64_t n) { chains<Op::kFp64Add, f64x2>(o, i, n); }
[[gnu::flatten]] inline void int32_add_sse2(std::uint32_t* o, const volatile std::uint32_t* i, std::int64_t n) { chains<Op::kInt32Add, u32x4>(o, i, n); }
[[gnu::flatten]] inline void add_sse2(double* a, const double* b, const double* c, double s, std::int64_t n) { stream_blocks<Stream::kAdd, f64x2>(a, b, c, s, n); }
[[gnu::flatten]] inline void copy_sse2(double* a, const double* b, const double* c, double s, std::int64_t n) { stream_blocks<Stream::kCopy, f64x2>(a, b, c, s, n); }
[[gnu::flatten]] inline void triad_sse2(double* a, const double* b, const double* c, double s, std::int64_t n) { stream_blocks<Stream::kTriad, f64x2>(a, b, c, s, n); }

[[gnu::target("avx2,fma"), gnu::flatten]] inline void fp64_add_avx2(double* o, const volatile double* i, std::int64_t n) { chains<Op::kFp64Add, f64x4>(o, i, n); }
[[gnu::target("avx2,fma"), gnu::flatten]] inline void fp64_fma_avx2(double* o, const volatile double* i, std::int64_t n) { chains<Op::kFp64Fma, f64x4>(o, i, n); }
[[gnu::target("avx2,fma"), gnu::flatten]] inline void int32_add_avx2(std::uint32_t* o, const volatile std::uint32_t* i, std::int64_t n) { chains<Op::kInt32Add, u32x8>(o, i, n); }
[[gnu::target("avx2,fma"), gnu::flatten]] inline void add_avx2(double* a, const double* b, const double* c, double s, std::int64_t n) { stream_blocks<Stream::kAdd, f64x4>(a, b, c, s, n); }
[[gnu::target("avx2,fma"), gnu::flatten]] inline void copy_avx2(double* a, const double* b, const double* c, double s, std::int64_t n) { stream_blocks<Stream::kCopy, f64x4>(a, b, c, s, n); }
[[gnu::target("avx2,fma"), gnu::flatten]] inline void triad_avx2(double* a, const double* b, const double* c, double s, std::int64_t n) { stream_blocks<Stream::kTriad, f64x4>(a, b, c, s, n); }

[[gnu::target("avx512f"), gnu::flatten]] inline void fp64_add_avx512(double* o, const volatile double* i, std::int64_t n) { chains<Op::kFp64Add, f64x8>(o, i, n); }
[[gnu::target("avx512f"), gnu::flatten]] inline void fp64_fma_avx512(double* o, const volatile double* i, std::int64_t n) { chains<Op::kFp64Fma, f64x8>(o, i, n); }
[[gnu::target("avx512f"), gnu::flatten]] inline void int32_add_avx512(std::uint32_t* o, const volatile std::uint32_t* i, std::int64_t n) { chains<Op::kInt32Add, u32x16>(o, i, n); }
[[gnu::target("avx512f"), gnu::flatten]] inline void add_avx512(double* a, const double* b, const double* c, double s, std::int64_t n) { stream_blocks<Stream::kAdd, f64x8>(a, b, c, s, n); }
[[gnu::target("avx512f"), gnu::flatten]] inline void copy_avx512(double* a, const double* b, const double* c, double s, std::int64_t n) { stream_blocks<Stream::kCopy, f64x8>(a, b, c, s, n); }
[[gnu::target("avx512f"), gnu::flatten]] inline void triad_avx512(double* a, const double* b, const double* c, double s, std::int64_t n) { stream_blocks<Stream::kTriad, f64x8>(a, b, c, s, n); }
// clang-format on

// The code of one instruction set.
struct VectorCode {
  const char* isa;  // "sse2", "avx2", "avx512f"
  int bits;         // vector width
  ChainsF64 fp64_add;
  ChainsF64 fp64_fma;  // null when the set has no fused multiply-add
  ChainsU32 int32_add;
  StreamFn stream[3];  // add, copy, triad
};

inline const VectorCode& vector_code(Isa isa) {
  static const VectorCode kSse2{
      "sse2", 128, fp64_add_sse2, nullptr, int32_add_sse2, {add_sse2, copy_sse2, triad_sse2}};
  static const VectorCode kAvx2{
      "avx2", 256, fp64_add_avx2, fp64_fma_avx2, int32_add_avx2, {add_avx2, copy_avx2, triad_avx2}};
  static const VectorCode kAvx512{"avx512f",        512,
                                  fp64_add_avx512,  fp64_fma_avx512,
                                  int32_add_avx512, {add_avx512, copy_avx512, triad_avx512}};
  switch (isa) {
    case Isa::kAvx512:
      return kAvx512;
    case Isa::kAvx2:
      return kAvx2;
    case Isa::kSse2:
      break;
  }
  return kSse2;
}

// The widest set this CPU (and its operating system) supports: AVX-512F; AVX2 with FMA; SSE2,
// which every x86-64 has.
inline Isa widest_isa() {
  __builtin_cpu_init();
  if (__builtin_cpu_supports("avx512f")) {
    return Isa::kAvx512;
  }
  if (__builtin_cpu_supports("avx2") && __builtin_cpu_supports("fma")) {
    return Isa::kAvx2;
  }
  return Isa::kSse2;
}

inline bool has_scalar_fma() {
  __builtin_cpu_init();
  return __builtin_cpu_supports("fma");
}

}  // namespace probe
