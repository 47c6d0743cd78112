#include "cli/environment.h"

#include <cstdlib>

#include "platform/linux/pulse_connection.h"

namespace pellora::cli {

std::optional<std::string> passwordFromEnvironment() {
  const char* value = std::getenv("PELLORA_PASSWORD");
  if (!value || !*value) return std::nullopt;
  return std::string(value);
}

std::optional<std::string> plainRelayRefusal(const RelayClient& client) {
  if (!client.plainTextToAnotherMachine() || RelayClient::plainHTTPAllowed()) return std::nullopt;
  return "Relay: " + client.baseURL() + " is not used: plain http:// would carry the relay identity and secret "
         "unencrypted to another machine. Use https://, or set " + RelayClient::allowPlainHTTPEnvironment +
         "=1 to allow it on a trusted network";
}

bool soundServerAnswers() {
  try {
    PulseConnection probe({}, "pellora.probe");
    return true;
  } catch (const std::exception&) {
    return false;
  }
}

}  // namespace pellora::cli
