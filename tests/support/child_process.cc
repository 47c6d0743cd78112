#include "support/child_process.h"

#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <stdexcept>
#include <thread>

extern char** environ;

namespace pellora::test {

ChildProcess::ChildProcess(const std::string& program, const std::vector<std::string>& args, bool pipeInput) {
  int pipeFds[2];
  if (pipe2(pipeFds, O_CLOEXEC) != 0) throw std::runtime_error("pipe failed");  // the dup2 below clears it in the child
  int inputFds[2] = {-1, -1};
  if (pipeInput && pipe2(inputFds, O_CLOEXEC) != 0) throw std::runtime_error("pipe failed");
  if (pipeInput) ::signal(SIGPIPE, SIG_IGN);  // a child that died fails writeLine instead of killing the test
  posix_spawn_file_actions_t actions;
  posix_spawn_file_actions_init(&actions);
  if (pipeInput) posix_spawn_file_actions_adddup2(&actions, inputFds[0], STDIN_FILENO);
  posix_spawn_file_actions_adddup2(&actions, pipeFds[1], STDOUT_FILENO);
  posix_spawn_file_actions_addclose(&actions, pipeFds[0]);
  std::vector<char*> argv;
  argv.push_back(const_cast<char*>(program.c_str()));
  for (const auto& a : args) argv.push_back(const_cast<char*>(a.c_str()));
  argv.push_back(nullptr);
  const int rc = posix_spawn(&pid_, program.c_str(), &actions, nullptr, argv.data(), environ);
  posix_spawn_file_actions_destroy(&actions);
  close(pipeFds[1]);
  stdout_ = pipeFds[0];
  if (pipeInput) {
    close(inputFds[0]);
    stdin_ = inputFds[1];
  }
  if (rc != 0) throw std::runtime_error("cannot start " + program);
}

ChildProcess::~ChildProcess() {
  // A polite stop first: a process that exits on its own writes what it must at exit (the coverage build's
  // counters included); one that does not stop in time is killed.
  if (!status_ && pid_ > 0) {
    kill(pid_, SIGTERM);
    if (!wait(std::chrono::seconds(3))) {
      kill(pid_, SIGKILL);
      waitpid(pid_, nullptr, 0);
    }
  }
  if (stdout_ >= 0) close(stdout_);
  if (stdin_ >= 0) close(stdin_);
}

bool ChildProcess::writeLine(const std::string& line) {
  if (stdin_ < 0) return false;
  const std::string text = line + "\n";
  for (std::size_t done = 0; done < text.size();) {
    const ssize_t n = write(stdin_, text.data() + done, text.size() - done);
    if (n <= 0) return false;
    done += static_cast<std::size_t>(n);
  }
  return true;
}

std::optional<std::string> ChildProcess::readLine(std::chrono::milliseconds timeout) {
  const auto deadline = std::chrono::steady_clock::now() + timeout;
  for (;;) {
    if (auto nl = buffered_.find('\n'); nl != std::string::npos) {
      std::string line = buffered_.substr(0, nl);
      buffered_.erase(0, nl + 1);
      return line;
    }
    const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(deadline - std::chrono::steady_clock::now());
    if (left.count() <= 0) return std::nullopt;
    pollfd p{stdout_, POLLIN, 0};
    if (poll(&p, 1, static_cast<int>(left.count())) <= 0) return std::nullopt;
    char chunk[4096];
    ssize_t n = read(stdout_, chunk, sizeof chunk);
    if (n <= 0) return std::nullopt;
    buffered_.append(chunk, static_cast<std::size_t>(n));
  }
}

void ChildProcess::signal(int sig) {
  if (!status_) kill(pid_, sig);
}

std::optional<int> ChildProcess::wait(std::chrono::milliseconds timeout) {
  const auto deadline = std::chrono::steady_clock::now() + timeout;
  while (!status_) {
    int raw = 0;
    pid_t r = waitpid(pid_, &raw, WNOHANG);
    if (r == pid_) {
      status_ = WIFEXITED(raw) ? WEXITSTATUS(raw) : 128 + WTERMSIG(raw);
      break;
    }
    if (std::chrono::steady_clock::now() >= deadline) return std::nullopt;
    std::this_thread::sleep_for(std::chrono::milliseconds(5));
  }
  return status_;
}

}  // namespace pellora::test
