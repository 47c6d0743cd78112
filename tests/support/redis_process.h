#pragma once

// A private redis-server for the relay's cluster tests and benchmark: a loopback port held for it, its
// append-only file in a folder of the caller's (so identities survive a restart), optionally a password
// and a TLS port. Killed when destroyed.

#include <signal.h>

#include <boost/asio/io_context.hpp>
#include <boost/asio/ip/tcp.hpp>
#include <chrono>
#include <filesystem>
#include <memory>
#include <optional>
#include <stdexcept>
#include <string>

#include "support/child_process.h"
#include "support/eventually.h"
#include "support/held_port.h"
#include "support/raw_client.h"
#include "support/test_ca.h"

namespace pellora::test {

// The full path of an installed program, or "" when it is not installed.
inline std::string findProgram(const std::string& name) {
  for (const char* dir : {"/usr/bin", "/usr/sbin", "/usr/local/bin", "/usr/local/sbin"})
    if (std::filesystem::exists(std::filesystem::path(dir) / name)) return std::string(dir) + "/" + name;
  return {};
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
    if (options_.tls) tlsPort_.emplace();
    start();
  }
  void start() {
    std::vector<std::string> args{"--port", std::to_string(port()), "--bind", "127.0.0.1", "--dir", dir_.string(),
                                  "--appendonly", "yes", "--save", "", "--logfile", (dir_ / "redis.log").string()};
    if (!options_.password.empty()) args.insert(args.end(), {"--requirepass", options_.password});
    if (const TestCA* ca = options_.tls)
      args.insert(args.end(), {"--tls-port", std::to_string(tlsPort_->port()), "--tls-cert-file",
                               ca->serverCertificate.string(), "--tls-key-file", ca->serverKey.string(),
                               "--tls-ca-cert-file", ca->caCertificate.string(), "--tls-auth-clients", "no"});
    process_ = std::make_unique<ChildProcess>(findProgram("redis-server"), args);
    if (!eventually([&] { return answersPing(port(), options_.password); }))
      throw std::runtime_error("redis-server on port " + std::to_string(port()) + " does not answer");
  }
  void stop() {
    process_->signal(SIGTERM);
    process_->wait();
  }
  std::uint16_t port() const { return port_.port(); }
  // Without credentials; over TLS to the name the test CA certified, when the server has a TLS port.
  std::string url() const {
    return options_.tls ? "rediss://localhost:" + std::to_string(tlsPort_->port()) : "redis://127.0.0.1:" + std::to_string(port());
  }

 private:
  std::filesystem::path dir_;
  RedisOptions options_;
  HeldPort port_;
  std::optional<HeldPort> tlsPort_;
  std::unique_ptr<ChildProcess> process_;
};

}  // namespace pellora::test
