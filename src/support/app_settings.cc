#include "support/app_settings.h"

#include <algorithm>
#include <boost/json.hpp>
#include <system_error>

#include "base/process_queues.h"
#include "support/atomic_file.h"
#include "support/paths.h"

namespace pellora {

namespace {

namespace json = boost::json;

constexpr const char* keyRelayURL = "relayURL";
constexpr const char* keyRelayEnabled = "relayEnabled";
constexpr const char* keyRequireApproval = "requireApproval";
constexpr const char* keyQuality = "quality";
constexpr const char* keySwapCommandControl = "swapCommandControl";
constexpr const char* keySyncClipboard = "syncClipboard";
constexpr const char* keyRecent = "recent";
constexpr const char* keySkipApprovalForPermanent = "skipApprovalForPermanent";
constexpr const char* keyAcceptFiles = "acceptFiles";
constexpr const char* keyRequireHandshakeV2 = "requireHandshakeV2";
constexpr const char* keyHandshakeV2Pins = "handshakeV2Pins";

bool readBool(const SettingsFile& file, const char* key, bool fallback) {
  auto v = file.get(key);
  return v && v->is_bool() ? v->as_bool() : fallback;
}

std::vector<std::string> readStrings(const SettingsFile& file, const char* key) {
  std::vector<std::string> strings;
  auto v = file.get(key);
  if (!v || !v->is_array()) return strings;
  for (const auto& item : v->as_array())
    if (item.is_string()) strings.emplace_back(item.as_string());
  return strings;
}

json::array toJSON(const std::vector<std::string>& strings) {
  json::array array;
  for (const auto& s : strings) array.emplace_back(json::string(s));
  return array;
}

// Exec lines are parsed by the desktop's launcher: quote the path when it holds anything special.
std::string desktopExec(const std::string& executable) {
  if (executable.find_first_of(" \t\"'\\$`") == std::string::npos) return executable;
  std::string quoted = "\"";
  for (char c : executable) {
    if (c == '"' || c == '`' || c == '$' || c == '\\') quoted += '\\';
    quoted += c;
  }
  return quoted + "\"";
}

// Adds `target` once, keeping at most maxPins (the oldest go first). False when it was there already.
bool addPin(std::vector<std::string>& pins, const std::string& target) {
  if (std::find(pins.begin(), pins.end(), target) != pins.end()) return false;
  pins.push_back(target);
  if (pins.size() > AppSettings::maxPins)
    pins.erase(pins.begin(), pins.end() - static_cast<std::ptrdiff_t>(AppSettings::maxPins));
  return true;
}

}  // namespace

std::filesystem::path AppSettings::defaultAutostartFile() {
  return Paths::configHome() / "autostart" / "pellora.desktop";
}

AppSettings::AppSettings(SettingsFile& file, PermanentPasswordStore& permanentPassword,
                         std::filesystem::path autostartFile)
    : file_(file),
      pinFile_(&file),
      permanentStore_(permanentPassword),
      permanentPassword_(permanentPassword.load()),
      autostartFile_(std::move(autostartFile)) {
  State s;
  s.relayURL = file_.getString(keyRelayURL).value_or(RelayClient::defaultURL());
  s.relayEnabled = readBool(file_, keyRelayEnabled, true);
  s.requireApproval = readBool(file_, keyRequireApproval, true);
  s.quality = qualityFromRawValue(file_.getString(keyQuality).value_or("")).value_or(Quality::balanced);
  s.swapCommandControl = readBool(file_, keySwapCommandControl, true);
  s.syncClipboard = readBool(file_, keySyncClipboard, true);
  s.recent = readStrings(file_, keyRecent);
  s.skipApprovalForPermanent = readBool(file_, keySkipApprovalForPermanent, false);
  s.acceptFiles = readBool(file_, keyAcceptFiles, true);
  s.requireHandshakeV2 = readBool(file_, keyRequireHandshakeV2, false);
  s.handshakeV2Pins = readStrings(file_, keyHandshakeV2Pins);
  s.hasPermanentPassword = permanentPassword_.has_value();
  s.launchAtLogin = std::filesystem::exists(autostartFile_);
  published_ = Published<State>(std::move(s));
}

void AppSettings::setRelayURL(std::string url) {
  file_.set(keyRelayURL, json::string(url));
  published_.update([&](State& s) { s.relayURL = std::move(url); });
}

void AppSettings::setRelayEnabled(bool on) {
  file_.set(keyRelayEnabled, on);
  published_.update([&](State& s) { s.relayEnabled = on; });
}

void AppSettings::setRequireApproval(bool on) {
  file_.set(keyRequireApproval, on);
  published_.update([&](State& s) { s.requireApproval = on; });
}

void AppSettings::setQuality(Quality quality) {
  file_.set(keyQuality, json::string(rawValue(quality)));
  published_.update([&](State& s) { s.quality = quality; });
}

void AppSettings::setSwapCommandControl(bool on) {
  file_.set(keySwapCommandControl, on);
  published_.update([&](State& s) { s.swapCommandControl = on; });
}

void AppSettings::setSyncClipboard(bool on) {
  file_.set(keySyncClipboard, on);
  published_.update([&](State& s) { s.syncClipboard = on; });
}

void AppSettings::setSkipApprovalForPermanent(bool on) {
  file_.set(keySkipApprovalForPermanent, on);
  published_.update([&](State& s) { s.skipApprovalForPermanent = on; });
}

void AppSettings::setAcceptFiles(bool on) {
  file_.set(keyAcceptFiles, on);
  published_.update([&](State& s) { s.acceptFiles = on; });
}

void AppSettings::setRequireHandshakeV2(bool on) {
  file_.set(keyRequireHandshakeV2, on);
  published_.update([&](State& s) { s.requireHandshakeV2 = on; });
}

void AppSettings::keepPinsIn(SettingsFile& file) {
  pinFile_ = &file;
  std::vector<std::string> pins = readStrings(file, keyHandshakeV2Pins);
  published_.update([&](State& s) { s.handshakeV2Pins = std::move(pins); });
}

bool AppSettings::isPinnedToHandshakeV2(const std::string& target) const {
  const auto& pins = state().handshakeV2Pins;
  return std::find(pins.begin(), pins.end(), target) != pins.end();
}

AppSettings::~AppSettings() {
  // The queued pin merges use the pin file, which only has to outlive this object.
  if (queuedPins_) storageQueue().waitUntilIdle();
}

void AppSettings::pinHandshakeV2(const std::string& target) {
  std::vector<std::string> pins = state().handshakeV2Pins;
  if (!addPin(pins, target)) return;
  published_.update([&](State& s) { s.handshakeV2Pins = std::move(pins); });
  // Reading the file again waits for the disk: the merge runs off the network thread.
  queuedPins_ = true;
  storageQueue().post([file = pinFile_, target] {
    file->reload();
    std::vector<std::string> stored = readStrings(*file, keyHandshakeV2Pins);
    if (addPin(stored, target)) file->set(keyHandshakeV2Pins, toJSON(stored));
  });
}

void AppSettings::remember(const std::string& target) {
  std::vector<std::string> recent = state().recent;
  std::erase(recent, target);
  recent.insert(recent.begin(), target);
  if (recent.size() > maxRecent) recent.resize(maxRecent);
  file_.set(keyRecent, toJSON(recent));
  published_.update([&](State& s) { s.recent = std::move(recent); });
}

boost::asio::awaitable<std::optional<std::string>> AppSettings::setLaunchAtLogin(bool enabled,
                                                                                 std::string executable) {
  struct Outcome {
    std::optional<std::string> error;
    bool present = false;
  };
  // The entry is written with an fsync: off the network thread.
  auto change = [enabled, executable = std::move(executable), file = autostartFile_] {
    Outcome out;
    if (enabled) {
      const std::string entry =
          "[Desktop Entry]\n"
          "Type=Application\n"
          "Name=Pellora\n"
          "Exec=" + desktopExec(executable) + "\n"
          "X-GNOME-Autostart-enabled=true\n";
      if (!writeFileAtomically(file, entry, 0644))
        out.error = "Otomatik başlatma dosyası yazılamadı: " + file.string();
    } else {
      std::error_code ec;
      std::filesystem::remove(file, ec);
      if (ec) out.error = ec.message();
    }
    out.present = std::filesystem::exists(file);
    return out;
  };
  Outcome out = co_await storageQueue().run(std::move(change));
  published_.update([&](State& s) { s.launchAtLogin = out.present; });
  co_return out.error;
}

boost::asio::awaitable<void> AppSettings::setPermanentPassword(std::optional<std::string> password) {
  const std::uint64_t change = ++permanentChanges_;
  std::optional<std::string> stored = co_await permanentStore_.replaceAsync(std::move(password));
  // The store runs the changes in order, so the last one asked for read back what stays; an earlier one
  // resuming after it would bring an older answer.
  if (change != permanentChanges_) co_return;
  permanentPassword_ = std::move(stored);
  const bool has = permanentPassword_.has_value();
  published_.update([&](State& s) { s.hasPermanentPassword = has; });
}

RelayClient AppSettings::relayClient(Wire::Executor executor) const {
  return RelayClient(std::move(executor), RelayClient::effectiveURL(state().relayURL));
}

}  // namespace pellora
