#pragma once

// A private redis-server for the relay's cluster tests and benchmark: a free loopback port, its
// append-only file in a folder of the caller's (so identities survive a restart). Killed when destroyed.

#include <signal.h>

#include <boost/asio/io_context.hpp>
#include <boost/asio/ip/tcp.hpp>
#include <chrono>
#include <filesystem>
#include <memory>
#include <stdexcept>
#include <string>

#include "support/child_process.h"
#include "support/eventually.h"
#include "support/raw_client.h"

namespace pellora::test {

// The full path of an installed program, or "" when it is not installed.
inline std::string findProgram(const std::string& name) {
  for (const char* dir : {"/usr/bin", "/usr/sbin", "/usr/local/bin", "/usr/local/sbin"})
    if (std::filesystem::exists(std::filesystem::path(dir) / name)) return std::string(dir) + "/" + name;
  return {};
}

// A loopback port that was free a moment ago.
inline std::uint16_t freePort() {
  boost::asio::io_context io;
  boost::asio::ip::tcp::acceptor a(io, {boost::asio::ip::make_address("127.0.0.1"), 0});
  return a.local_endpoint().port();
}

inline bool accepts(std::uint16_t port) {
  try {
    RawClient probe("127.0.0.1", port, 200);
    return true;
  } catch (const std::runtime_error&) {
    return false;
  }
}

// Polls until something listens on `port`; throws when nothing does within the bound.
inline void awaitListener(std::uint16_t port) {
  if (!eventually([&] { return accepts(port); }))
    throw std::runtime_error("nothing listens on port " + std::to_string(port));
}

// Whether Redis on `port` serves commands: a restarted one listens before it has loaded its data, and
// answers -LOADING meanwhile.
inline bool answersPing(std::uint16_t port) {
  try {
    RawClient probe("127.0.0.1", port, 500);
    probe.send("PING\r\n");
    return probe.readLine().value_or("") == "+PONG\r\n";
  } catch (const std::runtime_error&) {
    return false;
  }
}

class RedisProcess {
 public:
  explicit RedisProcess(std::filesystem::path dir) : dir_(std::move(dir)), port_(freePort()) { start(); }
  void start() {
    process_ = std::make_unique<ChildProcess>(
        findProgram("redis-server"),
        std::vector<std::string>{"--port", std::to_string(port_), "--bind", "127.0.0.1", "--dir", dir_.string(),
                                 "--appendonly", "yes", "--save", "", "--logfile", (dir_ / "redis.log").string()});
    if (!eventually([&] { return answersPing(port_); }))
      throw std::runtime_error("redis-server on port " + std::to_string(port_) + " does not answer");
  }
  void stop() {
    process_->signal(SIGTERM);
    process_->wait();
  }
  std::uint16_t port() const { return port_; }
  std::string url() const { return "redis://127.0.0.1:" + std::to_string(port_); }

 private:
  std::filesystem::path dir_;
  std::uint16_t port_;
  std::unique_ptr<ChildProcess> process_;
};

}  // namespace pellora::test
