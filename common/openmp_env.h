// The two OpenMP variables the programs rely on, checked before the runtime reads them, so that
// a malformed value behaves the same under every runtime (openmp_env.cpp does the checking).
//
// OMP_NUM_THREADS must be a comma-separated list of positive decimal integers, each fitting an
// int; blanks and tabs may surround each number. Anything else ("abc", "-3", "0", "2,x", "3,",
// "+2", an empty value, a number beyond 2147483647) is ignored with one warning line, and the
// runtime's default team applies. A valid value reaches the runtime untouched.
//
// OMP_SCHEDULE "[modifier:]kind,chunk" with an integer chunk below 1 ("dynamic,-1") loses its
// chunk: the kind (and its modifier) is kept with the kind's default chunk, with one warning
// line. Every other value reaches the runtime untouched.
#pragma once

#include <climits>
#include <cstddef>
#include <string_view>

namespace ks::openmp_env {

constexpr bool is_blank(char c) {
  return c == ' ' || c == '\t';
}
constexpr bool is_digit(char c) {
  return c >= '0' && c <= '9';
}

constexpr std::string_view trim_blanks(std::string_view s) {
  while (!s.empty() && is_blank(s.front())) {
    s.remove_prefix(1);
  }
  while (!s.empty() && is_blank(s.back())) {
    s.remove_suffix(1);
  }
  return s;
}

// True when `value` has the form of OMP_NUM_THREADS described above.
constexpr bool team_list_is_valid(std::string_view value) {
  for (;;) {
    const std::size_t comma = value.find(',');
    const std::string_view item = trim_blanks(value.substr(0, comma));
    if (item.empty()) {
      return false;
    }
    long long number = 0;
    for (const char c : item) {
      if (!is_digit(c)) {
        return false;
      }
      number = number * 10 + (c - '0');
      if (number > INT_MAX) {
        return false;
      }
    }
    if (number < 1) {
      return false;
    }
    if (comma == std::string_view::npos) {
      return true;
    }
    value.remove_prefix(comma + 1);
  }
}

// ASCII lower case, for the schedule kinds, which both runtimes read without regard to case.
constexpr bool equals_lower(std::string_view text, std::string_view lower) {
  if (text.size() != lower.size()) {
    return false;
  }
  for (std::size_t i = 0; i < text.size(); ++i) {
    const char c = text[i] >= 'A' && text[i] <= 'Z' ? static_cast<char>(text[i] + 32) : text[i];
    if (c != lower[i]) {
      return false;
    }
  }
  return true;
}

// For an OMP_SCHEDULE value "[modifier:]kind,chunk" whose chunk is an integer below 1, the
// length of the value to keep: the modifier and the kind, without the blanks before the comma.
// 0 when the value is to be left as it is (no chunk, a chunk of 1 or more, a chunk that is not
// an integer, or a kind that is not one of static, dynamic, guided, auto).
constexpr std::size_t schedule_kept_length(std::string_view value) {
  const std::size_t comma = value.find(',');
  if (comma == std::string_view::npos) {
    return 0;
  }
  std::string_view kind = trim_blanks(value.substr(0, comma));
  const std::size_t colon = kind.find(':');
  if (colon != std::string_view::npos) {
    const std::string_view modifier = trim_blanks(kind.substr(0, colon));
    if (!equals_lower(modifier, "monotonic") && !equals_lower(modifier, "nonmonotonic")) {
      return 0;
    }
    kind = trim_blanks(kind.substr(colon + 1));
  }
  if (!equals_lower(kind, "static") && !equals_lower(kind, "dynamic") &&
      !equals_lower(kind, "guided") && !equals_lower(kind, "auto")) {
    return 0;
  }
  std::string_view chunk = trim_blanks(value.substr(comma + 1));
  const bool negative = !chunk.empty() && chunk.front() == '-';
  if (!chunk.empty() && (chunk.front() == '-' || chunk.front() == '+')) {
    chunk.remove_prefix(1);
  }
  if (chunk.empty()) {
    return 0;
  }
  bool zero = true;
  for (const char c : chunk) {
    if (!is_digit(c)) {
      return 0;
    }
    zero = zero && c == '0';
  }
  if (!negative && !zero) {
    return 0;
  }
  std::size_t kept = comma;
  while (is_blank(value[kept - 1])) {
    --kept;  // stops at the kind, which is not blank
  }
  return kept;
}

}  // namespace ks::openmp_env
