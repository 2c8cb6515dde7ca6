#include "tests/support/program_test.h"

#include <cstdlib>
#include <sstream>

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

namespace {

struct Marker {
  int width = 0;
  int precision = 6;
};

// Parses "{%W.Pf}" at templ[pos]; returns the length of the marker, or 0 if there is none.
std::size_t parse_marker(const std::string& templ, std::size_t pos, Marker& m) {
  if (templ.compare(pos, 2, "{%") != 0) {
    return 0;
  }
  std::size_t i = pos + 2;
  auto number = [&](int& into) {
    bool any = false;
    int v = 0;
    while (i < templ.size() && templ[i] >= '0' && templ[i] <= '9') {
      v = v * 10 + (templ[i++] - '0');
      any = true;
    }
    if (any) {
      into = v;
    }
    return any;
  };
  m = Marker{};
  number(m.width);
  if (i < templ.size() && templ[i] == '.') {
    ++i;
    if (!number(m.precision)) {
      return 0;
    }
  }
  if (templ.compare(i, 2, "f}") != 0) {
    return 0;
  }
  return i + 2 - pos;
}

// Length of a "%W.Pf" rendering of a non-negative double at actual[pos], or 0.
std::size_t match_fixed(const std::string& actual, std::size_t pos, const Marker& m) {
  std::size_t i = pos;
  while (i < actual.size() && actual[i] == ' ') {
    ++i;
  }
  const std::size_t digits_start = i;
  while (i < actual.size() && actual[i] >= '0' && actual[i] <= '9') {
    ++i;
  }
  if (i == digits_start) {
    return 0;
  }
  // Blank padding only when the number is shorter than the width, and then exactly to it.
  if (m.precision > 0) {
    if (i >= actual.size() || actual[i] != '.') {
      return 0;
    }
    ++i;
    for (int d = 0; d < m.precision; ++d, ++i) {
      if (i >= actual.size() || actual[i] < '0' || actual[i] > '9') {
        return 0;
      }
    }
  }
  const std::size_t length = i - pos;
  const std::size_t number_length = i - digits_start;
  if (length < static_cast<std::size_t>(m.width)) {
    return 0;
  }
  if (digits_start != pos && length != static_cast<std::size_t>(m.width)) {
    return 0;
  }
  if (digits_start != pos && number_length >= static_cast<std::size_t>(m.width)) {
    return 0;
  }
  if (i < actual.size() && actual[i] >= '0' && actual[i] <= '9') {
    return 0;  // more decimals than the precision
  }
  return length;
}

std::string excerpt(const std::string& s, std::size_t pos) {
  const std::size_t from = pos < 20 ? 0 : pos - 20;
  std::string e = s.substr(from, 60);
  std::string shown;
  for (char c : e) {
    if (c == '\n') {
      shown += "\\n";
    } else if (c == '\t') {
      shown += "\\t";
    } else {
      shown += c;
    }
  }
  return shown;
}

// Walks template and output together; fills `first_value` with the text of the first marker.
bool walk(const std::string& actual, const std::string& templ, std::string& why,
          std::string* first_value) {
  std::size_t a = 0;
  std::size_t t = 0;
  bool seen_marker = false;
  while (t < templ.size()) {
    Marker m;
    const std::size_t marker_length = parse_marker(templ, t, m);
    if (marker_length > 0) {
      const std::size_t n = match_fixed(actual, a, m);
      if (n == 0) {
        std::ostringstream os;
        os << "at byte " << a << " expected a %" << m.width << "." << m.precision
           << "f value, found \"" << excerpt(actual, a) << "\"";
        why = os.str();
        return false;
      }
      if (!seen_marker && first_value != nullptr) {
        *first_value = actual.substr(a, n);
      }
      seen_marker = true;
      a += n;
      t += marker_length;
      continue;
    }
    if (a >= actual.size() || actual[a] != templ[t]) {
      std::ostringstream os;
      os << "at byte " << a << " expected \"" << excerpt(templ, t) << "\"\n  found    \""
         << excerpt(actual, a) << "\"";
      why = os.str();
      return false;
    }
    ++a;
    ++t;
  }
  if (a != actual.size()) {
    why = "unexpected trailing output at byte " + std::to_string(a) + ": \"" + excerpt(actual, a) +
          "\"";
    return false;
  }
  return true;
}

}  // namespace

::testing::AssertionResult MatchesPrintf(const std::string& actual, const std::string& templ) {
  std::string why;
  if (walk(actual, templ, why, nullptr)) {
    return ::testing::AssertionSuccess();
  }
  return ::testing::AssertionFailure() << why << "\n--- whole output ---\n" << actual;
}

double printed_time(const std::string& actual, const std::string& templ) {
  std::string why;
  std::string value;
  if (!walk(actual, templ, why, &value) || value.empty()) {
    return -1.0;
  }
  return std::strtod(value.c_str(), nullptr);
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
