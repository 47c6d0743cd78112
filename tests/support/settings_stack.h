#pragma once

// Settings of a test's own: a fresh folder holding the settings file and the secrets, the permanent password
// kept in those secrets, and the application settings on top. Fixtures derive from it, so that the folder
// outlives everything the fixture declares.

#include <filesystem>
#include <string>

#include "support/app_settings.h"
#include "support/credential_stores.h"
#include "support/secret_store.h"
#include "support/settings_file.h"
#include "support/temp_dir.h"

namespace pellora::test {

struct SettingsStack {
  explicit SettingsStack(const std::string& name = "pellora-test") : folder(name) {}

  TempDir folder;
  std::filesystem::path dir = folder.path;
  SettingsFile settingsFile{dir / "settings.json"};
  FileSecretStore secrets{dir / "secrets.json"};
  PermanentPasswordStore permanent{secrets};
  AppSettings settings{settingsFile, permanent, dir / "autostart.desktop"};
};

}  // namespace pellora::test
