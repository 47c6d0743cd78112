#pragma once

// The app's small persistent key-value store: a JSON object in $XDG_CONFIG_HOME/pellora/settings.json,
// rewritten atomically after every change. Thread-safe. Every call works on memory and returns without
// waiting for the disk, so it may be called on the network thread: a change is handed to the process's
// DeferredFileWriter, which saves the newest content on its own thread. Objects on the same path read what
// this process has queued for it, so a change is seen by every object at once; the destructor (not on the
// network thread) waits until the path's saves are on disk.

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
  ~SettingsFile();
  SettingsFile(const SettingsFile&) = delete;
  SettingsFile& operator=(const SettingsFile&) = delete;

  static std::filesystem::path defaultPath();

  std::optional<boost::json::value> get(const std::string& key) const;
  std::optional<std::string> getString(const std::string& key) const;
  void set(const std::string& key, boost::json::value value);
  void remove(const std::string& key);
  // Reads the file again (another process may have changed it), or what this process queued for it and
  // has not written yet; a missing or damaged file keeps what is in memory.
  void reload();

 private:
  void load();  // with mutex_ held, or before the object is shared
  void save();  // with mutex_ held, so that saves are queued in the order of the changes

  std::filesystem::path path_;
  mutable std::mutex mutex_;
  boost::json::object values_;
};

}  // namespace pellora
