#pragma once

// Runs one of our executables as a real process for integration tests: arguments, standard output read
// line by line (with a timeout), signals, and the exit status. A process the test forgets is stopped with
// SIGTERM, and killed if it does not exit within 3 s.

#include <sys/types.h>

#include <chrono>
#include <optional>
#include <string>
#include <vector>

namespace pellora::test {

class ChildProcess {
 public:
  // With `pipeInput` the child reads its standard input from writeLine; otherwise it inherits ours.
  ChildProcess(const std::string& program, const std::vector<std::string>& args, bool pipeInput = false);
  ~ChildProcess();
  ChildProcess(const ChildProcess&) = delete;
  ChildProcess& operator=(const ChildProcess&) = delete;

  // The next line of standard output (without the line feed); nullopt at end of output or timeout.
  std::optional<std::string> readLine(std::chrono::milliseconds timeout = std::chrono::seconds(10));
  // Writes one line to the child's standard input (a piped one only); false when it cannot.
  bool writeLine(const std::string& line);
  void signal(int sig);
  // Waits for the exit; the exit status, 128 + signal number when killed, or nullopt on timeout.
  std::optional<int> wait(std::chrono::milliseconds timeout = std::chrono::seconds(10));
  pid_t pid() const { return pid_; }

 private:
  pid_t pid_ = -1;
  int stdout_ = -1;
  int stdin_ = -1;
  std::string buffered_;
  std::optional<int> status_;
};

}  // namespace pellora::test
