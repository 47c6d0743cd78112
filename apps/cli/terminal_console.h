#pragma once

// The terminal side of the command line: lines typed by the user (chat, or the answer to a question such
// as an approval), a terminal approval prompt, and a password read without echo.

#include <boost/asio/awaitable.hpp>
#include <boost/asio/posix/stream_descriptor.hpp>
#include <boost/asio/steady_timer.hpp>
#include <chrono>
#include <functional>
#include <iosfwd>
#include <memory>
#include <optional>
#include <string>

#include "base/network_thread.h"
#include "host/approval_prompt.h"

namespace pellora::cli {

// Reads lines from one file descriptor (standard input) without blocking a thread: an asio stream
// descriptor on the main strand. A line answers the pending question if there is one, else goes to
// `onLine`. Questions are asked only when the descriptor is a terminal a person reads (`interactive`).
// Lives on the main strand; owned by the command, shared with its read loop, which holds it until the
// descriptor reaches its end or `stop()` is called.
class TerminalConsole : public std::enable_shared_from_this<TerminalConsole> {
 public:
  using Strand = NetworkThread::Strand;

  // Takes a duplicate of `fd`. `out` receives the questions.
  static std::shared_ptr<TerminalConsole> make(Strand strand, int fd, bool interactive, std::ostream& out);
  // Standard input when it is a terminal of which we are the foreground job, a pipe or a socket (not
  // /dev/null or a file, which cannot be waited on); null otherwise. Interactive when it is a terminal.
  static std::shared_ptr<TerminalConsole> forStandardInput(Strand strand, std::ostream& out);

  // On the main strand.
  void start();
  void stop();
  bool canAsk() const { return interactive_ && !closed_; }

  // Prints `question` and waits for the next line, at most `timeout`. Nothing on time-out, at the end of
  // input, when the console cannot ask, or while another question is pending. Awaited on the main strand.
  boost::asio::awaitable<std::optional<std::string>> ask(std::string question, std::chrono::milliseconds timeout);

  std::function<void(const std::string&)> onLine;

 private:
  TerminalConsole(Strand strand, int fd, bool interactive, std::ostream& out);
  boost::asio::awaitable<void> readLoop();
  void deliver(std::string line);

  Strand strand_;
  boost::asio::posix::stream_descriptor descriptor_;
  bool interactive_;
  std::ostream& out_;
  bool closed_ = false;
  boost::asio::steady_timer* waiting_ = nullptr;  // the pending question's timer
  std::optional<std::string> answer_;
};

// Asks "allow?" on the terminal: "y"/"yes"/"e"/"evet" allow, anything else refuses, and so do silence for
// `timeout`, the end of input and the lack of a terminal. Used by the host service on the main strand.
class TerminalApprovalPrompt final : public ApprovalPrompt {
 public:
  explicit TerminalApprovalPrompt(std::shared_ptr<TerminalConsole> console,
                                  std::chrono::milliseconds limit = ApprovalPrompt::timeout)
      : console_(std::move(console)), timeout_(limit) {}

  boost::asio::awaitable<bool> run(std::string name, std::string system, std::string address) override;

  static bool isYes(std::string answer);

 private:
  std::shared_ptr<TerminalConsole> console_;
  std::chrono::milliseconds timeout_;
};

// One line typed on the terminal with echo off, after `prompt` on standard error; nothing when standard
// input is not a terminal of which we are the foreground job.
std::optional<std::string> readPasswordFromTerminal(const std::string& prompt);

}  // namespace pellora::cli
