#include "docs/tests/doc_examples.h"

#include <algorithm>
#include <cctype>
#include <set>
#include <tuple>

namespace ks::docs {

namespace {

std::string trim(std::string_view s) {
  std::size_t b = 0;
  std::size_t e = s.size();
  while (b < e && std::isspace(static_cast<unsigned char>(s[b]))) {
    ++b;
  }
  while (e > b && std::isspace(static_cast<unsigned char>(s[e - 1]))) {
    --e;
  }
  return std::string(s.substr(b, e - b));
}

std::vector<std::string> split_lines(std::string_view text) {
  std::vector<std::string> lines;
  std::size_t start = 0;
  while (start <= text.size()) {
    const std::size_t nl = text.find('\n', start);
    if (nl == std::string_view::npos) {
      if (start < text.size()) {
        lines.emplace_back(text.substr(start));
      }
      break;
    }
    lines.emplace_back(text.substr(start, nl - start));
    start = nl + 1;
  }
  return lines;
}

bool blank(std::string_view line) {
  return trim(line).empty();
}

// The words of an info string: blank-separated, a double-quoted part kept whole (quotes
// dropped).
std::vector<std::string> info_words(std::string_view info, bool& unclosed) {
  std::vector<std::string> words;
  std::string word;
  bool quoted = false;
  bool any = false;
  for (char c : info) {
    if (c == '"') {
      quoted = !quoted;
      any = true;
    } else if (!quoted && std::isspace(static_cast<unsigned char>(c))) {
      if (any) {
        words.push_back(word);
      }
      word.clear();
      any = false;
    } else {
      word += c;
      any = true;
    }
  }
  if (any) {
    words.push_back(word);
  }
  unclosed = quoted;
  return words;
}

const std::set<std::string, std::less<>> kShellLanguages = {"sh", "bash", "shell", "console",
                                                            "zsh"};

std::vector<std::string> split_list(const std::string& value) {
  std::vector<std::string> items;
  std::size_t start = 0;
  while (start <= value.size()) {
    const std::size_t comma = value.find(',', start);
    const std::string item =
        trim(value.substr(start, comma == std::string::npos ? std::string::npos : comma - start));
    if (!item.empty()) {
      items.push_back(item);
    }
    if (comma == std::string::npos) {
      break;
    }
    start = comma + 1;
  }
  return items;
}

bool parse_int(const std::string& text, int& value) {
  if (text.empty() || text.size() > 3 ||
      !std::all_of(text.begin(), text.end(), [](char c) { return c >= '0' && c <= '9'; })) {
    return false;
  }
  value = std::stoi(text);
  return value <= 255;
}

// Reads a marked block's attributes into `block`; an unknown or bad one goes to `errors`.
void read_attributes(const std::vector<std::string>& words, int line, Block& block,
                     int& block_status, std::vector<std::string>& errors) {
  for (std::size_t i = 1; i < words.size(); ++i) {
    const std::string& w = words[i];
    if (w == "example") {
      continue;
    }
    const std::size_t eq = w.find('=');
    const std::string key = w.substr(0, eq);
    const std::string value = eq == std::string::npos ? "" : w.substr(eq + 1);
    const std::string where = std::to_string(line) + ": ";
    int number = 0;
    if (key == "probe" && eq == std::string::npos) {
      block.probe = true;
    } else if (key == "status" && parse_int(value, number)) {
      block_status = number;
    } else if (key == "not-run" && !trim(value).empty()) {
      block.not_run = value;
    } else if (key == "plan-only" && !trim(value).empty()) {
      block.plan_only = value;
    } else if (key == "needs" && !split_list(value).empty()) {
      block.needs = split_list(value);
    } else if (key == "cleanup" && !trim(value).empty()) {
      block.cleanup = value;
    } else if (key == "timeout" && parse_int(value, number) && number > 0) {
      block.timeout_seconds = number;
    } else {
      errors.push_back(
          where + "the example's attribute '" + w +
          "' is not one of status=N, not-run=\"REASON\", plan-only=\"REASON\", needs=A,B, "
          "cleanup=\"COMMAND\", probe, timeout=SECONDS");
    }
  }
}

bool word_char(char c) {
  return std::isalnum(static_cast<unsigned char>(c)) || c == '_';
}

// The number N of the first "status N" standing as words of a comment, if any.
bool status_in_comment(std::string_view comment, std::string& number) {
  constexpr std::string_view key = "status ";
  for (std::size_t at = comment.find(key); at != std::string_view::npos;
       at = comment.find(key, at + 1)) {
    if (at > 0 && word_char(comment[at - 1]))
      continue;
    std::size_t end = at + key.size();
    while (end < comment.size() && std::isdigit(static_cast<unsigned char>(comment[end])))
      ++end;
    if (end == at + key.size() || (end < comment.size() && word_char(comment[end])))
      continue;
    number = std::string(comment.substr(at + key.size(), end - at - key.size()));
    return true;
  }
  return false;
}

// An opening code fence: up to three spaces, three or more backticks or tildes, an info string.
bool open_fence(std::string_view line, std::string& fence, std::string& rest) {
  std::size_t i = 0;
  while (i < line.size() && i < 3 && line[i] == ' ')
    ++i;
  if (i == line.size() || (line[i] != '`' && line[i] != '~'))
    return false;
  std::size_t end = i;
  while (end < line.size() && line[end] == line[i])
    ++end;
  if (end - i < 3)
    return false;
  fence = std::string(line.substr(i, end - i));
  rest = std::string(line.substr(end));
  return true;
}

}  // namespace

std::vector<Command> split_commands(const std::vector<std::string>& lines, int first_line,
                                    bool prompt, int block_status,
                                    std::vector<std::string>& errors) {
  std::vector<Command> commands;
  Command current;
  bool open = false;  // the current command goes on on the next line
  bool single = false;
  bool dbl = false;
  for (std::size_t k = 0; k < lines.size(); ++k) {
    std::string_view content = lines[k];
    if (!open) {
      if (prompt) {
        if (content.substr(0, 2) != "$ ") {
          continue;  // what the command printed
        }
        content.remove_prefix(2);
      } else if (blank(content) || trim(content)[0] == '#') {
        continue;
      }
      current = Command{};
      current.line = first_line + static_cast<int>(k);
    } else {
      if (prompt && content.substr(0, 2) == "> ") {
        content.remove_prefix(2);
      }
      current.code += '\n';
    }
    bool backslash = false;
    std::string code;
    for (std::size_t j = 0; j < content.size(); ++j) {
      const char c = content[j];
      if (single) {
        single = c != '\'';
        code += c;
        continue;
      }
      if (dbl) {
        code += c;
        if (c == '\\' && j + 1 < content.size()) {
          code += content[++j];
        } else if (c == '"') {
          dbl = false;
        }
        continue;
      }
      if (c == '\\') {
        code += c;
        if (j + 1 < content.size()) {
          code += content[++j];
        } else {
          backslash = true;
        }
        continue;
      }
      if (c == '#' && (j == 0 || std::isspace(static_cast<unsigned char>(content[j - 1])) ||
                       std::string_view(";&|(").find(content[j - 1]) != std::string_view::npos)) {
        if (!current.comment.empty()) {
          current.comment += ' ';
        }
        current.comment += trim(content.substr(j + 1));
        break;
      }
      single = c == '\'';
      dbl = c == '"';
      code += c;
    }
    open = single || dbl || backslash;
    if (!open) {
      while (!code.empty() && std::isspace(static_cast<unsigned char>(code.back()))) {
        code.pop_back();
      }
    }
    current.code += code;
    if (!open) {
      std::string number;
      current.status = block_status;
      if (status_in_comment(current.comment, number)) {
        parse_int(number, current.status);
      }
      if (!trim(current.code).empty()) {
        commands.push_back(current);
      }
    }
  }
  if (open) {
    errors.push_back(std::to_string(current.line) +
                     ": the command is left open at the end of its block (a quote or a "
                     "backslash)");
  }
  return commands;
}

Document parse_document(std::string_view markdown) {
  Document doc;
  const std::vector<std::string> lines = split_lines(markdown);
  bool in_fence = false;
  std::string fence;
  std::string info;
  int fence_line = 0;
  std::vector<std::string> body;
  for (std::size_t i = 0; i < lines.size(); ++i) {
    const std::string& line = lines[i];
    const int number = static_cast<int>(i) + 1;
    if (!in_fence) {
      std::string opening;
      std::string rest;
      if (open_fence(line, opening, rest) &&
          (opening[0] == '~' || rest.find('`') == std::string::npos)) {
        in_fence = true;
        fence = opening;
        info = trim(rest);
        fence_line = number;
        body.clear();
      } else if (!blank(line) && (line.rfind("    ", 0) == 0 || line[0] == '\t') &&
                 (i == 0 || blank(lines[i - 1]))) {
        doc.errors.push_back(std::to_string(number) +
                             ": an indented code block: fence it, with an info string (sh "
                             "example, text, ...)");
      }
      continue;
    }
    const std::string t = trim(line);
    if (t.size() >= fence.size() && t.find_first_not_of(fence[0]) == std::string::npos &&
        line.find_first_not_of(' ') <= 3) {
      in_fence = false;
      bool unclosed = false;
      const std::vector<std::string> words = info_words(info, unclosed);
      const std::string where = std::to_string(fence_line) + ": ";
      if (words.empty()) {
        doc.errors.push_back(where +
                             "a code block without an info string (sh example, text, "
                             "...)");
        continue;
      }
      const bool shell = kShellLanguages.count(words[0]) > 0;
      const bool example = std::find(words.begin() + 1, words.end(), "example") != words.end();
      if (unclosed) {
        doc.errors.push_back(where + "the info string has an unclosed quote");
        continue;
      }
      if (!shell) {
        if (example) {
          doc.errors.push_back(where + "only a shell block (sh, console) can be an example");
        }
        continue;
      }
      if (!example) {
        doc.errors.push_back(where + "a " + words[0] +
                             " block that is not marked as an example: add `example` (and "
                             "not-run=\"REASON\" if it cannot run in a test)");
        continue;
      }
      Block block;
      block.line = fence_line;
      block.language = words[0];
      int block_status = 0;
      read_attributes(words, fence_line, block, block_status, doc.errors);
      const std::size_t errors_before = doc.errors.size();
      block.commands = split_commands(body, fence_line + 1, block.language == "console",
                                      block_status, doc.errors);
      if (block.commands.empty() && doc.errors.size() == errors_before) {
        doc.errors.push_back(where + "an example without a command");
      }
      doc.examples.push_back(std::move(block));
      continue;
    }
    body.push_back(line);
  }
  if (in_fence) {
    doc.errors.push_back(std::to_string(fence_line) + ": a code block that is never closed");
  }
  return doc;
}

bool plain_path(std::string_view path) {
  return !path.empty() && std::all_of(path.begin(), path.end(), [](char c) {
    return std::isalnum(static_cast<unsigned char>(c)) ||
           std::string_view("/._+-").find(c) != std::string_view::npos;
  });
}

std::string with_paths(std::string_view code, const Place& place) {
  // Each path begins a word, or follows '=', ':' or an opening quote or parenthesis.
  constexpr std::string_view lead = " \t\n\r\f\v=\"'(:";
  const auto starts = [&](std::string_view s, std::size_t i, std::string_view prefix) {
    return (i == 0 || lead.find(s[i - 1]) != std::string_view::npos) &&
           s.substr(i).substr(0, prefix.size()) == prefix;
  };
  const auto pass = [&](std::string_view s, auto&& match) {
    std::string out;
    for (std::size_t i = 0; i < s.size();) {
      std::string replacement;
      const std::size_t length = match(s, i, replacement);
      if (length == 0) {
        out += s[i++];
      } else {
        out += replacement;
        i += length;
      }
    }
    return out;
  };
  // One pass, so that no replacement is rewritten again (a build folder under /tmp, say).
  return pass(code, [&](std::string_view t, std::size_t i, std::string& r) {
    for (std::string_view pwd : {"$PWD/", ""}) {
      for (std::string_view preset : {"default", "ci", "clang", "clang-programs", "asan"}) {
        const std::string path = std::string(pwd) + "build/" + std::string(preset) + "/";
        if (starts(t, i, path)) {
          r = place.build + "/";
          return path.size();
        }
      }
    }
    for (std::string_view folder : {"scripts/", ".ci/"}) {
      if (starts(t, i, folder)) {
        r = place.source + "/" + std::string(folder);
        return folder.size();
      }
    }
    if (starts(t, i, "/tmp/")) {
      r = place.tmp + "/";
      return std::size_t{5};
    }
    if (starts(t, i, "/shared/")) {
      r = place.work + "/shared/";
      return std::size_t{8};
    }
    return std::size_t{0};
  });
}

std::vector<Word> shell_words(std::string_view code) {
  std::vector<Word> words;
  std::size_t i = 0;
  const std::size_t n = code.size();
  const auto is_op = [](char c) {
    return std::string_view("\n;&|()").find(c) != std::string_view::npos;
  };
  while (i < n) {
    const char c = code[i];
    if (c == ' ' || c == '\t') {
      ++i;
      continue;
    }
    if (c == '\\' && i + 1 < n && code[i + 1] == '\n') {
      i += 2;
      continue;
    }
    if (is_op(c)) {
      std::size_t len = 1;
      if ((c == '&' || c == '|') && i + 1 < n && code[i + 1] == c) {
        len = 2;
      }
      words.push_back({i, i + len, std::string(code.substr(i, len)), true});
      i += len;
      continue;
    }
    const std::size_t begin = i;
    char quote = 0;
    while (i < n) {
      const char d = code[i];
      if (quote == '\'') {
        quote = d == '\'' ? 0 : quote;
      } else if (quote == '"') {
        if (d == '\\' && i + 1 < n) {
          ++i;
        } else if (d == '"') {
          quote = 0;
        }
      } else if (d == '\\' && i + 1 < n) {
        if (code[i + 1] == '\n') {
          break;
        }
        ++i;
      } else if (d == '\'' || d == '"') {
        quote = d;
      } else if (d == ' ' || d == '\t' || is_op(d)) {
        break;
      }
      ++i;
    }
    words.push_back({begin, i, std::string(code.substr(begin, i - begin)), false});
  }
  return words;
}

namespace {

bool names(const Word& w, std::string_view program) {
  if (w.op) {
    return false;
  }
  const std::string_view t = w.text;
  return t == program ||
         (t.size() > program.size() && t.substr(t.size() - program.size()) == program &&
          t[t.size() - program.size() - 1] == '/');
}

bool assignment(std::string_view word) {
  const std::size_t equals = word.find('=');
  if (equals == 0 || equals == std::string_view::npos)
    return false;
  if (std::isdigit(static_cast<unsigned char>(word[0])))
    return false;
  return std::all_of(word.begin(), word.begin() + equals, word_char);
}

// One simple command: the words from `begin` to `end` (not included) of a command's words.
struct Simple {
  std::size_t begin = 0;
  std::size_t end = 0;
};

std::vector<Simple> simple_commands(const std::vector<Word>& words) {
  std::vector<Simple> out;
  std::size_t start = 0;
  for (std::size_t i = 0; i <= words.size(); ++i) {
    if (i == words.size() || words[i].op) {
      if (i > start) {
        out.push_back({start, i});
      }
      start = i + 1;
    }
  }
  return out;
}

// A kernelscope (or ks-probe) invocation within a simple command.
struct Invocation {
  std::size_t program = 0;  // index of the program's word
  std::size_t sub = 0;      // index of the subcommand's word; == program when none
  std::size_t end = 0;      // one past the simple command's last word
};

bool has_option(const std::vector<Word>& words, const Invocation& inv, std::string_view option) {
  for (std::size_t i = inv.program + 1; i < inv.end; ++i) {
    const std::string& t = words[i].text;
    if (t == option || (t.size() > option.size() && t.compare(0, option.size(), option) == 0 &&
                        t[option.size()] == '=')) {
      return true;
    }
  }
  return false;
}

struct Edit {
  std::size_t begin;
  std::size_t end;
  std::string text;
};

// Replaces the value of `option` (its next word, or after '='); false when it is not given.
bool set_value(const std::vector<Word>& words, const Invocation& inv, std::string_view option,
               const std::string& value, std::vector<Edit>& edits) {
  bool found = false;
  for (std::size_t i = inv.sub + 1; i < inv.end; ++i) {
    const Word& w = words[i];
    if (w.text == option && i + 1 < inv.end) {
      edits.push_back({words[i + 1].begin, words[i + 1].end, value});
      found = true;
    } else if (w.text.size() > option.size() && w.text.compare(0, option.size(), option) == 0 &&
               w.text[option.size()] == '=') {
      edits.push_back({w.begin, w.end, std::string(option) + "=" + value});
      found = true;
    }
  }
  return found;
}

void drop_word(const std::vector<Word>& words, const Invocation& inv, std::string_view option,
               std::vector<Edit>& edits) {
  for (std::size_t i = inv.sub + 1; i < inv.end; ++i) {
    if (words[i].text == option) {
      edits.push_back({words[i].begin, words[i].end, ""});
    }
  }
}

// The words that may come before a simple command's program.
bool before_program(std::string_view word) {
  static const std::set<std::string, std::less<>> prefixes = {"sudo",  "env",  "time",
                                                              "nohup", "exec", "!"};
  return assignment(word) || prefixes.count(word) > 0;
}

// The simple commands whose program is `program`.
std::vector<Invocation> invocations(const std::vector<Word>& words, std::string_view program) {
  std::vector<Invocation> out;
  for (const Simple& s : simple_commands(words)) {
    std::size_t i = s.begin;
    while (i < s.end && before_program(words[i].text)) {
      ++i;
    }
    if (i < s.end && names(words[i], program)) {
      Invocation inv{i, i, s.end};
      if (i + 1 < s.end && words[i + 1].text[0] != '-') {
        inv.sub = i + 1;
      }
      out.push_back(inv);
    }
  }
  return out;
}

std::string apply(std::string_view code, std::vector<Edit> edits) {
  std::sort(edits.begin(), edits.end(), [](const Edit& a, const Edit& b) {
    return std::tie(a.begin, a.end) > std::tie(b.begin, b.end);
  });
  std::string s(code);
  for (const Edit& e : edits) {
    s.replace(e.begin, e.end - e.begin, e.text);
  }
  return s;
}

std::string subcommand(const std::vector<Word>& words, const Invocation& inv) {
  return inv.sub == inv.program ? std::string() : words[inv.sub].text;
}

}  // namespace

std::string small_scale(std::string_view code, int status, bool probe) {
  const std::vector<Word> words = shell_words(code);
  std::vector<Edit> edits;
  for (const Invocation& inv : invocations(words, "kernelscope")) {
    const std::string sub = subcommand(words, inv);
    std::string added;
    if (has_option(words, inv, "--help")) {
      continue;
    }
    if (sub == "sweep" || sub == "tour") {
      if (status == 0 && !has_option(words, inv, "--dry-run")) {
        if (sub == "sweep") {
          if (!set_value(words, inv, "--sizes", "16", edits)) {
            added += " --sizes 16";
          }
          if (!set_value(words, inv, "--repeat", "2", edits)) {
            added += " --repeat 2";
          }
          if (!set_value(words, inv, "--warmup", "0", edits)) {
            added += " --warmup 0";
          }
        } else if (!set_value(words, inv, "--scale", "0.01", edits)) {
          added += " --scale 0.01";
        }
      }
      if (!probe) {
        drop_word(words, inv, "--reprobe", edits);
        if (!has_option(words, inv, "--no-probe") && !has_option(words, inv, "--ceilings")) {
          added += " --no-probe";
        }
      }
    } else if (sub == "probe" && !has_option(words, inv, "--quick")) {
      added += " --quick";
    }
    if (!added.empty()) {
      edits.push_back({words[inv.sub].end, words[inv.sub].end, added});
    }
  }
  for (const Invocation& inv : invocations(words, "ks-probe")) {
    if (!has_option(words, inv, "--quick") && !has_option(words, inv, "--help")) {
      edits.push_back({words[inv.program].end, words[inv.program].end, " --quick"});
    }
  }
  return apply(code, std::move(edits));
}

std::string dry_run(std::string_view code, int status) {
  if (status != 0) {
    return "";
  }
  const std::vector<Word> words = shell_words(code);
  std::vector<Simple> simples = simple_commands(words);
  std::string out;
  for (const Invocation& inv : invocations(words, "kernelscope")) {
    const std::string sub = subcommand(words, inv);
    static constexpr std::string_view kNotPlanned[] = {"--dry-run", "--resume", "--force",
                                                       "--slurm", "--help"};
    if ((sub != "sweep" && sub != "tour") ||
        std::any_of(std::begin(kNotPlanned), std::end(kNotPlanned),
                    [&](std::string_view o) { return has_option(words, inv, o); })) {
      continue;
    }
    const auto simple = std::find_if(simples.begin(), simples.end(), [&](const Simple& s) {
      return s.begin <= inv.program && inv.program < s.end;
    });
    std::vector<Edit> edits;
    std::string added = " --dry-run";
    drop_word(words, inv, "--reprobe", edits);
    if (!has_option(words, inv, "--no-probe") && !has_option(words, inv, "--ceilings")) {
      added += " --no-probe";
    }
    edits.push_back({words[inv.sub].end, words[inv.sub].end, added});
    const std::size_t from = words[simple->begin].begin;
    const std::size_t to = words[simple->end - 1].end;
    for (Edit& e : edits) {
      e.begin -= from;
      e.end -= from;
    }
    if (!out.empty()) {
      out += " &&\n";
    }
    out += apply(code.substr(from, to - from), std::move(edits));
  }
  return out;
}

std::vector<std::string> programs_of(std::string_view code) {
  static const std::set<std::string, std::less<>> builtins = {
      "export", "cd", "echo", "printf", "true", "false", "test", "[", "set", "unset", ":", "read"};
  const std::vector<Word> words = shell_words(code);
  std::vector<std::string> out;
  for (const Simple& s : simple_commands(words)) {
    for (std::size_t i = s.begin; i < s.end; ++i) {
      const std::string& t = words[i].text;
      if (before_program(t)) {
        continue;
      }
      if (builtins.count(t) == 0) {
        out.push_back(t);
      }
      break;
    }
  }
  return out;
}

std::vector<std::string> presets_of(std::string_view code) {
  const std::vector<Word> words = shell_words(code);
  std::vector<std::string> out;
  for (const Simple& s : simple_commands(words)) {
    std::string kind = "configure";
    if (s.begin < s.end && names(words[s.begin], "ctest")) {
      kind = "test";
    }
    for (std::size_t i = s.begin; i < s.end; ++i) {
      if (words[i].text == "--build") {
        kind = "build";
      } else if (words[i].text == "--workflow") {
        kind = "workflow";
      }
    }
    for (std::size_t i = s.begin; i < s.end; ++i) {
      const std::string& t = words[i].text;
      if (t == "--preset" && i + 1 < s.end) {
        out.push_back(kind + " " + words[i + 1].text);
      } else if (t.rfind("--preset=", 0) == 0) {
        out.push_back(kind + " " + t.substr(9));
      }
    }
  }
  return out;
}

}  // namespace ks::docs
