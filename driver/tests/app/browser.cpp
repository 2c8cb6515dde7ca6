#include "driver/tests/app/browser.h"

#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <sys/prctl.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <stdexcept>
#include <thread>

extern char** environ;

namespace ks::driver::test {
namespace {

namespace fs = std::filesystem;

double now() {
  return std::chrono::duration<double>(std::chrono::steady_clock::now().time_since_epoch()).count();
}

std::string base64_decode(const std::string& text) {
  auto value = [](char c) -> int {
    if (c >= 'A' && c <= 'Z') {
      return c - 'A';
    }
    if (c >= 'a' && c <= 'z') {
      return c - 'a' + 26;
    }
    if (c >= '0' && c <= '9') {
      return c - '0' + 52;
    }
    return c == '+' ? 62 : c == '/' ? 63 : -1;
  };
  std::string out;
  unsigned bits = 0;
  int count = 0;
  for (char c : text) {
    const int v = value(c);
    if (v < 0) {
      continue;  // padding
    }
    bits = (bits << 6) | static_cast<unsigned>(v);
    count += 6;
    if (count >= 8) {
      count -= 8;
      out += static_cast<char>((bits >> count) & 0xFF);
    }
  }
  return out;
}

// True once `pid` has ended (without reaping it, so that its process group stays ours).
bool ended(pid_t pid) {
  siginfo_t info{};
  return waitid(P_PID, static_cast<id_t>(pid), &info, WEXITED | WNOHANG | WNOWAIT) == 0 &&
         info.si_pid == pid;
}

}  // namespace

std::string find_chromium() {
  const char* path = std::getenv("PATH");
  std::stringstream dirs(path != nullptr ? path : "");
  std::string dir;
  while (std::getline(dirs, dir, ':')) {
    for (const char* name : {"chromium", "chromium-browser"}) {
      const std::string candidate = (dir.empty() ? "." : dir) + "/" + name;
      if (access(candidate.c_str(), X_OK) == 0) {
        return candidate;
      }
    }
  }
  return "";
}

std::vector<pid_t> processes_naming(const std::string& text) {
  std::vector<pid_t> pids;
  std::error_code ec;
  for (const auto& entry : fs::directory_iterator("/proc", ec)) {
    const std::string name = entry.path().filename().string();
    if (name.find_first_not_of("0123456789") != std::string::npos) {
      continue;
    }
    std::ifstream in(entry.path() / "cmdline", std::ios::binary);
    const std::string cmdline((std::istreambuf_iterator<char>(in)), {});
    if (cmdline.find(text) != std::string::npos) {
      pids.push_back(static_cast<pid_t>(std::stol(name)));
    }
  }
  return pids;
}

Browser::Browser(const std::string& executable) {
  char templ[] = "/tmp/ks-chromium-XXXXXX";
  if (mkdtemp(templ) == nullptr) {
    problem_ = std::string("cannot make a temporary folder: ") + std::strerror(errno);
    return;
  }
  folder_ = templ;
  for (const char* sub : {"profile", "home", "config", "cache", "tmp"}) {
    fs::create_directories(folder_ + "/" + sub);
  }
  // Everything chromium keeps goes under the folder, so that every process it starts names it.
  std::vector<std::string> args = {executable,
                                   "--headless",
                                   "--no-sandbox",
                                   "--disable-gpu",
                                   "--disable-quic",
                                   "--no-first-run",
                                   "--disable-background-networking",
                                   "--disable-component-update",
                                   "--disable-sync",
                                   "--disable-crash-reporter",
                                   "--hide-scrollbars",
                                   "--user-data-dir=" + folder_ + "/profile",
                                   "--remote-debugging-pipe",
                                   "about:blank"};
  std::vector<std::string> env;
  for (char** e = environ; *e != nullptr; ++e) {
    const std::string entry = *e;
    if (entry.rfind("HOME=", 0) != 0 && entry.rfind("XDG_CONFIG_HOME=", 0) != 0 &&
        entry.rfind("XDG_CACHE_HOME=", 0) != 0 && entry.rfind("TMPDIR=", 0) != 0) {
      env.push_back(entry);
    }
  }
  env.push_back("HOME=" + folder_ + "/home");
  env.push_back("XDG_CONFIG_HOME=" + folder_ + "/config");
  env.push_back("XDG_CACHE_HOME=" + folder_ + "/cache");
  // Its sockets too: a socket's path holds at most 107 bytes, which the test's own temporary
  // folder inside a deep build tree can pass.
  env.push_back("TMPDIR=" + folder_ + "/tmp");
  std::vector<char*> argv;
  for (std::string& a : args) {
    argv.push_back(a.data());
  }
  argv.push_back(nullptr);
  std::vector<char*> envp;
  for (std::string& e : env) {
    envp.push_back(e.data());
  }
  envp.push_back(nullptr);
  const std::string log = folder_ + "/chromium.log";

  int sv[2];
  if (socketpair(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0, sv) != 0) {
    problem_ = std::string("socketpair: ") + std::strerror(errno);
    return;
  }
  const pid_t pid = fork();
  if (pid < 0) {
    problem_ = std::string("fork: ") + std::strerror(errno);
    close(sv[0]);
    close(sv[1]);
    return;
  }
  if (pid == 0) {
    // The child: a process group of its own, killed with us, the socket as fds 3 (commands in)
    // and 4 (replies out), its messages into the log. Only async-signal-safe calls until exec.
    setpgid(0, 0);
    prctl(PR_SET_PDEATHSIG, SIGKILL);
    const int high = fcntl(sv[1], F_DUPFD, 10);
    const int out = ::open(log.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0600);
    const int null = ::open("/dev/null", O_RDONLY);
    if (high < 0 || out < 0 || null < 0 || dup2(high, 3) < 0 || dup2(high, 4) < 0 ||
        dup2(out, 1) < 0 || dup2(out, 2) < 0 || dup2(null, 0) < 0) {
      _exit(127);
    }
    execve(argv[0], argv.data(), envp.data());
    _exit(127);
  }
  setpgid(pid, pid);  // as the child does, so that neither order of the two can race
  pid_ = pid;
  close(sv[1]);
  socket_ = sv[0];
}

Browser::~Browser() {
  stop();
  if (!folder_.empty()) {
    std::error_code ec;
    fs::remove_all(folder_, ec);
  }
}

void Browser::stop() {
  if (pid_ > 0) {
    if (socket_ >= 0) {
      try {
        call("Browser.close", nlohmann::json::object(), "", now() + 5);
      } catch (const std::exception&) {
        // Gone already, or not answering: the group is ended below either way.
      }
    }
    const double deadline = now() + 5;
    while (!ended(pid_) && now() < deadline) {
      std::this_thread::sleep_for(std::chrono::milliseconds(20));
    }
    // The leader is not reaped yet, so the group is still ours: end what is left of it.
    kill(-pid_, SIGKILL);
    int status = 0;
    waitpid(pid_, &status, 0);
    pid_ = -1;
  }
  if (socket_ >= 0) {
    close(socket_);
    socket_ = -1;
  }
  // Processes that left the group but name the folder were started by this browser.
  if (!folder_.empty()) {
    const double deadline = now() + 5;
    for (std::vector<pid_t> left = processes_naming(folder_); !left.empty() && now() < deadline;
         left = processes_naming(folder_)) {
      for (pid_t p : left) {
        kill(p, SIGKILL);
      }
      std::this_thread::sleep_for(std::chrono::milliseconds(20));
    }
  }
}

nlohmann::json Browser::receive(double deadline) {
  for (;;) {
    const std::size_t end = buffer_.find('\0');
    if (end != std::string::npos) {
      nlohmann::json message = nlohmann::json::parse(buffer_.substr(0, end));
      buffer_.erase(0, end + 1);
      return message;
    }
    const double left = deadline - now();
    if (left <= 0) {
      throw std::runtime_error("the browser did not answer in time");
    }
    pollfd p{socket_, POLLIN, 0};
    const int ready = poll(&p, 1, static_cast<int>(left * 1000) + 1);
    if (ready < 0 && errno != EINTR) {
      throw std::runtime_error(std::string("poll: ") + std::strerror(errno));
    }
    if (ready <= 0) {
      continue;
    }
    char chunk[65536];
    const ssize_t n = read(socket_, chunk, sizeof chunk);
    if (n == 0) {
      throw std::runtime_error("the browser closed its end");
    }
    if (n < 0 && errno != EINTR && errno != EAGAIN) {
      throw std::runtime_error(std::string("read: ") + std::strerror(errno));
    }
    if (n > 0) {
      buffer_.append(chunk, static_cast<std::size_t>(n));
    }
  }
}

nlohmann::json Browser::call(const std::string& method, const nlohmann::json& params,
                             const std::string& session, double deadline) {
  const int id = ++next_id_;
  nlohmann::json message = {{"id", id}, {"method", method}, {"params", params}};
  if (!session.empty()) {
    message["sessionId"] = session;
  }
  std::string text = message.dump();
  text += '\0';
  for (std::size_t sent = 0; sent < text.size();) {
    const ssize_t n = send(socket_, text.data() + sent, text.size() - sent, MSG_NOSIGNAL);
    if (n < 0 && errno != EINTR) {
      throw std::runtime_error(std::string("send: ") + std::strerror(errno));
    }
    sent += n > 0 ? static_cast<std::size_t>(n) : 0;
  }
  for (;;) {
    nlohmann::json reply = receive(deadline);
    if (reply.contains("id") && reply["id"] == id) {
      if (reply.contains("error")) {
        throw std::runtime_error(method + ": " + reply["error"].dump());
      }
      return reply.value("result", nlohmann::json::object());
    }
    events_.push_back(std::move(reply));
  }
}

PageReport Browser::open(const std::string& url, int width, const std::string& expression,
                         const std::string& screenshot, double timeout_seconds) {
  PageReport report;
  if (!problem_.empty()) {
    report.problem = problem_;
    return report;
  }
  const double deadline = now() + timeout_seconds;
  std::string target;
  try {
    events_.clear();
    target = call("Target.createTarget", {{"url", "about:blank"}}, "", deadline)["targetId"];
    const std::string session =
        call("Target.attachToTarget", {{"targetId", target}, {"flatten", true}}, "",
             deadline)["sessionId"];
    for (const char* domain : {"Runtime.enable", "Log.enable", "Network.enable", "Page.enable"}) {
      call(domain, nlohmann::json::object(), session, deadline);
    }
    call("Emulation.setDeviceMetricsOverride",
         {{"width", width}, {"height", 900}, {"deviceScaleFactor", 1}, {"mobile", false}}, session,
         deadline);
    const nlohmann::json navigated = call("Page.navigate", {{"url", url}}, session, deadline);
    if (navigated.contains("errorText")) {
      throw std::runtime_error("cannot open " + url + ": " + navigated["errorText"].dump());
    }
    auto loaded = [&] {
      for (const nlohmann::json& e : events_) {
        if (e.value("method", "") == "Page.loadEventFired" && e.value("sessionId", "") == session) {
          return true;
        }
      }
      return false;
    };
    while (!loaded()) {
      events_.push_back(receive(deadline));
    }
    if (!screenshot.empty()) {
      const nlohmann::json metrics =
          call("Page.getLayoutMetrics", nlohmann::json::object(), session, deadline);
      const nlohmann::json& size = metrics["cssContentSize"];
      const double page_width = std::max<double>(size.value("width", 0.0), width);
      const double page_height = std::min(size.value("height", 900.0), 16000.0);
      const nlohmann::json shot = call(
          "Page.captureScreenshot",
          {{"format", "png"},
           {"captureBeyondViewport", true},
           {"clip",
            {{"x", 0}, {"y", 0}, {"width", page_width}, {"height", page_height}, {"scale", 1}}}},
          session, deadline);
      std::ofstream out(screenshot, std::ios::binary | std::ios::trunc);
      out << base64_decode(shot.value("data", ""));
      if (!out) {
        report.problem = "cannot write " + screenshot;
      }
    }
    const nlohmann::json evaluated =
        call("Runtime.evaluate", {{"expression", expression}, {"returnByValue", true}}, session,
             deadline);
    if (evaluated.contains("exceptionDetails")) {
      report.problem = "the check threw: " + evaluated["exceptionDetails"].dump();
    } else {
      report.value = evaluated["result"].value("value", nlohmann::json());
    }
    // One more round trip, so that whatever the expression's clicks reported has arrived.
    call("Runtime.evaluate", {{"expression", "0"}}, session, deadline);
    for (const nlohmann::json& e : events_) {
      if (e.value("sessionId", "") != session) {
        continue;
      }
      const std::string method = e.value("method", "");
      const nlohmann::json& params = e.contains("params") ? e["params"] : nlohmann::json::object();
      if (method == "Runtime.exceptionThrown") {
        const nlohmann::json& details = params["exceptionDetails"];
        std::string text = details.value("text", "exception");
        if (details.contains("exception") && details["exception"].contains("description")) {
          text += " " + details["exception"]["description"].get<std::string>();
        }
        report.errors.push_back(text);
      } else if (method == "Runtime.consoleAPICalled" &&
                 (params.value("type", "") == "error" || params.value("type", "") == "assert")) {
        report.errors.push_back("console." + params.value("type", "") + ": " +
                                params["args"].dump());
      } else if (method == "Log.entryAdded" && params["entry"].value("level", "") == "error") {
        report.errors.push_back("log: " + params["entry"].value("text", "") + " " +
                                params["entry"].value("url", ""));
      } else if (method == "Network.requestWillBeSent") {
        report.requests.push_back(params["request"].value("url", ""));
      }
    }
    call("Target.closeTarget", {{"targetId", target}}, "", deadline);
  } catch (const std::exception& e) {
    report.problem = e.what();
    std::ifstream log(folder_ + "/chromium.log");
    const std::string text((std::istreambuf_iterator<char>(log)), {});
    report.problem +=
        "; the browser's log ends: " + text.substr(text.size() > 1500 ? text.size() - 1500 : 0);
  }
  return report;
}

}  // namespace ks::driver::test
