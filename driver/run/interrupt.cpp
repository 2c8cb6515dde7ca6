#include "driver/run/interrupt.h"

#include <fcntl.h>
#include <unistd.h>

#include <cerrno>
#include <csignal>
#include <ctime>
#include <stdexcept>

namespace ks::driver {
namespace {

constexpr int kSignals[] = {SIGINT, SIGTERM, SIGHUP};

volatile std::sig_atomic_t g_signal = 0;
// When the first signal came (CLOCK_MONOTONIC, in milliseconds, wrapped to the type's range).
volatile std::sig_atomic_t g_first_ms = 0;
int g_pipe[2] = {-1, -1};
struct sigaction g_previous[std::size(kSignals)];

int now_ms() {
  timespec t{};
  clock_gettime(CLOCK_MONOTONIC, &t);  // async-signal-safe
  return static_cast<int>((static_cast<long long>(t.tv_sec) * 1000 + t.tv_nsec / 1000000) &
                          0x3fffffff);
}

// Async-signal-safe: a flag, a byte into the pipe. A signal within kTogetherMs of the first is
// part of the same interruption (`timeout` signals the driver and then its whole group; a
// terminal's Ctrl-C reaches every process of the foreground group): ignored. A later one
// restores the default action and raises itself again, which ends the process once this handler
// returns.
void on_signal(int sig) {
  const int saved = errno;
  if (g_signal == 0) {
    g_signal = sig;
    g_first_ms = now_ms();
    (void)!write(g_pipe[1], "", 1);
  } else if (((now_ms() - g_first_ms) & 0x3fffffff) >= Interruption::kTogetherMs) {
    std::signal(sig, SIG_DFL);
    std::raise(sig);
  }
  errno = saved;
}

}  // namespace

Interruption::Interruption() {
  if (g_pipe[0] < 0 && pipe2(g_pipe, O_CLOEXEC | O_NONBLOCK) != 0) {
    throw std::runtime_error("cannot make the pipe that signals stop the runs with");
  }
  g_signal = 0;
  struct sigaction action {};
  action.sa_handler = on_signal;
  sigemptyset(&action.sa_mask);
  for (int s : kSignals) {
    sigaddset(&action.sa_mask, s);  // one handler at a time
  }
  for (std::size_t i = 0; i < std::size(kSignals); ++i) {
    // A signal ignored when we started (nohup, a background job's SIGINT) stays ignored.
    sigaction(kSignals[i], nullptr, &g_previous[i]);
    if (g_previous[i].sa_handler != SIG_IGN) {
      sigaction(kSignals[i], &action, nullptr);
    }
  }
}

Interruption::~Interruption() {
  // Once interrupted, the handler stays: the command is ending with the interruption's status,
  // and a signal of the same burst (`timeout` reaching the group a moment later) must not end it
  // before its files are written. A later one still ends it at once.
  for (std::size_t i = 0; i < std::size(kSignals) && g_signal == 0; ++i) {
    sigaction(kSignals[i], &g_previous[i], nullptr);
  }
  char buffer[16];
  while (read(g_pipe[0], buffer, sizeof buffer) > 0) {
  }
}

int Interruption::stop_fd() const {
  return g_pipe[0];
}

int Interruption::signal() const {
  return g_signal;
}

}  // namespace ks::driver
