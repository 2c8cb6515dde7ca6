// The benchmarks' output checks: each run's report against the one its closed form gives, up
// to the time field, and the usage path when the argument is missing.
#pragma once

#include <cstdint>
#include <string>

#include "driver/catalogue/run_types.h"
#include "matrix-product/matrix_product.h"
#include "spawn/spawn.h"
#include "vector-add/vector_add.h"

namespace ks::driver {

// The caps of the programs with static storage: the vector capacity and the matrix order.
inline constexpr std::uint32_t kVectorCap = 33554432;
inline constexpr std::uint32_t kMatrixCap = 10000;

Check check_vector_static(const RunSpec& spec, const ks::RunResult& r);  // capped, "Tamaño"
Check check_vector_heap(const RunSpec& spec, const ks::RunResult& r);    // no cap, "Tamanio"
Check check_matrix_heap(const RunSpec& spec, const ks::RunResult& r);
Check check_matrix_team(const RunSpec& spec, const ks::RunResult& r);  // "Nthreads: T" first
Check check_matrix_static(const RunSpec& spec, const ks::RunResult& r);
Check check_update(const RunSpec& spec, const ks::RunResult& r);
Check check_records_filled(const RunSpec& spec, const ks::RunResult& r);
Check check_records_zero(const RunSpec& spec, const ks::RunResult& r);  // records left at zero

// The reports the benchmarks print, from their closed forms, as textmatch templates.
std::string vector_add_report(std::uint32_t n, vadd::Wording wording);
std::string matrix_report(std::uint32_t n, mprod::TimeLine time_line);

}  // namespace ks::driver
