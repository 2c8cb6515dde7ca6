// The example commands of the documentation: found in the Markdown files, and turned into the
// commands a test runs at a small scale.
//
// An example is a fenced block whose info string is a shell language followed by the word
// `example` and, optionally, attributes:
//
//   ```sh example                       every command is run and must end with status 0
//   ```sh example status=2              ... with status 2
//   ```sh example not-run="REASON"      not run (counted, with its reason); its programs and
//                                        presets must exist
//   ```sh example needs=sbatch,munge    skipped, counted, when one of these is not installed
//   ```sh example cleanup="COMMAND"     COMMAND runs after the block, whatever happened in it
//   ```sh example plan-only="REASON"    its sweeps and tours are planned (--dry-run) at full
//                                        size, not run (counted, with the reason); its other
//                                        commands run
//   ```sh example probe                 the block measures the machine: no --no-probe added
//   ```sh example timeout=120           seconds the block may take (default 120)
//   ```console example                  only the lines after a "$ " prompt are commands
//
// In a `sh` block every line is a command, except blank lines and comments; a line that ends
// inside quotes or with a backslash goes on on the next line. A command whose comment says
// "status N" must end with status N.
//
// A block of a shell language without `example`, and a code block indented instead of fenced,
// are errors: every command in the documentation is either run or counted as not run.
#pragma once

#include <string>
#include <string_view>
#include <vector>

namespace ks::docs {

struct Command {
  int line = 0;         // of its first line in the file, from 1
  std::string code;     // what the shell runs: its lines, comments taken out
  std::string comment;  // its comments' text, without the '#'
  int status = 0;       // the status it must end with
};

struct Block {
  int line = 0;                    // of the opening fence, from 1
  std::string language;            // sh, console, ...
  std::string not_run;             // why its commands are not run; empty when they are
  std::string plan_only;           // why its sweeps and tours are only planned
  std::vector<std::string> needs;  // programs without which it is skipped
  std::string cleanup;             // run after the block, pass or fail
  bool probe = false;              // the block's commands may measure the machine
  double timeout_seconds = 120;
  std::vector<Command> commands;
};

struct Document {
  std::vector<Block> examples;      // the marked blocks, in the order of the file
  std::vector<std::string> errors;  // "LINE: what is wrong", one each
};

Document parse_document(std::string_view markdown);

// Splits the lines of a block into its commands; `prompt` for a console transcript. `first_line`
// is the file's line number of the first of `lines`. Adds to `errors` a command left open at
// the end of the block.
std::vector<Command> split_commands(const std::vector<std::string>& lines, int first_line,
                                    bool prompt, int block_status,
                                    std::vector<std::string>& errors);

// Where a command runs in the test.
struct Place {
  std::string source;  // the checkout: scripts/ and .ci/ are found there
  std::string build;   // the build tree: build/<preset>/ of a command stands for it
  std::string work;    // the working folder: /shared/ of a command stands for work/shared/
  std::string tmp;     // what /tmp/ of a command stands for: a short path, since a socket's
                       // path (munge's, of a private Slurm cluster) is at most 107 bytes
};

// True when every character of a path can go into a command as it is (no quoting needed).
bool plain_path(std::string_view path);

// The command with its paths moved to `place`.
std::string with_paths(std::string_view code, const Place& place);

// The words of a command as a shell splits them, with their positions in `code`; the
// operators (&&, ||, ;, |, &, parentheses, line breaks) are words of their own.
struct Word {
  std::size_t begin = 0;
  std::size_t end = 0;
  std::string text;  // as written, quotes included
  bool op = false;
};
std::vector<Word> shell_words(std::string_view code);

// The command at a small scale: each kernelscope sweep gets 16 as its sizes, 2 measured runs and
// no warm-up, a tour the smallest scale, a probe (kernelscope probe, ks-probe) its quick mode,
// and a sweep or tour no probe unless `probe`. A command that must fail keeps its sizes and
// counts, so that what it is refused for stays.
std::string small_scale(std::string_view code, int status, bool probe);

// The kernelscope sweeps and tours of a command as written, each with --dry-run: their lists
// and plans checked at full size, nothing run. Empty when the command holds none that can be
// planned so (a resume, a replacement, a Slurm job, one that must fail).
std::string dry_run(std::string_view code, int status);

// The programs a command starts (the first word of each of its simple commands, after
// variable assignments and sudo), and the CMake presets it names (`--preset NAME`).
std::vector<std::string> programs_of(std::string_view code);
std::vector<std::string> presets_of(std::string_view code);

}  // namespace ks::docs
