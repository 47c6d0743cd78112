#include <algorithm>

#include <boost/json.hpp>

#include "core/bytes.h"
#include "support/atomic_file.h"
#include "support/paths.h"
#include "support/secret_store.h"

namespace pellora {

namespace json = boost::json;

namespace {

// The file holds {"items": [{"service": ..., "account": ..., "value": ...}, ...]}.
json::array readItems(const std::filesystem::path& path) {
  auto text = readFile(path);
  if (!text) return {};
  boost::system::error_code ec;
  json::value v = json::parse(*text, ec);
  if (ec || !v.is_object()) return {};
  auto* items = v.as_object().if_contains("items");
  return items && items->is_array() ? items->as_array() : json::array{};
}

bool matches(const json::value& item, const std::string& service, const std::string* account) {
  if (!item.is_object()) return false;
  const auto& o = item.as_object();
  auto field = [&o](const char* key) -> const json::string* {
    const auto* v = o.if_contains(key);
    return v && v->is_string() ? &v->as_string() : nullptr;
  };
  const auto* s = field("service");
  const auto* a = field("account");
  return s && *s == service && (!account || (a && *a == *account));
}

// Removes the items of `service` (and `account`, when given); the number removed.
std::size_t removeMatching(json::array& items, const std::string& service, const std::string* account) {
  auto end = std::remove_if(items.begin(), items.end(),
                            [&](const json::value& i) { return matches(i, service, account); });
  const auto removed = static_cast<std::size_t>(items.end() - end);
  items.erase(end, items.end());
  return removed;
}

bool writeItems(const std::filesystem::path& path, json::array items) {
  return writeFileAtomically(path, json::serialize(json::object{{"items", std::move(items)}}) + "\n", 0600);
}

}  // namespace

FileSecretStore::FileSecretStore(std::filesystem::path path) : path_(std::move(path)) {}

std::filesystem::path FileSecretStore::defaultPath() { return Paths::dataHome() / "pellora" / "secrets.json"; }

std::optional<std::string> FileSecretStore::load(const std::string& service, const std::string& account) {
  std::lock_guard lock(mutex_);
  for (const auto& item : readItems(path_)) {
    if (!matches(item, service, &account)) continue;
    const auto* value = item.as_object().if_contains("value");
    if (value && value->is_string()) return std::string(value->as_string());
  }
  return std::nullopt;
}

bool FileSecretStore::save(const std::string& service, const std::string& account, const std::string& value) {
  // JSON holds text only; bytes that are not UTF-8 would make the whole file unreadable.
  for (const std::string* text : {&service, &account, &value})
    if (!isValidUTF8(asBytes(*text))) return false;
  std::lock_guard lock(mutex_);
  json::array items = readItems(path_);
  removeMatching(items, service, &account);
  items.push_back(json::object{{"service", service}, {"account", account}, {"value", value}});
  return writeItems(path_, std::move(items));
}

void FileSecretStore::remove(const std::string& service, const std::string& account) {
  std::lock_guard lock(mutex_);
  json::array items = readItems(path_);
  if (removeMatching(items, service, &account))
    writeItems(path_, std::move(items));
}

void FileSecretStore::removeAll(const std::string& service) {
  std::lock_guard lock(mutex_);
  json::array items = readItems(path_);
  if (removeMatching(items, service, nullptr))
    writeItems(path_, std::move(items));
}

}  // namespace pellora
