#include "cli/terminal_console.h"

#include <sys/stat.h>
#include <termios.h>
#include <unistd.h>

#include <algorithm>
#include <boost/asio/as_tuple.hpp>
#include <boost/asio/co_spawn.hpp>
#include <boost/asio/detached.hpp>
#include <boost/asio/read_until.hpp>
#include <boost/asio/streambuf.hpp>
#include <boost/asio/use_awaitable.hpp>
#include <iostream>

#include "core/peer_text.h"

namespace pellora::cli {

namespace net = boost::asio;

std::shared_ptr<TerminalConsole> TerminalConsole::make(Strand strand, int fd, bool interactive, std::ostream& out) {
  return std::shared_ptr<TerminalConsole>(new TerminalConsole(std::move(strand), fd, interactive, out));
}

namespace {

// A terminal that this process may read: reading it from a background job would stop the process.
bool foregroundTerminal() { return isatty(STDIN_FILENO) == 1 && tcgetpgrp(STDIN_FILENO) == getpgrp(); }

}  // namespace

std::shared_ptr<TerminalConsole> TerminalConsole::forStandardInput(Strand strand, std::ostream& out) {
  struct stat info {};
  if (fstat(STDIN_FILENO, &info) != 0) return nullptr;
  const bool terminal = isatty(STDIN_FILENO) == 1;
  if (terminal && !foregroundTerminal()) return nullptr;
  if (!terminal && !S_ISFIFO(info.st_mode) && !S_ISSOCK(info.st_mode)) return nullptr;
  return make(std::move(strand), STDIN_FILENO, terminal, out);
}

TerminalConsole::TerminalConsole(Strand strand, int fd, bool interactive, std::ostream& out)
    : strand_(strand), descriptor_(strand, ::dup(fd)), interactive_(interactive), out_(out) {}

void TerminalConsole::start() {
  net::co_spawn(strand_, readLoop(), net::detached);
}

void TerminalConsole::stop() {
  closed_ = true;
  boost::system::error_code ignored;
  descriptor_.cancel(ignored);
  if (waiting_) waiting_->cancel();
}

net::awaitable<void> TerminalConsole::readLoop() {
  auto self = shared_from_this();
  net::streambuf buffer;
  while (!closed_) {
    auto [ec, length] = co_await net::async_read_until(descriptor_, buffer, '\n', net::as_tuple(net::use_awaitable));
    if (ec) break;
    std::string line(net::buffers_begin(buffer.data()), net::buffers_begin(buffer.data()) + static_cast<std::ptrdiff_t>(length) - 1);
    buffer.consume(length);
    if (!line.empty() && line.back() == '\r') line.pop_back();
    deliver(std::move(line));
  }
  // End of input (or stop): nobody is left to answer a pending question.
  closed_ = true;
  if (waiting_) waiting_->cancel();
}

void TerminalConsole::deliver(std::string line) {
  if (waiting_) {
    answer_ = std::move(line);
    waiting_->cancel();
    return;
  }
  if (onLine) onLine(line);
}

net::awaitable<std::optional<std::string>> TerminalConsole::ask(std::string question, std::chrono::milliseconds timeout) {
  if (!canAsk() || waiting_) co_return std::nullopt;
  auto self = shared_from_this();
  out_ << question << std::flush;
  answer_.reset();
  net::steady_timer timer(strand_, timeout);
  waiting_ = &timer;
  auto wait = timer.async_wait(net::as_tuple(net::use_awaitable));
  co_await std::move(wait);
  waiting_ = nullptr;
  if (!answer_) out_ << "\n" << std::flush;
  co_return std::exchange(answer_, std::nullopt);
}

bool TerminalApprovalPrompt::isYes(std::string answer) {
  answer.erase(0, answer.find_first_not_of(" \t"));
  answer.erase(answer.find_last_not_of(" \t") + 1);
  std::transform(answer.begin(), answer.end(), answer.begin(), [](unsigned char c) { return std::tolower(c); });
  return answer == "y" || answer == "yes" || answer == "e" || answer == "evet";
}

net::awaitable<bool> TerminalApprovalPrompt::run(std::string name, std::string system, std::string address) {
  if (!console_) co_return false;
  const std::string question =
      PeerText::forTerminal(name + " (" + system + ", " + address + ")") + " wants to connect. Allow? [y/N] ";
  auto answer = co_await console_->ask(question, timeout_);
  co_return answer && isYes(*answer);
}

std::optional<std::string> readPasswordFromTerminal(const std::string& prompt) {
  if (!foregroundTerminal()) return std::nullopt;
  termios saved{};
  if (tcgetattr(STDIN_FILENO, &saved) != 0) return std::nullopt;
  termios quiet = saved;
  quiet.c_lflag &= ~static_cast<tcflag_t>(ECHO);
  std::cerr << prompt << std::flush;
  tcsetattr(STDIN_FILENO, TCSAFLUSH, &quiet);
  std::string line;
  const bool got = static_cast<bool>(std::getline(std::cin, line));
  tcsetattr(STDIN_FILENO, TCSAFLUSH, &saved);
  std::cerr << "\n";
  if (!got) return std::nullopt;
  return line;
}

}  // namespace pellora::cli
