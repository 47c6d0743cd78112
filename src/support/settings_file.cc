#include "support/settings_file.h"

#include <boost/json.hpp>

#include "support/atomic_file.h"
#include "support/deferred_file_writer.h"
#include "support/paths.h"

namespace pellora {

std::filesystem::path SettingsFile::defaultPath() { return Paths::configHome() / "pellora" / "settings.json"; }

namespace {

// One spelling per file, so that objects on the same file share its queued saves.
std::filesystem::path canonicalSpelling(const std::filesystem::path& path) {
  std::error_code ec;
  std::filesystem::path absolute = std::filesystem::absolute(path, ec);
  return (ec ? path : absolute).lexically_normal();
}

}  // namespace

SettingsFile::SettingsFile(std::filesystem::path path) : path_(canonicalSpelling(path)) { load(); }

SettingsFile::~SettingsFile() { DeferredFileWriter::shared().flush(path_); }

void SettingsFile::reload() {
  std::lock_guard lock(mutex_);
  load();
}

void SettingsFile::load() {
  // A save still queued is newer than the file: the file will hold it in a moment.
  std::optional<std::string> text = DeferredFileWriter::shared().pending(path_);
  if (!text) text = readFile(path_);
  if (text) {
    boost::system::error_code ec;
    boost::json::value v = boost::json::parse(*text, ec);
    // A damaged file is not fatal: the app starts from the defaults and the next change rewrites it.
    if (!ec && v.is_object()) values_ = std::move(v.as_object());
  }
}

std::optional<boost::json::value> SettingsFile::get(const std::string& key) const {
  std::lock_guard lock(mutex_);
  if (const auto* v = values_.if_contains(key)) return *v;
  return std::nullopt;
}

std::optional<std::string> SettingsFile::getString(const std::string& key) const {
  auto v = get(key);
  if (!v || !v->is_string()) return std::nullopt;
  return std::string(v->as_string());
}

void SettingsFile::set(const std::string& key, boost::json::value value) {
  std::lock_guard lock(mutex_);
  values_[key] = std::move(value);
  save();
}

void SettingsFile::remove(const std::string& key) {
  std::lock_guard lock(mutex_);
  if (values_.erase(key)) save();
}

void SettingsFile::save() { DeferredFileWriter::shared().write(path_, boost::json::serialize(values_) + "\n", 0600); }

}  // namespace pellora
