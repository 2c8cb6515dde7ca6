#include "driver/text.h"

#include <cmath>
#include <ctime>

#include <fmt/format.h>

namespace ks::driver {

std::string human_seconds(double s) {
  if (std::isnan(s)) {
    return "-";
  }
  if (s < 1e-6) {
    return fmt::format("{:.0f} ns", s * 1e9);
  }
  if (s < 1e-3) {
    return fmt::format("{:.3g} us", s * 1e6);
  }
  if (s < 1) {
    return fmt::format("{:.3g} ms", s * 1e3);
  }
  return fmt::format("{:.3g} s", s);
}

std::string human_interval(double low, double high) {
  if (std::isnan(low) || std::isnan(high)) {
    return "-";
  }
  // The unit of the upper end, as human_seconds chooses it.
  const double a = std::abs(high);
  double scale = 1;
  const char* unit = "s";
  if (a < 1e-6) {
    scale = 1e9;
    unit = "ns";
  } else if (a < 1e-3) {
    scale = 1e6;
    unit = "us";
  } else if (a < 1) {
    scale = 1e3;
    unit = "ms";
  }
  if (low * scale < 0.01 && low != 0) {
    return human_seconds(low) + "\u2013" + human_seconds(high);
  }
  const char* format = scale == 1e9 ? "{:.0f}" : "{:.3g}";
  return fmt::format(fmt::runtime(format), low * scale) + "\u2013" +
         fmt::format(fmt::runtime(format), high * scale) + " " + unit;
}

std::string level_note(double confidence) {
  if (confidence >= 0.95 - 1e-12) {
    return "";
  }
  return fmt::format(" ({:.0f}%)", confidence * 100);
}

std::string iso_time(double epoch) {
  const auto t = static_cast<std::time_t>(epoch);
  std::tm tm{};
  gmtime_r(&t, &tm);
  char buf[32];
  std::strftime(buf, sizeof buf, "%Y-%m-%dT%H:%M:%SZ", &tm);
  return buf;
}

std::string grouped(double count) {
  const auto whole = static_cast<long long>(std::llround(count));
  std::string digits = std::to_string(whole < 0 ? -whole : whole);
  std::string out;
  for (std::size_t i = 0; i < digits.size(); ++i) {
    if (i > 0 && (digits.size() - i) % 3 == 0 && digits.size() > 4) {
      out += ' ';
    }
    out += digits[i];
  }
  return (whole < 0 ? "-" : "") + out;
}

}  // namespace ks::driver
