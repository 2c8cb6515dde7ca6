// What a run of a catalogued program is given and what the driver concludes from it.
#pragma once

#include <optional>
#include <string>
#include <vector>

namespace ks::driver {

struct RunSpec {
  std::vector<std::string> args;  // the program's arguments, as passed
  int threads = 0;                // OMP_NUM_THREADS; 0: left unset
  std::string schedule;           // OMP_SCHEDULE; empty: left unset
  std::string bind;               // OMP_PROC_BIND; empty: left unset
  std::string places;             // OMP_PLACES; empty: left unset
};

// The verdict on one run's output.
struct Check {
  bool valid = false;
  std::string why;                        // one line, when !valid
  std::optional<double> printed_seconds;  // the time the program printed, if it prints one
};

// One iteration (or one item) of a demonstration, as the program reported it.
struct Cell {
  int thread = -1;                 // -1: the program does not say which thread
  long long column = 0;            // the iteration, or the column of a labelled item
  std::optional<long long> value;  // what the thread saw there (its running sum, a[i])
  int order = 0;                   // position among all items of the output
};

// A demonstration's run, parsed: who ran what, the values seen, and the verdict.
struct Trace {
  int team = 0;                            // T, the team size the run was given
  long long columns = 0;                   // columns 0 .. columns-1
  std::vector<std::string> column_labels;  // names of the columns when they are not iterations
  std::string value_label;                 // what Cell::value holds ("suma", "a[i]")
  std::vector<Cell> cells;
  std::vector<std::pair<int, long long>> thread_values;  // per-thread items: thread, value
  std::string thread_value_label;
  std::optional<long long> outside;  // the value main printed after the region
  std::string outside_label;
  std::string rule;                   // the rule checked, in words
  std::vector<std::string> problems;  // empty: the run follows the rule
  bool refused = false;               // the program refused its arguments, as it should
  std::string refusal;                // its message
};

}  // namespace ks::driver
