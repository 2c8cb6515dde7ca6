#include "driver/catalogue/benchmark_checks.h"

#include <algorithm>

#include <fmt/format.h>

#include "driver/catalogue/checks.h"
#include "textmatch/output_match.h"

namespace ks::driver {

using ks::match_template;
using ks::MatchResult;
using ks::strprintf;
using ks::visible;

namespace {

// A benchmark's run: it ended well, wrote nothing to standard error, and its report is the
// expected one up to the time field.
Check check_report(const ks::RunResult& r, const std::string& templ) {
  if (auto failure = process_failure(r)) {
    return {false, *failure, std::nullopt};
  }
  if (!r.err.empty()) {
    return {false, "unexpected standard error: " + visible(r.err), std::nullopt};
  }
  const MatchResult m = match_template(r.out, templ);
  if (!m.ok) {
    return {false, m.why, std::nullopt};
  }
  return {true, "", m.first_double};
}

// A benchmark given no argument must print its usage message and end with status 255.
Check check_usage(const ks::RunResult& r, std::string_view out, std::string_view err) {
  if (!r.started || r.timed_out || !r.exited || r.exit_status != 255) {
    return {false, "a missing argument must end with status 255, got " + r.describe(),
            std::nullopt};
  }
  if (r.out != out || r.err != err) {
    return {false,
            fmt::format("usage message: expected \"{}\" / \"{}\", got \"{}\" / \"{}\"",
                        visible(out), visible(err), visible(r.out), visible(r.err)),
            std::nullopt};
  }
  return {true, "", std::nullopt};
}

std::string element(double v1, double v2, double v3) {
  return strprintf("(%8.6f+%8.6f=%8.6f)", v1, v2, v3);
}

// mprod-team prints its team size before the report.
enum class TeamLine { kNone, kTeamSize };

Check check_matrix(const RunSpec& spec, const ks::RunResult& r, std::uint32_t n,
                   mprod::TimeLine time_line, TeamLine team_line) {
  if (spec.args.empty()) {
    return check_usage(r, "[ERROR]-Debe insertar tamaño matriz\n", "");
  }
  std::string templ = matrix_report(n, time_line);
  if (team_line == TeamLine::kTeamSize) {
    templ = (spec.threads > 0 ? fmt::format("Nthreads: {}\n", spec.threads)
                              : std::string("Nthreads: {%d}\n")) +
            templ;
  }
  return check_report(r, templ);
}

// Record-array minimum: S1 = 24995000 + 5000k, S2 = 37492500 - 5000k with the records filled
// (a = b = i), S1 = 5000k, S2 = -5000k without; R[k] = min(S1, S2).
std::string record_report(long long r0, long long r39999) {
  return fmt::format(
      "Tiempo (seg): {{%f}}\n\n__________\nResultados:\n\nVector R: \nR[0]={} R[39999]={}\n", r0,
      r39999);
}

}  // namespace

// ---------------------------------------------------------------------------------------
// Vector addition: v1[i] = N·0.1 + i·0.1, v2[i] = N·0.1 - i·0.1, so v3[i] = 2·N·0.1 up to
// rounding; each product rounded on its own.

Check check_vector_static(const RunSpec& spec, const ks::RunResult& r) {
  if (spec.args.empty()) {
    return check_usage(r, "Faltan nº componentes del vector\n", "");
  }
  return check_report(
      r, vector_add_report(std::min(unsigned_arg(spec, 0), kVectorCap), vadd::Wording::kStatic));
}

Check check_vector_heap(const RunSpec& spec, const ks::RunResult& r) {
  if (spec.args.empty()) {
    return check_usage(r, "Faltan numero componentes del vector\n", "");
  }
  return check_report(r, vector_add_report(unsigned_arg(spec, 0), vadd::Wording::kHeap));
}

std::string vector_add_report(std::uint32_t n, vadd::Wording wording) {
  const bool heap = wording == vadd::Wording::kHeap;
  const std::string head =
      heap ? "Tiempo:{%11.9f}\t / Tamanio Vectores:" : "Tiempo(seg.):{%11.9f}\t / Tamaño Vectores:";
  const double a = n * 0.1;
  auto values = [&](std::uint32_t i) {
    const double b = static_cast<std::int32_t>(i) * 0.1;
    const double v1 = a + b;
    const double v2 = a - b;
    return element(v1, v2, v1 + v2);
  };
  std::string out = heap ? fmt::format("Tamanio Vectores:{} (4 B)\n", n) : "";
  if (n < 10) {
    out += head + std::to_string(n) + "\n";
    for (std::uint32_t i = 0; i < n; ++i) {
      out += fmt::format("/ V1[{0}]+V2[{0}]=V3[{0}]{1} /\n", i, values(i));
    }
  } else {
    const auto last = static_cast<std::int32_t>(n - 1);
    out += fmt::format("{}{}\t/ V1[0]+V2[0]=V3[0]{} / / V1[{}]+V2[{}]=V3[{}]{} /\n", head, n,
                       values(0), last, last, last, values(n - 1));
  }
  return out;
}

// ---------------------------------------------------------------------------------------
// Matrix product: B[i][j] = C[i][j] = j + 1, so A[i][j] = (j + 1)·N(N + 1)/2, exact.

Check check_matrix_heap(const RunSpec& spec, const ks::RunResult& r) {
  return check_matrix(spec, r, unsigned_arg(spec, 0), mprod::TimeLine::kSixDecimals,
                      TeamLine::kNone);
}

Check check_matrix_team(const RunSpec& spec, const ks::RunResult& r) {
  return check_matrix(spec, r, unsigned_arg(spec, 0), mprod::TimeLine::kSixDecimals,
                      TeamLine::kTeamSize);
}

Check check_matrix_static(const RunSpec& spec, const ks::RunResult& r) {
  return check_matrix(spec, r, std::min(unsigned_arg(spec, 0), kMatrixCap),
                      mprod::TimeLine::kNineDecimals, TeamLine::kNone);
}

std::string matrix_report(std::uint32_t n, mprod::TimeLine time_line) {
  std::string out = time_line == mprod::TimeLine::kSixDecimals ? "Tiempo (seg): {%f}\n"
                                                               : "Tiempo (seg): {%11.9f}\n";
  out += "\n__________\nResultados:\n\nMatriz B: \n";
  const double sum = static_cast<double>(n) * (static_cast<double>(n) + 1) / 2;
  const auto last = static_cast<std::int32_t>(n - 1);
  if (n > 9) {
    out += strprintf("B[0][0]=%f B[%d][%d]=%f\n", 1.0, last, last, static_cast<double>(n));
    out += "\nMatriz C: \n";
    out += strprintf("C[0][0]=%f C[%d][%d]=%f\n", 1.0, last, last, static_cast<double>(n));
    out += "\nMatriz A=B*C: \n";
    out += strprintf("A[0][0]=%f A[%d][%d]=%f\n", sum, last, last, sum * n);
  } else {
    auto rows = [&](double scale) {
      std::string block;
      for (std::uint32_t i = 0; i < n; ++i) {
        for (std::uint32_t j = 0; j < n; ++j) {
          block += strprintf("%f ", (j + 1) * scale);
        }
        block += "\n";
      }
      return block;
    };
    out += rows(1);
    out += "\nMatriz C: \n" + rows(1);
    out += "\nMatriz A=B*C: \n" + rows(sum);
  }
  return out + "\n";
}

// ---------------------------------------------------------------------------------------
// Scaled update: x[i] = y[i] = i, y = 47x + y, so y[N-1] = 48(N-1), wrapping in 32 bits.

Check check_update(const RunSpec& spec, const ks::RunResult& r) {
  if (spec.args.empty()) {
    return check_usage(r, "", "Falta num\n");
  }
  const std::int32_t n = signed_arg(spec, 0);
  if (n < 1) {
    return {false, fmt::format("size {} is below 1: there is no y[N-1] to check", n), std::nullopt};
  }
  const auto last = static_cast<std::int32_t>(48u * static_cast<std::uint32_t>(n - 1));
  return check_report(r, fmt::format("Tiempo(seg): {{%f}}\ny[0]=0, y[N-1]={} \n", last));
}

// ---------------------------------------------------------------------------------------
// Record-array minimum.

Check check_records_filled(const RunSpec&, const ks::RunResult& r) {
  const long long k = 39999;
  return check_report(r,
                      record_report(24995000, std::min(24995000 + 5000 * k, 37492500 - 5000 * k)));
}

Check check_records_zero(const RunSpec&, const ks::RunResult& r) {
  return check_report(r, record_report(0, -5000LL * 39999));
}

}  // namespace ks::driver
