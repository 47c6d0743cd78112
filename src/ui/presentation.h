#pragma once

// What the desktop app's screens show, worked out from copies of the model's states: the figures line,
// the host's badge and identity text, the tray menu's entries, the password rules, the connect target and
// the auto-connect value. Plain values and free functions, no widgets, so that every text and number is
// tested as such. Called on the GUI thread with copied states.

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "host/host_service.h"
#include "viewer/service_browser.h"
#include "viewer/viewer_session.h"
#include "viewer/viewer_target.h"

namespace pellora::ui {

// The remote window's toolbar figures: system, latency, frame rate, bit rate and codec, each left out
// while unknown, joined with "  /  ".
std::string figuresLine(const ViewerSession::State& state);
// The lock beside the figures: which handshake protects the session, as a mark and its tooltip.
struct HandshakeLock {
  bool closed = false;  // a shield with a lock for version 2, a warning for version 1
  std::string tooltip;
  bool operator==(const HandshakeLock&) const = default;
};
HandshakeLock handshakeLock(int handshakeVersion);
// "%.1f Mbit/s" from 1000 kbit/s up, else "N kbit/s".
std::string bitRateText(std::int64_t kbps);
// An entry of the display menu: "Name · ana — 1920×1080".
std::string displayLabel(const DisplayInfo& display);

enum class Tone { online, connecting, error, off };
struct Badge {
  std::string title;
  Tone tone = Tone::off;
  bool operator==(const Badge&) const = default;
};
// The Host tab's status badge; `permissionsGranted` is false while screen capture or input needs granting.
Badge hostBadge(const HostService::State& state, bool permissionsGranted);

struct IdentityText {
  std::string text;
  std::optional<std::string> rawID;  // what "Kimliği kopyala" copies; only while online
  bool operator==(const IdentityText&) const = default;
};
IdentityText identityText(const HostService::RelayState& relay, bool relayEnabled);

// The tray menu from top to bottom, for one state of the host.
struct MenuEntry {
  enum class Role { header, peer, disconnect, toggleSharing, showMain, settings, quit };
  Role role;
  std::string text;
  bool operator==(const MenuEntry&) const = default;
};
std::vector<MenuEntry> trayMenu(const HostService::State& state);

// The reason a peer reads when this side ends the session from the tray or the Host tab.
inline constexpr std::string_view hostDisconnectReason = "Paylaşan bağlantıyı kesti";

// Unattended access: a permanent password has at least 8 characters (Unicode code points) and is typed
// twice; the mismatch text shows only once the second field holds something else.
inline constexpr std::size_t minimumPermanentPassword = 8;
bool canSavePermanentPassword(const std::string& first, const std::string& second);
bool showsPasswordMismatch(const std::string& first, const std::string& second);

// The Connect tab's target for typed text: trimmed; a discovered device of exactly that name wins over
// any parse; nothing when the text means nothing (the tab then shows connectError).
inline constexpr std::string_view connectError = "Kimlik ya da adres anlaşılamadı.";
std::string trimmed(std::string_view text);
std::optional<ViewerTarget> connectTarget(const std::string& trimmedText, const std::vector<ServiceEndpoint>& nearby);

// PELLORA_AUTOCONNECT: "target|password"; the password is everything after the first bar, untouched.
struct AutoConnect {
  ViewerTarget target;
  std::string password;
};
std::optional<AutoConnect> parseAutoConnect(const char* value);

// The host tools' chat button: "Sohbet (3)" with unread lines, else "Sohbet".
std::string hostChatTitle(int unread);
// The Host tab's addresses line.
std::string addressesLine(const std::vector<std::string>& addresses);

}  // namespace pellora::ui
