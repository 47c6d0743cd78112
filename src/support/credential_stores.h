#pragma once

// The two secrets Pellora keeps between runs: the permanent password for unattended access, and the relay
// identity (its id in the settings, its secret in the secret store). Nothing is cached: every call reads or
// writes the stores, and failures are not reported (a load then finds nothing).

#include <optional>
#include <string>

#include "core/relay_identity.h"
#include "support/secret_store.h"
#include "support/settings_file.h"

namespace pellora {

class PermanentPasswordStore {
 public:
  static constexpr const char* service = "com.marrowfield.pellora.permanent";
  static constexpr const char* account = "unattended";

  explicit PermanentPasswordStore(SecretStore& secrets) : secrets_(secrets) {}
  std::optional<std::string> load() const;
  void save(const std::string& password);
  void clear();

 private:
  SecretStore& secrets_;
};

class RelayIdentityStore {
 public:
  static constexpr const char* service = "com.marrowfield.pellora.relay";
  static constexpr const char* settingsKey = "relayID";

  RelayIdentityStore(SecretStore& secrets, SettingsFile& settings) : secrets_(secrets), settings_(settings) {}
  std::optional<RelayIdentity> load() const;
  // Replaces any stored identity, whatever its id.
  void save(const RelayIdentity& identity);
  void clear();

 private:
  SecretStore& secrets_;
  SettingsFile& settings_;
};

}  // namespace pellora
