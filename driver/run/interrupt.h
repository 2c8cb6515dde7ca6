// Interruption of a measuring command: SIGINT, SIGTERM and SIGHUP stop it in order. The first
// one makes stop_fd() readable (the runner ends the running program's group and starts no other
// run; the command then keeps what it measured, writes its files and says how to resume).
// Signals that come within kTogetherMs of the first are the same interruption and change
// nothing; a later one ends the process at once, by that signal. A store that is being written
// stays consistent either way: each run is its own transaction. A signal ignored when the driver
// started (nohup) stays ignored.
#pragma once

namespace ks::driver {

class Interruption {
 public:
  Interruption();   // installs the handlers
  ~Interruption();  // puts the previous ones back
  Interruption(const Interruption&) = delete;
  Interruption& operator=(const Interruption&) = delete;

  // Signals this close after the first are part of it: `timeout -s INT` sends its signal to the
  // driver and then to the driver's process group, a second copy microseconds later.
  static constexpr int kTogetherMs = 1000;

  int stop_fd() const;  // readable once a signal came
  int signal() const;   // the first signal that came; 0: none
  // The conventional status of a command ended by that signal: 128 + its number.
  int status() const { return 128 + signal(); }
};

}  // namespace ks::driver
