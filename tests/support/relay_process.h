#pragma once

// A real pellora-relay process on a free loopback port, for end-to-end tests. Killed when destroyed.

#include <memory>
#include <regex>
#include <stdexcept>
#include <string>
#include <vector>

#include "support/child_process.h"

namespace pellora::test {

struct RelayProcess {
  std::unique_ptr<ChildProcess> process;
  std::uint16_t port = 0;
  std::uint16_t internalPort = 0;  // a cluster node's

  // `args` come after "--listen HOST:0" (HOST "::1" for IPv6); the ports are read from the relay's first
  // line of output.
  explicit RelayProcess(std::vector<std::string> args, const std::string& host = "127.0.0.1") {
    args.insert(args.begin(), {"--listen", host.find(':') == std::string::npos ? host + ":0" : "[" + host + "]:0"});
    process = std::make_unique<ChildProcess>(PELLORA_RELAY_BINARY, args);
    auto line = process->readLine();
    std::smatch m;
    if (!line || !std::regex_search(*line, m, std::regex(R"(listening on [0-9a-f:.]+:(\d+) )")))
      throw std::runtime_error("relay did not start: " + line.value_or("(no output)"));
    port = static_cast<std::uint16_t>(std::stoi(m[1]));
    if (std::regex_search(*line, m, std::regex(R"(internal \S+:(\d+)$)")))
      internalPort = static_cast<std::uint16_t>(std::stoi(m[1]));
  }
  std::string url(const std::string& scheme = "http", const std::string& host = "127.0.0.1") const {
    return scheme + "://" + host + ":" + std::to_string(port);
  }
};

}  // namespace pellora::test
