#include "textmatch/output_match.h"

#include <cstdarg>
#include <cstdio>
#include <cstdlib>

namespace ks {
namespace {

struct Marker {
  enum Kind { kDouble, kInt } kind = kDouble;
  int width = 0;
  int precision = 6;
  std::size_t length = 0;  // bytes of the marker in the template
};

// A marker at templ[pos], if there is one.
std::optional<Marker> parse_marker(std::string_view templ, std::size_t pos) {
  if (templ.substr(pos, 2) != "{%") {
    return std::nullopt;
  }
  if (templ.substr(pos, 4) == "{%d}") {
    return Marker{Marker::kInt, 0, 0, 4};
  }
  std::size_t i = pos + 2;
  Marker m;
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
  number(m.width);
  if (i < templ.size() && templ[i] == '.') {
    ++i;
    if (!number(m.precision)) {
      return std::nullopt;
    }
  }
  if (templ.substr(i, 2) != "f}") {
    return std::nullopt;
  }
  m.length = i + 2 - pos;
  return m;
}

bool digit(char c) {
  return c >= '0' && c <= '9';
}

// Length of a printf "%W.Pf" rendering of a non-negative double at text[pos], or 0.
std::size_t match_fixed(std::string_view text, std::size_t pos, const Marker& m) {
  std::size_t i = pos;
  while (i < text.size() && text[i] == ' ') {
    ++i;
  }
  const std::size_t digits_start = i;
  while (i < text.size() && digit(text[i])) {
    ++i;
  }
  if (i == digits_start) {
    return 0;
  }
  if (m.precision > 0) {
    if (i >= text.size() || text[i] != '.') {
      return 0;
    }
    ++i;
    for (int d = 0; d < m.precision; ++d, ++i) {
      if (i >= text.size() || !digit(text[i])) {
        return 0;
      }
    }
  }
  if (i < text.size() && digit(text[i])) {
    return 0;  // more decimals than the precision
  }
  const std::size_t length = i - pos;
  const std::size_t number_length = i - digits_start;
  const auto width = static_cast<std::size_t>(m.width);
  if (length < width) {
    return 0;
  }
  // Padding blanks only when the number is shorter than the width, and exactly up to it.
  if (digits_start != pos && (length != width || number_length >= width)) {
    return 0;
  }
  return length;
}

// Length of a "%d" rendering at text[pos], or 0.
std::size_t match_int(std::string_view text, std::size_t pos, long long& value) {
  std::size_t i = pos;
  if (i < text.size() && text[i] == '-') {
    ++i;
  }
  const std::size_t digits_start = i;
  while (i < text.size() && digit(text[i]) && i - digits_start < 19) {
    ++i;
  }
  if (i == digits_start) {
    return 0;
  }
  value = std::strtoll(std::string(text.substr(pos, i - pos)).c_str(), nullptr, 10);
  return i - pos;
}

std::size_t line_of(std::string_view text, std::size_t pos) {
  std::size_t line = 1;
  for (std::size_t i = 0; i < pos && i < text.size(); ++i) {
    line += text[i] == '\n' ? 1 : 0;
  }
  return line;
}

// The part of the line of `text` holding byte `pos` around that byte: the line from its start
// when `pos` is near it, else from a little before `pos`, with "..." marking what is cut.
std::string around(std::string_view text, std::size_t pos) {
  pos = std::min(pos, text.size());
  std::size_t start = pos == 0 ? 0 : text.rfind('\n', pos - 1);
  start = start == std::string_view::npos ? 0 : (pos == 0 ? 0 : start + 1);
  std::size_t end = text.find('\n', pos);
  end = end == std::string_view::npos ? text.size() : end;
  std::string prefix;
  if (pos - start > 30) {
    start = pos - 30;
    prefix = "...";
  }
  return prefix + visible(text.substr(start, end - start), 70);
}

}  // namespace

std::string strprintf(const char* format, ...) {
  va_list args;
  va_start(args, format);
  va_list copy;
  va_copy(copy, args);
  const int n = std::vsnprintf(nullptr, 0, format, copy);
  va_end(copy);
  std::string out(n > 0 ? static_cast<std::size_t>(n) : 0, '\0');
  if (n > 0) {
    std::vsnprintf(out.data(), out.size() + 1, format, args);
  }
  va_end(args);
  return out;
}

std::string visible(std::string_view text, std::size_t limit) {
  std::string shown;
  for (char c : text.substr(0, limit)) {
    if (c == '\n') {
      shown += "\\n";
    } else if (c == '\t') {
      shown += "\\t";
    } else if (static_cast<unsigned char>(c) < 0x20) {
      shown += strprintf("\\x%02x", static_cast<unsigned char>(c));
    } else {
      shown += c;
    }
  }
  if (text.size() > limit) {
    shown += "...";
  }
  return shown;
}

MatchResult match_template(std::string_view actual, std::string_view templ) {
  MatchResult result;
  std::size_t a = 0;
  std::size_t t = 0;
  auto fail = [&](const std::string& what) {
    result.ok = false;
    result.why = strprintf("line %zu: %s; expected \"%s\", found \"%s\"", line_of(actual, a),
                           what.c_str(), around(templ, t).c_str(), around(actual, a).c_str());
    return result;
  };
  while (t < templ.size()) {
    if (const auto m = parse_marker(templ, t)) {
      if (m->kind == Marker::kInt) {
        long long value = 0;
        const std::size_t n = match_int(actual, a, value);
        if (n == 0) {
          return fail("an integer is missing");
        }
        result.integers.push_back(value);
        a += n;
      } else {
        const std::size_t n = match_fixed(actual, a, *m);
        if (n == 0) {
          return fail(strprintf("no value in the %%%d.%df form", m->width, m->precision));
        }
        if (!result.first_double) {
          result.first_double = std::strtod(std::string(actual.substr(a, n)).c_str(), nullptr);
        }
        a += n;
      }
      t += m->length;
      continue;
    }
    if (a >= actual.size()) {
      return fail("the output ends early");
    }
    if (actual[a] != templ[t]) {
      return fail("wrong text");
    }
    ++a;
    ++t;
  }
  if (a != actual.size()) {
    return fail("unexpected text after the report");
  }
  result.ok = true;
  return result;
}

ScanResult scan_items(std::string_view text, const std::vector<std::string>& patterns) {
  ScanResult result;
  std::size_t pos = 0;
  while (pos < text.size()) {
    bool matched = false;
    for (std::size_t p = 0; p < patterns.size() && !matched; ++p) {
      const std::string& pattern = patterns[p];
      std::size_t a = pos;
      std::size_t i = 0;
      Item item;
      bool ok = true;
      while (i < pattern.size() && ok) {
        if (pattern.compare(i, 2, "%d") == 0) {
          long long value = 0;
          const std::size_t n = match_int(text, a, value);
          ok = n > 0;
          item.values.push_back(value);
          a += n;
          i += 2;
        } else {
          ok = a < text.size() && text[a] == pattern[i];
          ++a;
          ++i;
        }
      }
      if (ok) {
        item.pattern = static_cast<int>(p);
        item.offset = pos;
        result.items.push_back(std::move(item));
        pos = a;
        matched = true;
      }
    }
    if (!matched) {
      result.why = strprintf("unexpected text at byte %zu: \"%s\"", pos,
                             visible(text.substr(pos), 60).c_str());
      return result;
    }
  }
  result.ok = true;
  return result;
}

}  // namespace ks
