// Texts as the driver's outputs show them: times and counts, and every text from outside (a
// program's output, a store, a ceilings file, the environment, a path) escaped for the file it
// goes into: a gnuplot script or data file, Markdown, a shell command line.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

namespace ks::driver {

// Seconds in a short human form: "812 ns", "3.41 ms", "1.20 s"; "-" for NaN.
std::string human_seconds(double s);

// An interval of seconds in the unit of its upper end: "2.91–3.12 ms", "950 ns–1.2 us" when
// the ends are far apart; "-" when either end is NaN.
std::string human_interval(double low, double high);

// A confidence level when it is not the 95 % asked for: "" at 95 % or above, else " (94%)".
std::string level_note(double confidence);

// Seconds since the epoch as an ISO 8601 UTC time: "2024-05-01T12:00:00Z".
std::string iso_time(double epoch);

// A duration to wait or spent: "1.2 s", "2 min 05 s".
std::string duration_text(double seconds);

// 1048576 -> "1M", 1536 -> "1536", 33554432 -> "32M": the shortest exact spelling.
std::string size_label(std::uint64_t value);

// A count rounded to a whole number, grouped by thousands from five digits on: "812", "4096",
// "16 384", "-1 000 000".
std::string grouped(double count);

// The length of the well-formed UTF-8 sequence of two or more bytes at the start of `s`, or 0
// (a stray byte, a cut character, an overlong form, a surrogate, beyond U+10FFFF).
std::size_t utf8_sequence_length(std::string_view s);

// `text` when it has at most `max_bytes` bytes; else as much of it as fits in `max_bytes - 1`
// bytes without cutting a character, and "…".
std::string shortened(std::string_view text, std::size_t max_bytes);

// `text` as text to show: whatever is not well-formed UTF-8, and every control character (C0,
// DEL and C1) but tab, line feed and carriage return, replaced by U+FFFD.
std::string displayable(std::string_view text);

// `text` as the terminal should show it, on one line and unable to move the cursor, change
// colours or reorder the line: line feed, carriage return and tab as \n, \r, \t; every other
// C0 control and DEL as \x1b; a C1 control or a bidirectional override as \u0085, \u202e;
// a byte that is not part of well-formed UTF-8 as \xff. Other UTF-8 stays as it is.
std::string terminal_text(std::string_view text);

// Displayable, on one line: line breaks become blanks.
std::string one_line(std::string_view text);

// Where a text goes in gnuplot's files.
enum class GnuplotField {
  kText,      // a string of a script: a title, a label, a key, a file name
  kTicLabel,  // a label of `set xtics ("label" position, ...)`, which gnuplot reads as a format
  kData,      // a quoted column of a data file: a category, a key, a point's name
  kPath,      // a file or folder name, byte for byte (a name need not be UTF-8 text)
};
enum class GnuplotQuotes { kSingle, kDouble };

// `text` as a gnuplot string literal that gnuplot reads back as that text (made displayable,
// but a path), running nothing and ending no line. In a script: in single quotes, a quote
// doubled ('it''s'), unless the text holds a line break, a carriage return or a tab, or a quote
// first or two together (which gnuplot does not read back), or double quotes are asked for;
// then in double quotes with \\, \", \n, \r, \t and \` escaped: gnuplot runs a backquoted
// command inside double quotes, never one inside single quotes nor an escaped backquote. A tic
// label's % is doubled. In a data file: double-quoted, a " becoming ', a backslash doubled,
// line breaks and tabs becoming blanks.
std::string gnuplot_string(std::string_view text, GnuplotField field = GnuplotField::kText,
                           GnuplotQuotes quotes = GnuplotQuotes::kSingle);

// `text` from outside as Markdown text that shows it as it is and nothing else: made
// displayable, on one line, and what Markdown would read as markup escaped with a backslash (a
// backslash, ` * [ ] | ~, _ outside a word, < before what could open a tag, & before what
// could name an entity), so that no HTML, link, emphasis or table column comes of it.
std::string markdown_text(std::string_view text);

// `text` from outside as a Markdown code span: made displayable, on one line, delimited by one
// backtick more than its longest run of them, with a blank inside each end where Markdown would
// otherwise take one of the text's own (a backtick at an end, blanks at both). In a table cell
// (`in_table`), | is written \| there too, as a table needs it. "` `" for no text.
std::string markdown_code(std::string_view text, bool in_table);

// `word` as a POSIX shell reads it back: as it is when it holds only letters, digits and
// -_./,:=+@%, else in single quotes, a quote inside as '\''.
std::string shell_word(std::string_view word);

// A command line as a shell would take it back: words quoted where they need it.
std::string command_text(const std::vector<std::string>& command);

// The least number of single-character insertions, deletions, substitutions and swaps of two
// neighbours that turn `a` into `b`.
std::size_t edit_distance(std::string_view a, std::string_view b);

// " (did you mean 'x'?)" for the nearest of `candidates` within two edits of `word`, and
// fewer than half its length (no guess that "-x" meant "-h"), the first listed among equally
// near ones; "" when none is that near.
std::string did_you_mean(std::string_view word, const std::vector<std::string>& candidates);

}  // namespace ks::driver
