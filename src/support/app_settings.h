#pragma once

// The user's preferences, kept in the settings file under their keys and written at once on every change.

#include <cstdint>
#include <filesystem>
#include <optional>
#include <string>
#include <vector>

#include "base/published.h"
#include "core/quality.h"
#include "core/relay_client.h"
#include "support/credential_stores.h"
#include "support/settings_file.h"

namespace pellora {

// One per process, created at start and kept until exit; lives on the main strand like every observable
// model object (its file writes are the settings file's, which is thread-safe). Readers take `state()`;
// setters persist the one key they change and notify subscribers.
class AppSettings {
 public:
  static constexpr std::size_t maxRecent = 8;

  struct State {
    std::string relayURL;  // default: RelayClient::defaultURL()
    bool relayEnabled = true;
    bool requireApproval = true;
    Quality quality = Quality::balanced;
    bool swapCommandControl = true;
    bool syncClipboard = true;
    std::vector<std::string> recent;  // newest first, at most maxRecent
    bool skipApprovalForPermanent = false;
    bool acceptFiles = true;
    // Derived, not stored under a key of their own:
    bool hasPermanentPassword = false;  // refreshed by refreshPermanentPassword()
    bool launchAtLogin = false;         // read back from the autostart entry
    bool operator==(const State&) const = default;
  };

  // Reads every key (missing or mistyped keys give their defaults), whether a permanent password is
  // stored, and whether the autostart entry exists.
  AppSettings(SettingsFile& file, PermanentPasswordStore& permanentPassword,
              std::filesystem::path autostartFile = defaultAutostartFile());

  // $XDG_CONFIG_HOME/autostart/pellora.desktop
  static std::filesystem::path defaultAutostartFile();

  const State& state() const { return published_.state(); }
  Published<State>& published() { return published_; }

  void setRelayURL(std::string url);
  void setRelayEnabled(bool on);
  void setRequireApproval(bool on);
  void setQuality(Quality quality);
  void setSwapCommandControl(bool on);
  void setSyncClipboard(bool on);
  void setSkipApprovalForPermanent(bool on);
  void setAcceptFiles(bool on);

  // Moves `target` to the front of the recent list (exact text comparison), keeping at most maxRecent.
  void remember(const std::string& target);

  // Writes or removes the autostart entry (its Exec line runs `executable`); `launchAtLogin` then reads
  // whether the entry exists. The error's text on failure, nothing on success.
  std::optional<std::string> setLaunchAtLogin(bool enabled, const std::string& executable = "pellora");

  // Asks the credential store again (after the permanent password was saved or removed).
  void refreshPermanentPassword();

  // A relay client for the relay to use now (RelayClient::effectiveURL of `relayURL`).
  RelayClient relayClient(Wire::Executor executor) const;

 private:
  SettingsFile& file_;
  PermanentPasswordStore& permanentPassword_;
  std::filesystem::path autostartFile_;
  Published<State> published_;
};

}  // namespace pellora
