#include "cli/terminal_console.h"

#include <gtest/gtest.h>
#include <unistd.h>

#include <boost/asio/co_spawn.hpp>
#include <functional>
#include <sstream>

namespace pellora::cli {
namespace {

namespace net = boost::asio;

// A console reading the read end of a pipe that the test writes, run on a local io_context.
class TerminalConsoleTest : public ::testing::Test {
 protected:
  void SetUp() override {
    ASSERT_EQ(pipe(fds_), 0);
    console_ = TerminalConsole::make(strand_, fds_[0], true, out_);
    close(fds_[0]);
    console_->onLine = [this](const std::string& line) { lines_.push_back(line); };
    console_->start();
  }
  void TearDown() override {
    if (fds_[1] >= 0) close(fds_[1]);
    console_->stop();
    io_.run_for(std::chrono::milliseconds(50));
  }
  void type(const std::string& text) { ASSERT_EQ(write(fds_[1], text.data(), text.size()), static_cast<ssize_t>(text.size())); }
  void closeInput() {
    close(fds_[1]);
    fds_[1] = -1;
  }
  // Runs the context until `done` holds, for a few seconds at most.
  bool runUntil(const std::function<bool()>& done) {
    for (int i = 0; i < 500 && !done(); ++i) io_.run_for(std::chrono::milliseconds(10));
    return done();
  }
  // Starts a prompt and waits until it has asked.
  void ask(TerminalApprovalPrompt& prompt, std::optional<bool>& result) {
    const std::size_t before = out_.str().size();
    net::co_spawn(strand_, prompt.run("ayşe", "Linux", "127.0.0.1:5000"), [&](std::exception_ptr, bool allowed) { result = allowed; });
    EXPECT_TRUE(runUntil([&] { return out_.str().size() > before; })) << "no question asked";
  }

  // Runs the prompt until it answers; typing `text` once it asked (nothing typed when empty).
  std::optional<bool> approve(const std::string& text, std::chrono::milliseconds limit = std::chrono::seconds(10)) {
    TerminalApprovalPrompt prompt(console_, limit);
    std::optional<bool> result;
    ask(prompt, result);
    if (!text.empty()) type(text);
    runUntil([&] { return result.has_value(); });
    return result;
  }

  net::io_context io_;
  NetworkThread::Strand strand_{io_.get_executor()};
  int fds_[2] = {-1, -1};
  std::ostringstream out_;
  std::shared_ptr<TerminalConsole> console_;
  std::vector<std::string> lines_;
};

TEST_F(TerminalConsoleTest, LinesGoToChatUnlessTheyAnswerAQuestion) {
  type("merhaba\r\nnasılsın\n");
  runUntil([&] { return lines_.size() == 2; });
  EXPECT_EQ(lines_, (std::vector<std::string>{"merhaba", "nasılsın"}));

  EXPECT_EQ(approve("Y\n"), true);
  EXPECT_NE(out_.str().find("ayşe (Linux, 127.0.0.1:5000) wants to connect"), std::string::npos);
  EXPECT_EQ(lines_.size(), 2u);  // the answer was not chat
  EXPECT_EQ(approve(" evet \n"), true);
  EXPECT_EQ(approve("no\n"), false);
  EXPECT_EQ(approve("\n"), false);
}

TEST_F(TerminalConsoleTest, SilenceAndTheEndOfInputRefuse) {
  EXPECT_EQ(approve("", std::chrono::milliseconds(50)), false);
  // A late answer is chat, not an approval of the next caller.
  type("y\n");
  runUntil([&] { return !lines_.empty(); });
  EXPECT_EQ(lines_, (std::vector<std::string>{"y"}));

  TerminalApprovalPrompt prompt(console_);
  std::optional<bool> result;
  ask(prompt, result);
  closeInput();
  runUntil([&] { return result.has_value(); });
  EXPECT_EQ(result, false);
  EXPECT_FALSE(console_->canAsk());
}

TEST(TerminalApprovalPromptTest, WithoutATerminalEveryCallerIsRefused) {
  net::io_context io;
  NetworkThread::Strand strand(io.get_executor());
  int fds[2];
  ASSERT_EQ(pipe(fds), 0);
  std::ostringstream out;
  auto console = TerminalConsole::make(strand, fds[0], false, out);  // a pipe, not a person
  TerminalApprovalPrompt prompt(console);
  std::optional<bool> result;
  net::co_spawn(strand, prompt.run("ayşe", "Linux", "x"), [&](std::exception_ptr, bool allowed) { result = allowed; });
  io.run_for(std::chrono::seconds(10));  // returns once the prompt has answered and nothing is left to run
  EXPECT_EQ(result, false);
  EXPECT_TRUE(out.str().empty());
  close(fds[0]);
  close(fds[1]);
}

}  // namespace
}  // namespace pellora::cli
