#include "support/credential_stores.h"

#include "base/process_queues.h"
#include "core/bytes.h"

namespace pellora {

namespace {
std::optional<std::string> textOnly(std::optional<std::string> value) {
  if (value && !isValidUTF8(asBytes(*value))) return std::nullopt;
  return value;
}
}  // namespace

QueuedStoreCalls::~QueuedStoreCalls() {
  // The queued calls hold this store by reference.
  if (used_.load()) storageQueue().waitUntilIdle();
}

template <typename Job>
boost::asio::awaitable<std::invoke_result_t<Job&>> QueuedStoreCalls::queued(Job job) const {
  used_.store(true);
  return storageQueue().run(std::move(job));
}

std::optional<std::string> PermanentPasswordStore::load() const { return textOnly(secrets_.load(service, account)); }

void PermanentPasswordStore::save(const std::string& password) {
  secrets_.remove(service, account);
  secrets_.save(service, account, password);
}

void PermanentPasswordStore::clear() { secrets_.remove(service, account); }

boost::asio::awaitable<std::optional<std::string>> PermanentPasswordStore::replaceAsync(
    std::optional<std::string> password) {
  return queued([this, password = std::move(password)] {
    if (password) save(*password);
    else clear();
    return load();
  });
}

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

boost::asio::awaitable<std::optional<RelayIdentity>> RelayIdentityStore::loadAsync() const {
  return queued([this] { return load(); });
}

boost::asio::awaitable<void> RelayIdentityStore::saveAsync(RelayIdentity identity) {
  return queued([this, identity = std::move(identity)] { save(identity); });
}

boost::asio::awaitable<void> RelayIdentityStore::clearAsync() {
  return queued([this] { clear(); });
}

}  // namespace pellora
