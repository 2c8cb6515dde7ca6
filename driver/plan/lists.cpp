#include "driver/plan/lists.h"

#include <algorithm>
#include <cctype>
#include <stdexcept>
#include <unordered_set>

#include <fmt/format.h>

namespace ks::driver {
namespace {

std::string_view trim(std::string_view s) {
  while (!s.empty() && (s.front() == ' ' || s.front() == '\t')) {
    s.remove_prefix(1);
  }
  while (!s.empty() && (s.back() == ' ' || s.back() == '\t')) {
    s.remove_suffix(1);
  }
  return s;
}

std::vector<std::string_view> split(std::string_view text, std::string_view separators) {
  std::vector<std::string_view> parts;
  std::size_t start = 0;
  for (std::size_t i = 0; i <= text.size(); ++i) {
    if (i == text.size() || separators.find(text[i]) != std::string_view::npos) {
      parts.push_back(text.substr(start, i - start));
      start = i + 1;
    }
  }
  return parts;
}

[[noreturn]] void bad(std::string_view what, std::string_view why) {
  throw std::invalid_argument(fmt::format("\"{}\": {}", what, why));
}

// Digits with an optional K/M/G suffix; the whole text must be used.
// "1e6", "25e5": a whole number of digits times a power of ten, at most max_value.
std::uint64_t decimal_power(std::string_view original, std::string_view digits,
                            std::string_view exponent, std::uint64_t max_value) {
  if (digits.empty() || exponent.empty() || exponent.size() > 2 ||
      digits.find_first_not_of("0123456789") != std::string_view::npos ||
      exponent.find_first_not_of("0123456789") != std::string_view::npos) {
    bad(original, "not a number (digits with an optional K, M or G, or 1e6)");
  }
  std::uint64_t value = 0;
  for (char c : digits) {
    value = value * 10 + static_cast<std::uint64_t>(c - '0');
    if (value > max_value) {
      bad(original, fmt::format("larger than {}", max_value));
    }
  }
  for (int power = std::stoi(std::string(exponent)); power > 0 && value != 0; --power) {
    if (value > max_value / 10) {
      bad(original, fmt::format("larger than {}", max_value));
    }
    value *= 10;
  }
  return value;
}

std::uint64_t parse_value(std::string_view text, std::uint64_t max_value) {
  const std::string_view original = text;
  text = trim(text);
  if (text.empty()) {
    bad(original, "empty value");
  }
  std::uint64_t multiplier = 1;
  switch (text.back()) {
    case 'k':
    case 'K':
      multiplier = std::uint64_t{1} << 10;
      break;
    case 'm':
    case 'M':
      multiplier = std::uint64_t{1} << 20;
      break;
    case 'g':
    case 'G':
      multiplier = std::uint64_t{1} << 30;
      break;
    default:
      break;
  }
  if (multiplier != 1) {
    text.remove_suffix(1);
  }
  if (text.empty()) {
    bad(original, "a suffix needs digits before it");
  }
  if (const std::size_t e = text.find_first_of("eE");
      multiplier == 1 && e != std::string_view::npos) {
    return decimal_power(original, text.substr(0, e), text.substr(e + 1), max_value);
  }
  std::uint64_t value = 0;
  for (char c : text) {
    if (c < '0' || c > '9') {
      bad(original, "not a number (digits with an optional K, M or G, or 1e6)");
    }
    value = value * 10 + static_cast<std::uint64_t>(c - '0');
    if (value > max_value) {
      bad(original, fmt::format("larger than {}", max_value));
    }
  }
  if (value > max_value / multiplier) {
    bad(original, fmt::format("larger than {}", max_value));
  }
  return value * multiplier;
}

// How many values a range makes (its end included when the steps miss it).
std::uint64_t range_count(std::uint64_t from, std::uint64_t to, std::uint64_t factor,
                          std::uint64_t step) {
  std::uint64_t count = 1;
  if (step != 0) {
    count += (to - from) / step;
    return count + ((to - from) % step != 0 ? 1 : 0);
  }
  std::uint64_t v = from;
  while (v <= to / factor) {
    v *= factor;
    ++count;
  }
  return count + (v != to ? 1 : 0);
}

void add_range(std::string_view item, std::uint64_t max_value, PlainRange plain,
               std::vector<std::uint64_t>& out) {
  const std::size_t dots = item.find("..");
  const std::uint64_t from = parse_value(item.substr(0, dots), max_value);
  std::string_view rest = item.substr(dots + 2);
  std::uint64_t factor = 2;
  std::uint64_t step = plain == PlainRange::kEvery ? 1 : 0;
  const std::size_t x = rest.find_first_of("x*");
  const std::size_t plus = rest.find('+');
  if (x != std::string_view::npos) {
    factor = parse_value(rest.substr(x + 1), 1u << 20);
    if (factor < 2) {
      bad(item, "a range factor must be at least 2");
    }
    step = 0;
    rest = rest.substr(0, x);
  } else if (plus != std::string_view::npos) {
    step = parse_value(rest.substr(plus + 1), max_value);
    if (step < 1) {
      bad(item, "a range step must be at least 1");
    }
    rest = rest.substr(0, plus);
  }
  const std::uint64_t to = parse_value(rest, max_value);
  if (to < from) {
    bad(item, "a range must not end below its start");
  }
  if (step == 0 && from == 0) {
    bad(item, "a multiplying range cannot start at 0");
  }
  const std::uint64_t count = range_count(from, to, factor, step);
  if (count > kMaxListValues - std::min<std::uint64_t>(out.size(), kMaxListValues)) {
    bad(item, fmt::format("{} values; a list holds at most {}", count, kMaxListValues));
  }
  std::uint64_t v = from;
  while (true) {
    out.push_back(v);
    const bool room = step != 0 ? to - v >= step : v <= to / factor;
    if (!room) {
      break;
    }
    v = step != 0 ? v + step : v * factor;
    if (v > to) {
      break;
    }
  }
  if (out.back() != to) {
    out.push_back(to);
  }
}

}  // namespace

std::vector<std::uint64_t> parse_list(std::string_view text, std::uint64_t max_value,
                                      PlainRange plain) {
  std::vector<std::uint64_t> values;
  if (trim(text).empty()) {
    bad(text, "empty list");
  }
  for (std::string_view item : split(text, ",")) {
    item = trim(item);
    if (item.empty()) {
      bad(text, "empty item in the list");
    }
    if (item.find("..") != std::string_view::npos) {
      add_range(item, max_value, plain, values);
    } else if (values.size() >= kMaxListValues) {
      bad(item, fmt::format("one value too many; a list holds at most {}", kMaxListValues));
    } else {
      values.push_back(parse_value(item, max_value));
    }
  }
  std::vector<std::uint64_t> unique;
  unique.reserve(values.size());
  std::unordered_set<std::uint64_t> seen(values.size());
  for (std::uint64_t v : values) {
    if (seen.insert(v).second) {
      unique.push_back(v);
    }
  }
  return unique;
}

namespace {

// "1,000,000" or "2,048": one number written with thousands separators, not a list. It is
// digits in groups of three after a first group of one to three, without blanks, and its first
// group is below 10 or a later one starts with 0, which a list of sizes would not.
bool looks_like_thousands(std::string_view text) {
  const std::vector<std::string_view> groups = split(text, ",");
  if (groups.size() < 2 || groups[0].empty() || groups[0].size() > 3) {
    return false;
  }
  bool leading_zero = false;
  for (std::size_t i = 0; i < groups.size(); ++i) {
    const std::string_view g = groups[i];
    if ((i > 0 && g.size() != 3) || g.find_first_not_of("0123456789") != std::string_view::npos) {
      return false;
    }
    leading_zero = leading_zero || (i > 0 && g[0] == '0');
  }
  return leading_zero || (groups[0].size() == 1 && groups[0][0] != '0');
}

}  // namespace

std::vector<std::uint64_t> parse_sizes(std::string_view text) {
  if (looks_like_thousands(text)) {
    std::string digits(text);
    std::erase(digits, ',');
    bad(text, fmt::format("lists are comma-separated: for one size write {} (or with a suffix, "
                          "1K = 1024); for this list put a blank after each comma",
                          digits));
  }
  return parse_list(text, 4294967295u);
}

std::optional<std::string> suffix_notice(std::string_view text) {
  for (std::string_view item : split(text, ",.x*+")) {
    item = trim(item);
    if (item.size() < 2 || item.find_first_not_of("0123456789") != item.size() - 1) {
      continue;
    }
    const char suffix = static_cast<char>(std::toupper(static_cast<unsigned char>(item.back())));
    if (suffix != 'K' && suffix != 'M' && suffix != 'G') {
      continue;
    }
    const std::uint64_t value = parse_value(item, 4294967295u);
    const char* decimal = suffix == 'K'   ? "1e3 or 1000 for a decimal thousand"
                          : suffix == 'M' ? "1e6 or 1000000 for a decimal million"
                                          : "1e9 or 1000000000 for a decimal billion";
    return fmt::format("{} = {} (binary suffix; {})", item, value, decimal);
  }
  return std::nullopt;
}

std::vector<int> parse_threads(std::string_view text) {
  std::vector<int> threads;
  for (std::uint64_t v : parse_list(text, kMaxThreads, PlainRange::kEvery)) {
    if (v < 1) {
      bad(text, "a thread count must be at least 1");
    }
    threads.push_back(static_cast<int>(v));
  }
  return threads;
}

std::vector<std::string> parse_schedules(std::string_view text) {
  std::vector<std::string> schedules;
  std::unordered_set<std::string> seen;
  for (std::string_view item : split(text, "; \t")) {
    if (item.empty()) {
      continue;
    }
    std::string_view rest = item;
    std::string_view modifier;
    if (const std::size_t colon = rest.find(':'); colon != std::string_view::npos) {
      modifier = rest.substr(0, colon);
      rest.remove_prefix(colon + 1);
      if (modifier != "monotonic" && modifier != "nonmonotonic") {
        bad(item, "the modifier must be monotonic or nonmonotonic");
      }
      if (rest.find(':') != std::string_view::npos) {
        bad(item, "at most one modifier");
      }
    }
    const std::size_t comma = rest.find(',');
    const std::string_view kind = rest.substr(0, comma);
    if (kind != "static" && kind != "dynamic" && kind != "guided" && kind != "auto") {
      bad(item, "the kind must be static, dynamic, guided or auto");
    }
    if (modifier == "nonmonotonic" && kind != "dynamic" && kind != "guided") {
      bad(item, "nonmonotonic applies to dynamic and guided only");
    }
    std::string canonical =
        (modifier.empty() ? "" : std::string(modifier) + ":") + std::string(kind);
    if (comma != std::string_view::npos) {
      if (kind == "auto") {
        bad(item, "auto takes no chunk");
      }
      const std::uint64_t chunk = parse_value(rest.substr(comma + 1), 2147483646);
      if (chunk < 1) {
        bad(item, "a chunk must be at least 1");
      }
      canonical += fmt::format(",{}", chunk);
    }
    if (seen.insert(canonical).second) {
      if (schedules.size() >= kMaxListValues) {
        bad(item, fmt::format("a list holds at most {} values", kMaxListValues));
      }
      schedules.push_back(canonical);
    }
  }
  if (schedules.empty()) {
    bad(text, "no schedule given");
  }
  return schedules;
}

}  // namespace ks::driver
