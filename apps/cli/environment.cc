#include "cli/environment.h"

#include <cstdlib>

#include "platform/linux/pulse_connection.h"

namespace pellora::cli {

std::optional<std::string> passwordFromEnvironment() {
  const char* value = std::getenv("PELLORA_PASSWORD");
  if (!value || !*value) return std::nullopt;
  return std::string(value);
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
