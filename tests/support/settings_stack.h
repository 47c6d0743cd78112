#pragma once

// Settings of a test's own: a fresh folder holding the settings file and the secrets, the permanent password
// kept in those secrets, and the application settings on top. Fixtures derive from it, so that the folder
// outlives everything the fixture declares.

#include <atomic>
#include <chrono>
#include <filesystem>
#include <string>
#include <thread>

#include "support/app_settings.h"
#include "support/credential_stores.h"
#include "support/secret_store.h"
#include "support/settings_file.h"
#include "support/temp_dir.h"

namespace pellora::test {

// A secret store that answers like a keyring waking up: every call waits `delay` first.
class SlowSecretStore final : public SecretStore {
 public:
  explicit SlowSecretStore(SecretStore& inner) : inner_(inner) {}
  std::optional<std::string> load(const std::string& service, const std::string& account) override {
    wait();
    return inner_.load(service, account);
  }
  bool save(const std::string& service, const std::string& account, const std::string& value) override {
    wait();
    return inner_.save(service, account, value);
  }
  void remove(const std::string& service, const std::string& account) override {
    wait();
    inner_.remove(service, account);
  }
  void removeAll(const std::string& service) override {
    wait();
    inner_.removeAll(service);
  }
  std::atomic<std::chrono::milliseconds> delay{std::chrono::milliseconds(0)};

 private:
  void wait() { std::this_thread::sleep_for(delay.load()); }
  SecretStore& inner_;
};

struct SettingsStack {
  explicit SettingsStack(const std::string& name = "pellora-test") : folder(name) {}

  TempDir folder;
  std::filesystem::path dir = folder.path;
  SettingsFile settingsFile{dir / "settings.json"};
  FileSecretStore secretFile{dir / "secrets.json"};
  SlowSecretStore secrets{secretFile};
  PermanentPasswordStore permanent{secrets};
  AppSettings settings{settingsFile, permanent, dir / "autostart.desktop"};
};

}  // namespace pellora::test
