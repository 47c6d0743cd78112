#include "platform/linux/secret_store_libsecret.h"

#include <libsecret/secret.h>

#include <cstdlib>
#include <string_view>

namespace pellora {

namespace {

const SecretSchema* schema() {
  static const SecretSchema s = {
      "org.pellora.Secret",
      SECRET_SCHEMA_NONE,
      {{"service", SECRET_SCHEMA_ATTRIBUTE_STRING}, {"account", SECRET_SCHEMA_ATTRIBUTE_STRING}, {nullptr, {}}},
      0, nullptr, nullptr, nullptr, nullptr, nullptr, nullptr, nullptr};
  return &s;
}

struct ErrorFree {
  void operator()(GError* e) const { g_error_free(e); }
};
using Error = std::unique_ptr<GError, ErrorFree>;

class LibsecretStore final : public SecretStore {
 public:
  std::optional<std::string> load(const std::string& service, const std::string& account) override {
    GError* raw = nullptr;
    gchar* value = secret_password_lookup_sync(schema(), nullptr, &raw, "service", service.c_str(), "account",
                                               account.c_str(), nullptr);
    Error error(raw);
    if (!value) return std::nullopt;
    std::string result(value);
    secret_password_free(value);
    return result;
  }
  bool save(const std::string& service, const std::string& account, const std::string& value) override {
    GError* raw = nullptr;
    const std::string label = "Pellora: " + service;
    gboolean ok = secret_password_store_sync(schema(), SECRET_COLLECTION_DEFAULT, label.c_str(), value.c_str(), nullptr,
                                             &raw, "service", service.c_str(), "account", account.c_str(), nullptr);
    Error error(raw);
    return ok;
  }
  void remove(const std::string& service, const std::string& account) override {
    GError* raw = nullptr;
    secret_password_clear_sync(schema(), nullptr, &raw, "service", service.c_str(), "account", account.c_str(),
                               nullptr);
    Error error(raw);
  }
  void removeAll(const std::string& service) override {
    GError* raw = nullptr;
    secret_password_clear_sync(schema(), nullptr, &raw, "service", service.c_str(), nullptr);
    Error error(raw);
  }
};

}  // namespace

std::unique_ptr<SecretStore> openLibsecretStore() {
  // Without a session bus libsecret cannot reach any keyring; asking would only wait for a time-out.
  if (!std::getenv("DBUS_SESSION_BUS_ADDRESS")) return nullptr;
  GError* raw = nullptr;
  SecretService* service = secret_service_get_sync(SECRET_SERVICE_LOAD_COLLECTIONS, nullptr, &raw);
  Error error(raw);
  if (!service) return nullptr;
  GList* collections = secret_service_get_collections(service);
  const bool usable = collections != nullptr;
  g_list_free_full(collections, g_object_unref);
  g_object_unref(service);
  if (!usable) return nullptr;
  return std::make_unique<LibsecretStore>();
}

std::unique_ptr<SecretStore> makeSecretStore() {
  const char* forced = std::getenv("PELLORA_SECRET_STORE");
  if (!forced || std::string_view(forced) != "file") {
    if (auto keyring = openLibsecretStore()) return keyring;
  }
  return std::make_unique<FileSecretStore>();
}

}  // namespace pellora
