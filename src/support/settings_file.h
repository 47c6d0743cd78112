#pragma once

// The app's small persistent key-value store: a JSON object in $XDG_CONFIG_HOME/pellora/settings.json,
// rewritten atomically on every change. Thread-safe; every call goes to memory, changes also to disk.

#include <boost/json/value.hpp>
#include <filesystem>
#include <mutex>
#include <optional>
#include <string>

namespace pellora {

class SettingsFile {
 public:
  // Reads `path` (a missing or unreadable file starts empty).
  explicit SettingsFile(std::filesystem::path path = defaultPath());

  static std::filesystem::path defaultPath();

  std::optional<boost::json::value> get(const std::string& key) const;
  std::optional<std::string> getString(const std::string& key) const;
  void set(const std::string& key, boost::json::value value);
  void remove(const std::string& key);
  // Reads the file again (another process may have changed it); a missing or damaged file keeps what
  // is in memory.
  void reload();

 private:
  void load();  // with mutex_ held, or before the object is shared
  void save();  // with mutex_ held

  std::filesystem::path path_;
  mutable std::mutex mutex_;
  boost::json::object values_;
};

}  // namespace pellora
