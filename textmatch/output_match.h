// Matching a program's printed report against the report it should print.
//
// A template is the expected text byte for byte, except for markers that stand for fields
// whose value cannot be known in advance:
//   {%W.Pf}  a non-negative double as printf "%W.Pf" prints it (P = 6 when omitted): the
//            first such marker is the time field
//   {%d}     a signed decimal integer
// Everything else, tabs, trailing blanks and UTF-8 included, must match exactly.
#pragma once

#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace ks {

struct MatchResult {
  bool ok = false;
  std::string why;                     // first difference, one line, when !ok
  std::optional<double> first_double;  // the value under the first {%...f} marker
  std::vector<long long> integers;     // the values under the {%d} markers, in order
};

MatchResult match_template(std::string_view actual, std::string_view templ);

// printf into a std::string.
std::string strprintf(const char* format, ...) __attribute__((format(printf, 1, 2)));

// Shows control characters and truncates, for one-line messages.
std::string visible(std::string_view text, std::size_t limit = 80);

// Scans `text` as a sequence of items, each matching one of `patterns` (literal text with
// %d for a signed integer). Items may come in any order. Used for the demonstrations, whose
// threads print interleaved items.
struct Item {
  int pattern = -1;               // index into patterns
  std::vector<long long> values;  // the %d values in order
  std::size_t offset = 0;         // byte offset in the text
};
struct ScanResult {
  bool ok = false;
  std::string why;
  std::vector<Item> items;
};
ScanResult scan_items(std::string_view text, const std::vector<std::string>& patterns);

}  // namespace ks
