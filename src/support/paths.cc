#include "support/paths.h"

#include <pwd.h>
#include <unistd.h>

#include <cstdlib>
#include <fstream>
#include <string>

namespace pellora::Paths {

namespace fs = std::filesystem;

namespace {
fs::path fromEnv(const char* name, const fs::path& fallback) {
  const char* value = std::getenv(name);
  // The XDG rules ignore relative paths.
  if (value && *value && fs::path(value).is_absolute()) return value;
  return fallback;
}
}  // namespace

fs::path home() {
  if (const char* h = std::getenv("HOME"); h && *h) return h;
  if (const passwd* pw = getpwuid(getuid()); pw && pw->pw_dir) return pw->pw_dir;
  return "/";
}

fs::path configHome() { return fromEnv("XDG_CONFIG_HOME", home() / ".config"); }
fs::path dataHome() { return fromEnv("XDG_DATA_HOME", home() / ".local" / "share"); }

fs::path downloadDir() {
  // user-dirs.dirs lines look like: XDG_DOWNLOAD_DIR="$HOME/Downloads"
  std::ifstream in(configHome() / "user-dirs.dirs");
  std::string line;
  const std::string key = "XDG_DOWNLOAD_DIR=";
  while (std::getline(in, line)) {
    if (line.rfind(key, 0) != 0) continue;
    std::string value = line.substr(key.size());
    if (value.size() >= 2 && value.front() == '"' && value.back() == '"') value = value.substr(1, value.size() - 2);
    if (value.rfind("$HOME", 0) == 0) value = home().string() + value.substr(5);
    if (fs::path(value).is_absolute()) return value;
  }
  return home() / "Downloads";
}

}  // namespace pellora::Paths
