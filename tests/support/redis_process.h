#pragma once

// A private redis-server for the relay's cluster tests and benchmark: a free loopback port, its
// append-only file in a folder of the caller's (so identities survive a restart), optionally a password
// and a TLS port. Killed when destroyed.

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
#include "support/test_ca.h"

namespace pellora::test {

// The full path of an installed program, or "" when it is not installed.
inline std::string findProgram(const std::string& name) {
  for (const char* dir : {"/usr/bin", "/usr/sbin", "/usr/local/bin", "/usr/local/sbin"})
    if (std::filesystem::exists(std::filesystem::path(dir) / name)) return std::string(dir) + "/" + name;
  return {};
}

// A loopback port that was free a moment ago; nothing holds it for the caller.
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
inline bool answersPing(std::uint16_t port, const std::string& password = {}) {
  try {
    RawClient probe("127.0.0.1", port, 500);
    if (!password.empty()) {
      probe.send("AUTH " + password + "\r\n");
      if (probe.readLine().value_or("") != "+OK\r\n") return false;
    }
    probe.send("PING\r\n");
    return probe.readLine().value_or("") == "+PONG\r\n";
  } catch (const std::runtime_error&) {
    return false;
  }
}

struct RedisOptions {
  std::string password;        // requirepass
  const TestCA* tls = nullptr;  // also serve TLS on a port of its own, with this CA's server certificate
};

class RedisProcess {
 public:
  explicit RedisProcess(std::filesystem::path dir, RedisOptions options = {})
      : dir_(std::move(dir)), options_(std::move(options)) {
    // The ports are free when chosen but not held until the server binds them: when a process beside us
    // took one first, the server exits and is tried again on fresh ones.
    for (int attempt = 0; attempt < 5; ++attempt) {
      port_ = freePort();
      tlsPort_ = options_.tls ? freePort() : 0;
      if (launch()) return;
    }
    throw std::runtime_error("redis-server exited at start: " + (dir_ / "redis.log").string());
  }
  // Starts a stopped server again on its ports.
  void start() {
    if (!launch()) throw std::runtime_error("redis-server exited on restart: " + (dir_ / "redis.log").string());
  }
  void stop() {
    process_->signal(SIGTERM);
    process_->wait();
  }
  std::uint16_t port() const { return port_; }
  // Without credentials; over TLS to the name the test CA certified, when the server has a TLS port.
  std::string url() const {
    return options_.tls ? "rediss://localhost:" + std::to_string(tlsPort_) : "redis://127.0.0.1:" + std::to_string(port_);
  }

 private:
  // False when the server exited instead of answering; throws when it does neither within the bound.
  bool launch() {
    std::vector<std::string> args{"--port", std::to_string(port_), "--bind", "127.0.0.1", "--dir", dir_.string(),
                                  "--appendonly", "yes", "--save", "", "--logfile", (dir_ / "redis.log").string()};
    if (!options_.password.empty()) args.insert(args.end(), {"--requirepass", options_.password});
    if (const TestCA* ca = options_.tls)
      args.insert(args.end(), {"--tls-port", std::to_string(tlsPort_), "--tls-cert-file", ca->serverCertificate.string(),
                               "--tls-key-file", ca->serverKey.string(), "--tls-ca-cert-file",
                               ca->caCertificate.string(), "--tls-auth-clients", "no"});
    process_ = std::make_unique<ChildProcess>(findProgram("redis-server"), args);
    bool exited = false;
    if (!eventually([&] { return (exited = process_->wait(std::chrono::milliseconds(0)).has_value()) ||
                                 answersPing(port_, options_.password); }))
      throw std::runtime_error("redis-server on port " + std::to_string(port_) + " does not answer");
    return !exited;
  }

  std::filesystem::path dir_;
  RedisOptions options_;
  std::uint16_t port_ = 0, tlsPort_ = 0;
  std::unique_ptr<ChildProcess> process_;
};

}  // namespace pellora::test
