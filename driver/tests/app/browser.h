// A headless chromium for the tests, driven through its DevTools protocol over a socket it
// inherits (--remote-debugging-pipe): pages opened at an exact viewport width (the command
// line's --window-size stops at 500 pixels), their uncaught exceptions, console errors and
// requests collected, an expression evaluated in them, whole-page screenshots. No network port
// is opened and nothing is fetched.
//
// Each Browser is one chromium in a process group of its own, with its profile, home and caches
// in a new temporary folder. The destructor ends the group, then every process whose command
// line names the folder (its crash handlers leave the group), and removes the folder, whether
// the test passed or not. It never signals a process it did not start.
#pragma once

#include <sys/types.h>

#include <string>
#include <vector>

#include <nlohmann/json.hpp>

namespace ks::driver::test {

// The chromium executable on PATH ("chromium", "chromium-browser"), or "" when there is none.
std::string find_chromium();

// Processes whose command line contains `text`.
std::vector<pid_t> processes_naming(const std::string& text);

struct PageReport {
  std::string problem;                // why the page could not be examined; empty when it was
  std::vector<std::string> errors;    // uncaught exceptions, console errors, error log entries
  std::vector<std::string> requests;  // every URL the page asked for, itself included
  nlohmann::json value;               // what the expression evaluated to
};

class Browser {
 public:
  explicit Browser(const std::string& executable);
  ~Browser();
  Browser(const Browser&) = delete;
  Browser& operator=(const Browser&) = delete;

  // Why the browser could not be started; empty when it runs.
  const std::string& problem() const { return problem_; }
  // Its temporary folder (gone once the Browser is).
  const std::string& folder() const { return folder_; }

  // Opens `url` in a new tab `width` CSS pixels wide, waits for its load event, writes the whole
  // page as it then looks to `screenshot` (unless empty) as PNG, and evaluates `expression`
  // (whose value must be JSON). Gives up after `timeout_seconds`.
  PageReport open(const std::string& url, int width, const std::string& expression,
                  const std::string& screenshot, double timeout_seconds = 60);

 private:
  // Sends a command and returns its reply, keeping the events that arrive meanwhile; throws
  // std::runtime_error when the browser is gone or does not answer in time.
  nlohmann::json call(const std::string& method, const nlohmann::json& params,
                      const std::string& session, double deadline);
  nlohmann::json receive(double deadline);
  void stop();

  std::string folder_;
  std::string problem_;
  pid_t pid_ = -1;
  int socket_ = -1;
  int next_id_ = 0;
  std::string buffer_;
  std::vector<nlohmann::json> events_;
};

}  // namespace ks::driver::test
