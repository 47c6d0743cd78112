#pragma once

// The two secrets Pellora keeps between runs: the permanent password for unattended access, and the relay
// identity (its id in the settings, its secret in the secret store). Nothing is cached: every call reads or
// writes the stores, and failures are not reported (a load then finds nothing).
//
// A secret store may keep its caller waiting for seconds (a keyring that starts, or asks to be unlocked), so
// code on the network thread uses the `...Async` forms: they run the call on the process's storage queue, one
// at a time in the order they were asked for (a load asked for after a save reads what was saved), and resume
// the awaiting coroutine on its own executor. The plain forms are for other threads. A store given such calls
// waits in its destructor until they are done, so it must not be destroyed on the network thread.

#include <atomic>
#include <boost/asio/awaitable.hpp>
#include <optional>
#include <string>
#include <type_traits>

#include "core/relay_identity.h"
#include "support/secret_store.h"
#include "support/settings_file.h"

namespace pellora {

// What both stores share: their calls queued on the storage queue, and the wait for them at destruction.
class QueuedStoreCalls {
 protected:
  QueuedStoreCalls() = default;
  ~QueuedStoreCalls();
  QueuedStoreCalls(const QueuedStoreCalls&) = delete;
  QueuedStoreCalls& operator=(const QueuedStoreCalls&) = delete;

  template <typename Job>
  boost::asio::awaitable<std::invoke_result_t<Job&>> queued(Job job) const;

 private:
  mutable std::atomic<bool> used_{false};
};

class PermanentPasswordStore : private QueuedStoreCalls {
 public:
  static constexpr const char* service = "com.marrowfield.pellora.permanent";
  static constexpr const char* account = "unattended";

  explicit PermanentPasswordStore(SecretStore& secrets) : secrets_(secrets) {}
  std::optional<std::string> load() const;
  void save(const std::string& password);
  void clear();

  // Saves `password` (nothing: clears it), then returns what the store holds afterwards.
  boost::asio::awaitable<std::optional<std::string>> replaceAsync(std::optional<std::string> password);

 private:
  SecretStore& secrets_;
};

class RelayIdentityStore : private QueuedStoreCalls {
 public:
  static constexpr const char* service = "com.marrowfield.pellora.relay";
  static constexpr const char* settingsKey = "relayID";

  RelayIdentityStore(SecretStore& secrets, SettingsFile& settings) : secrets_(secrets), settings_(settings) {}
  std::optional<RelayIdentity> load() const;
  // Replaces any stored identity, whatever its id.
  void save(const RelayIdentity& identity);
  void clear();

  boost::asio::awaitable<std::optional<RelayIdentity>> loadAsync() const;
  boost::asio::awaitable<void> saveAsync(RelayIdentity identity);
  boost::asio::awaitable<void> clearAsync();

 private:
  SecretStore& secrets_;
  SettingsFile& settings_;
};

}  // namespace pellora
