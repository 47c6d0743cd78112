#include "support/xvfb.h"

#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>
#include <xcb/xcb.h>

#include <chrono>
#include <stdexcept>
#include <thread>

namespace pellora::test {

namespace {

constexpr int kStartTimeoutMs = 20'000;

bool accepts(const std::string& display) {
  xcb_connection_t* c = xcb_connect(display.c_str(), nullptr);
  const bool ok = xcb_connection_has_error(c) == 0;
  xcb_disconnect(c);
  return ok;
}

}  // namespace

// The server picks a free display number itself (-displayfd) and writes it once it listens, which avoids
// racing other tests or helpers for a number.
Xvfb::Xvfb(int width, int height, std::vector<std::string> extraArguments) {
  int fds[2];
  if (pipe(fds) != 0) throw std::runtime_error("Xvfb: pipe failed");
  std::vector<std::string> args = {
      "Xvfb",       "-displayfd", std::to_string(fds[1]),
      "-screen",    "0",          std::to_string(width) + "x" + std::to_string(height) + "x24",
      "-nolisten",  "tcp",        "-noreset",
      "+extension", "RANDR"};
  args.insert(args.end(), extraArguments.begin(), extraArguments.end());
  std::vector<char*> argv;  // built before fork: the child of a threaded process must not allocate
  for (auto& a : args) argv.push_back(a.data());
  argv.push_back(nullptr);
  fcntl(fds[0], F_SETFD, FD_CLOEXEC);

  pid_ = fork();
  if (pid_ < 0) throw std::runtime_error("Xvfb: fork failed");
  if (pid_ == 0) {
    const int devNull = open("/dev/null", O_WRONLY);
    if (devNull >= 0) {
      dup2(devNull, STDOUT_FILENO);
      dup2(devNull, STDERR_FILENO);
    }
    execvp("Xvfb", argv.data());
    _exit(127);
  }
  close(fds[1]);

  std::string number;
  const auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(kStartTimeoutMs);
  while (number.empty() || number.back() != '\n') {
    pollfd p{fds[0], POLLIN, 0};
    const auto left =
        std::chrono::duration_cast<std::chrono::milliseconds>(deadline - std::chrono::steady_clock::now());
    char buffer[16];
    ssize_t n = 0;
    if (left.count() <= 0 || poll(&p, 1, static_cast<int>(left.count())) <= 0 ||
        (n = read(fds[0], buffer, sizeof buffer)) <= 0) {
      close(fds[0]);
      kill();
      throw std::runtime_error("Xvfb did not start (is it installed?)");
    }
    number.append(buffer, static_cast<std::size_t>(n));
  }
  close(fds[0]);
  display_ = ":" + number.substr(0, number.size() - 1);
  while (!accepts(display_)) {
    if (std::chrono::steady_clock::now() > deadline) {
      kill();
      throw std::runtime_error("Xvfb " + display_ + " does not accept connections");
    }
    std::this_thread::sleep_for(std::chrono::milliseconds(20));
  }
}

Xvfb::~Xvfb() { kill(); }

void Xvfb::kill() {
  if (pid_ <= 0) return;
  ::kill(pid_, SIGTERM);
  for (int i = 0; i < 200; ++i) {
    if (waitpid(pid_, nullptr, WNOHANG) == pid_) {
      pid_ = -1;
      return;
    }
    std::this_thread::sleep_for(std::chrono::milliseconds(10));
  }
  ::kill(pid_, SIGKILL);
  waitpid(pid_, nullptr, 0);
  pid_ = -1;
}

}  // namespace pellora::test
