#include "ui/presentation.h"

#include <cstdio>

namespace pellora::ui {

std::string bitRateText(std::int64_t kbps) {
  if (kbps < 1000) return std::to_string(kbps) + " kbit/s";
  char text[32];
  std::snprintf(text, sizeof text, "%.1f Mbit/s", static_cast<double>(kbps) / 1000.0);
  return text;
}

std::string figuresLine(const ViewerSession::State& state) {
  std::vector<std::string> parts;
  parts.emplace_back(label(state.remoteOS));
  if (state.latencyMs) parts.push_back(std::to_string(*state.latencyMs) + " ms");
  if (state.targetKbps) parts.push_back("→ " + bitRateText(*state.targetKbps));
  if (state.pathKbps) parts.push_back("↔ " + bitRateText(*state.pathKbps));
  parts.push_back(std::to_string(state.fps) + " fps");
  parts.push_back(bitRateText(state.kbps));
  if (state.codec) parts.emplace_back(*state.codec == Codec::h264 ? "H.264" : "JPEG");
  std::string line;
  for (const auto& part : parts) line += (line.empty() ? "" : "  /  ") + part;
  return line;
}

HandshakeLock handshakeLock(int handshakeVersion) {
  if (handshakeVersion >= 2)
    return {true,
            "Uçtan uca şifreli; SPAKE2 el sıkışması (sürüm 2): karşı tarafı taklit eden biri parolayı "
            "çevrim dışı deneyemez"};
  return {false,
          "Uçtan uca şifreli; eski el sıkışması (sürüm 1): karşı tarafı taklit eden biri parolayı "
          "çevrim dışı deneyebilir"};
}

std::string displayLabel(const DisplayInfo& display) {
  char size[32];
  std::snprintf(size, sizeof size, "%u×%u", static_cast<unsigned>(display.width),
                static_cast<unsigned>(display.height));
  return display.name + (display.primary ? " · ana" : "") + " — " + size;
}

Badge hostBadge(const HostService::State& state, bool permissionsGranted) {
  using Relay = HostService::RelayState;
  if (!permissionsGranted) return {"İzin gerekli", Tone::connecting};
  if (state.active) return {"Oturum açık", Tone::online};
  const auto& relay = state.relayState.value;
  if (std::holds_alternative<Relay::Online>(relay)) return {"İnternetten erişilebilir", Tone::online};
  if (std::holds_alternative<Relay::Failed>(relay)) return {"İnternet erişimi yok", Tone::error};
  if (std::holds_alternative<Relay::Connecting>(relay)) return {"İnternete bağlanıyor", Tone::connecting};
  if (state.isSharing) return {"Yerel paylaşım etkin", Tone::online};
  return {"Paylaşım kapalı", Tone::off};
}

IdentityText identityText(const HostService::RelayState& relay, bool relayEnabled) {
  using Relay = HostService::RelayState;
  if (const auto* online = std::get_if<Relay::Online>(&relay.value))
    return {online->identity.displayID(), online->identity.id};
  if (std::holds_alternative<Relay::Failed>(relay.value)) return {"Kimlik alınamadı", std::nullopt};
  if (std::holds_alternative<Relay::Connecting>(relay.value)) return {"Kimlik alınıyor…", std::nullopt};
  return {relayEnabled ? "Paylaşım kapalı" : "İnternet erişimi kapalı", std::nullopt};
}

std::vector<MenuEntry> trayMenu(const HostService::State& state) {
  using Role = MenuEntry::Role;
  std::vector<MenuEntry> menu;
  menu.push_back({Role::header, state.isSharing ? "Pellora · Paylaşım açık" : "Pellora · Paylaşım kapalı"});
  if (state.active) {
    menu.push_back({Role::peer, state.active->peerName + " bağlı"});
    menu.push_back({Role::disconnect, "Bağlantıyı kes"});
  }
  menu.push_back({Role::toggleSharing, state.isSharing ? "Paylaşımı durdur" : "Paylaşımı başlat"});
  menu.push_back({Role::showMain, "Pellora’i göster"});
  menu.push_back({Role::settings, "Ayarlar…"});
  menu.push_back({Role::quit, "Çık"});
  return menu;
}

namespace {
std::size_t codePoints(const std::string& text) {
  std::size_t count = 0;
  for (const unsigned char byte : text)
    if ((byte & 0xC0) != 0x80) ++count;
  return count;
}
}  // namespace

bool canSavePermanentPassword(const std::string& first, const std::string& second) {
  return codePoints(first) >= minimumPermanentPassword && first == second;
}

bool showsPasswordMismatch(const std::string& first, const std::string& second) {
  return !second.empty() && second != first;
}

std::string trimmed(std::string_view text) {
  constexpr std::string_view blanks = " \t\n\r\v\f";
  const auto begin = text.find_first_not_of(blanks);
  if (begin == std::string_view::npos) return {};
  return std::string(text.substr(begin, text.find_last_not_of(blanks) - begin + 1));
}

std::optional<ViewerTarget> connectTarget(const std::string& trimmedText, const std::vector<ServiceEndpoint>& nearby) {
  for (const auto& device : nearby)
    if (device.name == trimmedText) return ViewerTarget{ViewerTarget::Bonjour{device.name, device}};
  return ViewerTarget::parse(trimmedText);
}

std::optional<AutoConnect> parseAutoConnect(const char* value) {
  if (!value) return std::nullopt;
  const std::string_view text(value);
  const auto bar = text.find('|');
  if (bar == std::string_view::npos) return std::nullopt;
  auto target = ViewerTarget::parse(text.substr(0, bar));
  if (!target) return std::nullopt;
  return AutoConnect{std::move(*target), std::string(text.substr(bar + 1))};
}

std::string hostChatTitle(int unread) {
  return unread > 0 ? "Sohbet (" + std::to_string(unread) + ")" : "Sohbet";
}

std::string addressesLine(const std::vector<std::string>& addresses) {
  if (addresses.empty()) return "Yerel IP bulunamadı";
  std::string line;
  for (const auto& address : addresses) line += (line.empty() ? "" : " · ") + address;
  return line;
}

}  // namespace pellora::ui
