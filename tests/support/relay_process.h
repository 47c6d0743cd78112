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

  // `args` come after "--listen 127.0.0.1:0"; the port is read from the relay's first line of output.
  explicit RelayProcess(std::vector<std::string> args) {
    args.insert(args.begin(), {"--listen", "127.0.0.1:0"});
    process = std::make_unique<ChildProcess>(PELLORA_RELAY_BINARY, args);
    auto line = process->readLine();
    std::smatch m;
    if (!line || !std::regex_search(*line, m, std::regex(R"(listening on 127\.0\.0\.1:(\d+))")))
      throw std::runtime_error("relay did not start: " + line.value_or("(no output)"));
    port = static_cast<std::uint16_t>(std::stoi(m[1]));
  }
  std::string url(const std::string& scheme = "http", const std::string& host = "127.0.0.1") const {
    return scheme + "://" + host + ":" + std::to_string(port);
  }
};

}  // namespace pellora::test
