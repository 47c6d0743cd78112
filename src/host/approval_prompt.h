#pragma once

#include <boost/asio/awaitable.hpp>
#include <chrono>
#include <string>

namespace pellora {

// Asks the local user whether a caller may connect (a dialog in the desktop app, a terminal question in
// the command line). Awaited on the main strand by the host service's admission while other connections
// go on; the prompt itself may run on any thread and must resume the awaiting coroutine on its executor.
class ApprovalPrompt {
 public:
  static constexpr std::chrono::seconds timeout{45};

  virtual ~ApprovalPrompt() = default;

  // True when the user allows the connection; false on refusal, on closing the prompt, or when `timeout`
  // passed without an answer. `system` is the caller's system label ("?", "macOS", "Windows", "Linux").
  virtual boost::asio::awaitable<bool> run(std::string name, std::string system, std::string address) = 0;
};

}  // namespace pellora
