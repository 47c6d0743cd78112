#include "support/settings_file.h"

#include <boost/json.hpp>

#include "support/atomic_file.h"
#include "support/paths.h"

namespace pellora {

std::filesystem::path SettingsFile::defaultPath() { return Paths::configHome() / "pellora" / "settings.json"; }

SettingsFile::SettingsFile(std::filesystem::path path) : path_(std::move(path)) { load(); }

void SettingsFile::reload() {
  std::lock_guard lock(mutex_);
  load();
}

void SettingsFile::load() {
  if (auto text = readFile(path_)) {
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

void SettingsFile::save() { writeFileAtomically(path_, boost::json::serialize(values_) + "\n", 0600); }

}  // namespace pellora
