#include "driver/base/text.h"

#include <algorithm>
#include <cmath>
#include <ctime>
#include <filesystem>

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

namespace {

constexpr std::string_view kReplacement = "\xEF\xBF\xBD";  // U+FFFD

bool ascii_alnum(char c) {
  return (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9');
}

// Part of a word for Markdown's emphasis: a letter or digit, or any byte of a character beyond
// ASCII.
bool word_byte(char c) {
  return ascii_alnum(c) || static_cast<unsigned char>(c) >= 0x80;
}

}  // namespace

std::size_t utf8_sequence_length(std::string_view s) {
  const auto byte = [&](std::size_t i) { return static_cast<unsigned char>(s[i]); };
  const auto continuation = [&](std::size_t i, unsigned char lo = 0x80, unsigned char hi = 0xBF) {
    return i < s.size() && byte(i) >= lo && byte(i) <= hi;
  };
  if (s.empty()) {
    return 0;
  }
  const unsigned char b = byte(0);
  if (b >= 0xC2 && b <= 0xDF) {
    return continuation(1) ? 2 : 0;
  }
  if (b >= 0xE0 && b <= 0xEF) {
    // No overlong forms (E0 80..9F) and no surrogates (ED A0..BF).
    const unsigned char lo = b == 0xE0 ? 0xA0 : 0x80;
    const unsigned char hi = b == 0xED ? 0x9F : 0xBF;
    return continuation(1, lo, hi) && continuation(2) ? 3 : 0;
  }
  if (b >= 0xF0 && b <= 0xF4) {
    // No overlong forms (F0 80..8F) and nothing beyond U+10FFFF (F4 90..).
    const unsigned char lo = b == 0xF0 ? 0x90 : 0x80;
    const unsigned char hi = b == 0xF4 ? 0x8F : 0xBF;
    return continuation(1, lo, hi) && continuation(2) && continuation(3) ? 4 : 0;
  }
  return 0;
}

std::string shortened(std::string_view text, std::size_t max_bytes) {
  if (text.size() <= max_bytes) {
    return std::string(text);
  }
  std::size_t cut = max_bytes > 0 ? max_bytes - 1 : 0;
  while (cut > 0 && (static_cast<unsigned char>(text[cut]) & 0xC0) == 0x80) {
    --cut;  // not inside a character of several bytes
  }
  return std::string(text.substr(0, cut)) + "…";
}

std::string displayable(std::string_view text) {
  std::string out;
  out.reserve(text.size());
  for (std::size_t i = 0; i < text.size();) {
    const auto c = static_cast<unsigned char>(text[i]);
    if (c < 0x80) {
      const bool control = (c < 0x20 && c != '\t' && c != '\n' && c != '\r') || c == 0x7F;
      out += control ? kReplacement : text.substr(i, 1);
      ++i;
      continue;
    }
    const std::size_t n = utf8_sequence_length(text.substr(i));
    // C1 controls (U+0080..U+009F, C2 80..9F) are no text either.
    if (n == 0 || (n == 2 && c == 0xC2 && static_cast<unsigned char>(text[i + 1]) < 0xA0)) {
      out += kReplacement;
      i += n == 0 ? 1 : n;
      continue;
    }
    out += text.substr(i, n);
    i += n;
  }
  return out;
}

std::string terminal_text(std::string_view text) {
  std::string out;
  out.reserve(text.size());
  for (std::size_t i = 0; i < text.size();) {
    const auto c = static_cast<unsigned char>(text[i]);
    if (c < 0x80) {
      switch (c) {
        case '\n':
          out += "\\n";
          break;
        case '\r':
          out += "\\r";
          break;
        case '\t':
          out += "\\t";
          break;
        default:
          out += c < 0x20 || c == 0x7F ? fmt::format("\\x{:02x}", c) : std::string(1, text[i]);
      }
      ++i;
      continue;
    }
    const std::size_t n = utf8_sequence_length(text.substr(i));
    if (n == 0) {  // not UTF-8: the byte itself
      out += fmt::format("\\x{:02x}", c);
      ++i;
      continue;
    }
    const auto second = static_cast<unsigned char>(text[i + 1]);
    const auto third = n > 2 ? static_cast<unsigned char>(text[i + 2]) : 0;
    // C1 controls (C2 80..9F) act on a terminal like C0 ones; the bidirectional embeddings,
    // overrides and isolates (E2 80 AA..AE, E2 81 A6..A9) reorder what follows them on the line.
    const bool c1 = n == 2 && c == 0xC2 && second < 0xA0;
    const bool bidi = n == 3 && c == 0xE2 &&
                      ((second == 0x80 && third >= 0xAA && third <= 0xAE) ||
                       (second == 0x81 && third >= 0xA6 && third <= 0xA9));
    if (c1) {
      out += fmt::format("\\u{:04x}", second);
    } else if (bidi) {
      out += fmt::format("\\u{:04x}", 0x2000 | ((second & 0x3F) << 6) | (third & 0x3F));
    } else {
      out += text.substr(i, n);
    }
    i += n;
  }
  return out;
}

std::string one_line(std::string_view text) {
  std::string s = displayable(text);
  std::replace_if(
      s.begin(), s.end(), [](char c) { return c == '\n' || c == '\r'; }, ' ');
  return s;
}

std::string gnuplot_string(std::string_view text, GnuplotField field, GnuplotQuotes quotes) {
  // A path cannot hold a NUL; gnuplot reads back every other byte.
  std::string s = field == GnuplotField::kPath ? std::string(text) : displayable(text);
  if (field == GnuplotField::kData) {
    // A data file's quoted column ends at the next ", whatever comes before it, and its line at
    // the line break.
    std::string out = "\"";
    for (char c : s) {
      out += c == '"'                              ? std::string("'")
             : c == '\\'                           ? std::string("\\\\")
             : c == '\n' || c == '\r' || c == '\t' ? std::string(" ")
                                                   : std::string(1, c);
    }
    return out + "\"";
  }
  if (field == GnuplotField::kTicLabel) {
    std::string doubled;
    for (char c : s) {
      doubled += c == '%' ? std::string("%%") : std::string(1, c);
    }
    s = std::move(doubled);
  }
  const bool single = quotes == GnuplotQuotes::kSingle &&
                      s.find_first_of("\n\r\t") == std::string::npos && !s.starts_with('\'') &&
                      s.find("''") == std::string::npos;
  if (single) {
    std::string out = "'";
    for (char c : s) {
      out += c == '\'' ? std::string("''") : std::string(1, c);
    }
    return out + "'";
  }
  std::string out = "\"";
  for (char c : s) {
    switch (c) {
      case '\\':
        out += "\\\\";
        break;
      case '"':
        out += "\\\"";
        break;
      case '`':
        out += "\\`";
        break;
      case '\n':
        out += "\\n";
        break;
      case '\r':
        out += "\\r";
        break;
      case '\t':
        out += "\\t";
        break;
      default:
        out += c;
    }
  }
  return out + "\"";
}

std::string markdown_text(std::string_view text) {
  const std::string s = one_line(text);
  std::string out;
  out.reserve(s.size() + s.size() / 8);
  for (std::size_t i = 0; i < s.size(); ++i) {
    const char c = s[i];
    const char before = i > 0 ? s[i - 1] : ' ';
    const char after = i + 1 < s.size() ? s[i + 1] : '\0';
    bool escape = false;
    switch (c) {
      case '\\':
      case '`':
      case '*':
      case '[':
      case ']':
      case '|':
      case '~':
        escape = true;
        break;
      case '_':
        // Inside a word it opens and closes no emphasis.
        escape = !(word_byte(before) && word_byte(after));
        break;
      case '<':
        // A tag, a comment, a declaration or an autolink begins with one of these; the text's
        // end is escaped too, for what follows it.
        escape = after == '\0' || (after >= 'a' && after <= 'z') ||
                 (after >= 'A' && after <= 'Z') || after == '/' || after == '!' || after == '?';
        break;
      case '&':
        escape = after == '\0' || ascii_alnum(after) || after == '#';
        break;
      default:
        break;
    }
    if (escape) {
      out += '\\';
    }
    out += c;
  }
  return out;
}

std::string markdown_code(std::string_view text, bool in_table) {
  std::string s = one_line(text);
  if (s.empty()) {
    return "` `";
  }
  std::size_t longest = 0;
  std::size_t run = 0;
  for (char c : s) {
    run = c == '`' ? run + 1 : 0;
    longest = std::max(longest, run);
  }
  const bool all_blank = s.find_first_not_of(' ') == std::string::npos;
  if (s.front() == '`' || s.back() == '`' || (!all_blank && s.front() == ' ' && s.back() == ' ')) {
    s = " " + s + " ";
  }
  if (in_table) {
    std::string escaped;
    for (char c : s) {
      escaped += c == '|' ? std::string("\\|") : std::string(1, c);
    }
    s = std::move(escaped);
  }
  const std::string fence(longest + 1, '`');
  return fence + s + fence;
}

std::string shell_word(std::string_view word) {
  const bool plain = !word.empty() && word.find_first_not_of(
                                          "abcdefghijklmnopqrstuvwxyzABCDEFGHIJKLMNOPQRSTUVWXYZ"
                                          "0123456789-_./,:=+@%") == std::string_view::npos;
  if (plain) {
    return std::string(word);
  }
  std::string out = "'";
  for (char c : word) {
    out += c == '\'' ? std::string("'\\''") : std::string(1, c);
  }
  return out + "'";
}

std::string duration_text(double seconds) {
  if (seconds < 60) {
    return fmt::format("{:.1f} s", seconds);
  }
  const auto whole = static_cast<long>(seconds + 0.5);
  return fmt::format("{} min {:02d} s", whole / 60, whole % 60);
}

std::string size_label(std::uint64_t value) {
  if (value != 0) {
    if (value % (std::uint64_t{1} << 30) == 0) {
      return fmt::format("{}G", value >> 30);
    }
    if (value % (std::uint64_t{1} << 20) == 0) {
      return fmt::format("{}M", value >> 20);
    }
    if (value % (std::uint64_t{1} << 10) == 0) {
      return fmt::format("{}K", value >> 10);
    }
  }
  return fmt::format("{}", value);
}

std::string command_text(const std::vector<std::string>& command) {
  std::string out;
  for (std::size_t i = 0; i < command.size(); ++i) {
    // The program by its name, not the build folder's path.
    const std::string word =
        i == 0 ? std::filesystem::path(command[i]).filename().string() : command[i];
    out += (i == 0 ? "" : " ") + shell_word(word);
  }
  return out;
}

std::size_t edit_distance(std::string_view a, std::string_view b) {
  // Rows of the distance between prefixes: two back for a swap, one back, this one.
  std::vector<std::size_t> before(b.size() + 1), previous(b.size() + 1), row(b.size() + 1);
  for (std::size_t j = 0; j <= b.size(); ++j) {
    previous[j] = j;
  }
  for (std::size_t i = 1; i <= a.size(); ++i) {
    row[0] = i;
    for (std::size_t j = 1; j <= b.size(); ++j) {
      const std::size_t change = a[i - 1] == b[j - 1] ? 0 : 1;
      row[j] = std::min({previous[j] + 1, row[j - 1] + 1, previous[j - 1] + change});
      if (i > 1 && j > 1 && a[i - 1] == b[j - 2] && a[i - 2] == b[j - 1]) {
        row[j] = std::min(row[j], before[j - 2] + 1);
      }
    }
    before.swap(previous);
    previous.swap(row);
  }
  return previous[b.size()];
}

std::string did_you_mean(std::string_view word, const std::vector<std::string>& candidates) {
  const std::string* best = nullptr;
  std::size_t nearest = 3;
  for (const std::string& c : candidates) {
    const std::size_t d = edit_distance(word, c);
    if (d < nearest && 2 * d < c.size()) {
      nearest = d;
      best = &c;
    }
  }
  return best == nullptr ? std::string() : fmt::format(" (did you mean '{}'?)", *best);
}

}  // namespace ks::driver
