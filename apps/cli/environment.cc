#include "cli/environment.h"

#include <unistd.h>

#include <climits>
#include <cstdlib>

#include "platform/linux/pulse_connection.h"

namespace pellora::cli {

std::string computerName() {
  char name[HOST_NAME_MAX + 1] = {};
  if (gethostname(name, sizeof name - 1) != 0) return {};
  return name;
}

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
