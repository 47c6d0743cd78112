#pragma once

// The user's preferences, kept in the settings file under their keys and saved after every change.

#include <boost/asio/awaitable.hpp>
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
// model object (its saves are the settings file's, which is thread-safe and never waits for the disk).
// Readers take `state()`; setters persist the one key they change and notify subscribers.
class AppSettings {
 public:
  static constexpr std::size_t maxRecent = 8;
  // Targets pinned to handshake version 2, at most this many (the oldest go first).
  static constexpr std::size_t maxPins = 4096;

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
    // The host refuses callers that only speak handshake version 1.
    bool requireHandshakeV2 = false;
    // Targets (ViewerTarget::pinKey) that completed handshake version 2 once: a version-1 answer from
    // them is refused as a downgrade. Oldest first.
    std::vector<std::string> handshakeV2Pins;
    // Derived, not stored under a key of their own:
    bool hasPermanentPassword = false;  // whether permanentPassword() holds one
    bool launchAtLogin = false;         // read back from the autostart entry
    bool operator==(const State&) const = default;
  };

  // Reads every key (missing or mistyped keys give their defaults), whether a permanent password is
  // stored, and whether the autostart entry exists.
  AppSettings(SettingsFile& file, PermanentPasswordStore& permanentPassword,
              std::filesystem::path autostartFile = defaultAutostartFile());

  // Waits for the pin file's queued merges (not on the network thread).
  ~AppSettings();
  AppSettings(const AppSettings&) = delete;
  AppSettings& operator=(const AppSettings&) = delete;

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
  void setRequireHandshakeV2(bool on);

  // Pins are security state, like a known-hosts file: they persist even where the other settings are a
  // temporary copy for one run (the command line). From this call on they are read from and written to
  // `file` instead of the settings' own file; `file` must outlive this object.
  void keepPinsIn(SettingsFile& file);
  bool isPinnedToHandshakeV2(const std::string& target) const;
  // Adds `target` to the pins at once; the pin file gets it added to what the file holds then, so that pins
  // another process added stay there (this object learns of them when it next reads the file).
  void pinHandshakeV2(const std::string& target);

  // Moves `target` to the front of the recent list (exact text comparison), keeping at most maxRecent.
  void remember(const std::string& target);

  // Writes or removes the autostart entry (its Exec line runs `executable`) off the network thread;
  // `launchAtLogin` then reads whether the entry exists. The error's text on failure, nothing on success.
  // Awaited on the main strand.
  boost::asio::awaitable<std::optional<std::string>> setLaunchAtLogin(bool enabled,
                                                                      std::string executable = "pellora");

  // The permanent password as the store held it when last read or written: read once at construction, then
  // after every change made through setPermanentPassword. Kept here so that admitting a caller never waits for
  // the secret store (which a stranger could otherwise make us ask again and again).
  const std::optional<std::string>& permanentPassword() const { return permanentPassword_; }
  // Saves `password` in the credential store (nothing: removes it) off the network thread, and once the store
  // has answered updates permanentPassword() and hasPermanentPassword with what it now holds (a failed save
  // shows as no password). Awaited on the main strand; with several changes in flight the last one asked for
  // decides.
  boost::asio::awaitable<void> setPermanentPassword(std::optional<std::string> password);

  // A relay client for the relay to use now (RelayClient::effectiveURL of `relayURL`).
  RelayClient relayClient(Wire::Executor executor) const;

 private:
  SettingsFile& file_;
  SettingsFile* pinFile_;
  PermanentPasswordStore& permanentStore_;
  std::optional<std::string> permanentPassword_;
  std::uint64_t permanentChanges_ = 0;  // changes asked for so far
  bool queuedPins_ = false;             // a pin merge was handed to the storage queue
  std::filesystem::path autostartFile_;
  Published<State> published_;
};

}  // namespace pellora
