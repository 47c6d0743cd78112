#include "support/credential_stores.h"

#include "core/bytes.h"

namespace pellora {

namespace {
std::optional<std::string> textOnly(std::optional<std::string> value) {
  if (value && !isValidUTF8(asBytes(*value))) return std::nullopt;
  return value;
}
}  // namespace

std::optional<std::string> PermanentPasswordStore::load() const { return textOnly(secrets_.load(service, account)); }

void PermanentPasswordStore::save(const std::string& password) {
  secrets_.remove(service, account);
  secrets_.save(service, account, password);
}

void PermanentPasswordStore::clear() { secrets_.remove(service, account); }

std::optional<RelayIdentity> RelayIdentityStore::load() const {
  // Without the id in the settings the secret store is not even asked.
  auto id = settings_.getString(settingsKey);
  if (!id) return std::nullopt;
  auto secret = textOnly(secrets_.load(service, *id));
  if (!secret) return std::nullopt;
  return RelayIdentity{*id, *secret};
}

void RelayIdentityStore::save(const RelayIdentity& identity) {
  clear();
  secrets_.save(service, identity.id, identity.secret);
  settings_.set(settingsKey, identity.id.c_str());
}

void RelayIdentityStore::clear() {
  secrets_.removeAll(service);
  settings_.remove(settingsKey);
}

}  // namespace pellora
