#include "platform/linux/portal_remote_desktop.h"

#include <algorithm>
#include <atomic>
#include <chrono>
#include <optional>
#include <random>
#include <string_view>

#include "core/transport_error.h"
#include "platform/linux/gdbus_handles.h"
#include "support/settings_file.h"

namespace pellora {

namespace {

constexpr std::chrono::milliseconds connectTimeout{1000};
// Each step answers at once, except Start, which waits for the user to read the system's dialog.
constexpr int stepTimeoutSeconds = 10;
constexpr int consentTimeoutSeconds = 120;

constexpr const char* portalPath = "/org/freedesktop/portal/desktop";
constexpr const char* remoteDesktopInterface = "org.freedesktop.portal.RemoteDesktop";
constexpr const char* screenCastInterface = "org.freedesktop.portal.ScreenCast";
constexpr const char* clipboardInterface = "org.freedesktop.portal.Clipboard";
constexpr const char* sessionInterface = "org.freedesktop.portal.Session";
constexpr const char* requestInterface = "org.freedesktop.portal.Request";
constexpr const char* tokenKey = "portalRestoreToken";

constexpr std::uint32_t keyboardAndPointer = 1 | 2;
constexpr std::uint32_t monitorSource = 1;
constexpr std::uint32_t cursorEmbedded = 2, cursorMetadata = 4;
constexpr std::uint32_t persistUntilRevoked = 2;
// Request responses: 0 success, 1 the user cancelled, anything else another failure.
constexpr std::uint32_t responseCancelled = 1;

TransportError fail(const std::string& step, const std::string& error) {
  return TransportError::connectFailed("desktop portal: " + step + ": " + error);
}

// Tokens only need to be unique among this connection's requests.
std::string newToken() {
  static std::atomic<unsigned> counter{0};
  static const unsigned salt = std::random_device{}();
  return "pellora" + std::to_string(salt % 100000) + "_" + std::to_string(++counter);
}

// Unsigned property of a portal interface; nothing when the interface is missing.
std::optional<std::uint32_t> portalProperty(GDBusConnection* bus, const char* interface, const char* name) {
  gdbus::VariantPtr reply = gdbus::callSync(bus, PortalRemoteDesktop::busName, portalPath,
                                            "org.freedesktop.DBus.Properties", "Get",
                                            g_variant_new("(ss)", interface, name), "(v)");
  if (!reply) return std::nullopt;
  gdbus::VariantPtr boxed(g_variant_get_child_value(reply.get(), 0));
  gdbus::VariantPtr value(g_variant_get_variant(boxed.get()));
  if (!g_variant_is_of_type(value.get(), G_VARIANT_TYPE_UINT32)) return std::nullopt;
  return g_variant_get_uint32(value.get());
}

GVariant* emptyOptions() { return g_variant_new_array(G_VARIANT_TYPE("{sv}"), nullptr, 0); }

}  // namespace

PortalRemoteDesktop::PortalRemoteDesktop() = default;

bool PortalRemoteDesktop::available() {
  auto bus = gdbus::connectSessionBus(connectTimeout);
  if (!bus) return false;
  if (!gdbus::nameHasOwner(bus.get(), busName)) {
    gdbus::VariantPtr names = gdbus::callSync(bus.get(), "org.freedesktop.DBus", "/org/freedesktop/DBus",
                                              "org.freedesktop.DBus", "ListActivatableNames", nullptr, "(as)");
    if (!names) return false;
    gdbus::VariantPtr list(g_variant_get_child_value(names.get(), 0));
    bool activatable = false;
    for (const std::string& name : gdbus::strings(list.get())) activatable = activatable || name == busName;
    if (!activatable) return false;
  }
  // Reading the version starts an activatable portal and says whether it has the interface.
  return portalProperty(bus.get(), remoteDesktopInterface, "version").has_value();
}

std::shared_ptr<PortalRemoteDesktop> PortalRemoteDesktop::start(const PortalTokenStore& tokens) {
  std::shared_ptr<PortalRemoteDesktop> s(new PortalRemoteDesktop());
  s->open(tokens);
  return s;
}

GVariant* PortalRemoteDesktop::request(const char* interface, const char* method, GVariant* parameters,
                                       const std::string& token, int timeoutSeconds) {
  struct Pending {
    bool answered = false;
    std::uint32_t response = 2;
    GVariant* results = nullptr;
  } pending;
  GDBusConnection* c = bus_->get();
  const auto subscribe = [&](const std::string& path) {
    return bus_->subscribe(
        requestInterface, "Response", path.c_str(),
        [](GDBusConnection*, const gchar*, const gchar*, const gchar*, const gchar*, GVariant* signalParameters,
           gpointer data) {
          auto* p = static_cast<Pending*>(data);
          if (p->answered) return;
          g_variant_get(signalParameters, "(u@a{sv})", &p->response, &p->results);
          p->answered = true;
        },
        &pending, G_DBUS_SIGNAL_FLAGS_NO_MATCH_RULE);
  };
  // The match rule for every request of this connection is added once (see open()); subscribing before
  // the call means a fast answer cannot be missed.
  std::string path = requestPrefix_ + token;
  unsigned subscription = subscribe(path);
  std::string error;
  gdbus::VariantPtr reply = gdbus::callSync(c, busName, portalPath, interface, method, parameters, "(o)", &error);
  if (!reply) {
    bus_->unsubscribe(subscription);
    throw fail(method, error);
  }
  const char* handle = nullptr;
  g_variant_get(reply.get(), "(&o)", &handle);
  if (path != handle) {  // an older portal chose its own path
    bus_->unsubscribe(subscription);
    path = handle;
    subscription = subscribe(path);
  }
  bus_->pumpUntil([&] { return pending.answered || closed_; },
                  std::chrono::steady_clock::now() + std::chrono::seconds(timeoutSeconds));
  bus_->unsubscribe(subscription);
  if (!pending.answered) {
    gdbus::callSync(c, busName, path, requestInterface, "Close", nullptr, nullptr);
    throw fail(method, closed_ ? "the portal went away" : "no answer in time");
  }
  gdbus::VariantPtr results(pending.results);
  if (pending.response == responseCancelled) throw fail(method, "the user declined");
  if (pending.response != 0) throw fail(method, "refused");
  return results.release();
}

void PortalRemoteDesktop::open(const PortalTokenStore& tokens) {
  bus_ = gdbus::PrivateBus::connect(connectTimeout);
  if (!bus_) throw TransportError::connectFailed("no session bus");
  GDBusConnection* c = bus_->get();
  // Requests appear under our unique name, ':' dropped and '.' made '_'.
  std::string sender = g_dbus_connection_get_unique_name(c);
  if (!sender.empty() && sender[0] == ':') sender.erase(0, 1);
  for (char& ch : sender) ch = ch == '.' ? '_' : ch;
  requestPrefix_ = std::string(portalPath) + "/request/" + sender + "/";
  // One match rule for all our requests; each request then subscribes without adding its own.
  gdbus::callSync(c, "org.freedesktop.DBus", "/org/freedesktop/DBus", "org.freedesktop.DBus", "AddMatch",
                  g_variant_new("(s)", ("type='signal',sender='" + std::string(busName) +
                                        "',interface='" + requestInterface + "',member='Response',path_namespace='" +
                                        requestPrefix_.substr(0, requestPrefix_.size() - 1) + "'")
                                           .c_str()),
                  nullptr);
  // A portal that dies mid-request must not leave us waiting.
  bus_->watchOwner(busName, closed_);

  GVariantBuilder options;
  std::string token = newToken();
  g_variant_builder_init(&options, G_VARIANT_TYPE("a{sv}"));
  g_variant_builder_add(&options, "{sv}", "handle_token", g_variant_new_string(token.c_str()));
  g_variant_builder_add(&options, "{sv}", "session_handle_token", g_variant_new_string(newToken().c_str()));
  gdbus::VariantPtr results(request(remoteDesktopInterface, "CreateSession", g_variant_new("(a{sv})", &options),
                                    token, stepTimeoutSeconds));
  // A string by the interface's description; some portals send an object path.
  gdbus::VariantPtr session(g_variant_lookup_value(results.get(), "session_handle", nullptr));
  if (!session || !(g_variant_is_of_type(session.get(), G_VARIANT_TYPE_STRING) ||
                    g_variant_is_of_type(session.get(), G_VARIANT_TYPE_OBJECT_PATH)))
    throw fail("CreateSession", "no session");
  sessionPath_ = g_variant_get_string(session.get(), nullptr);
  if (!g_variant_is_object_path(sessionPath_.c_str())) throw fail("CreateSession", "no session");
  subscribeSessionSignals();

  // Keyboard and pointer; the stored consent restores the whole session, monitor included.
  const std::string restoreToken = tokens.load ? tokens.load() : std::string();
  token = newToken();
  g_variant_builder_init(&options, G_VARIANT_TYPE("a{sv}"));
  g_variant_builder_add(&options, "{sv}", "handle_token", g_variant_new_string(token.c_str()));
  g_variant_builder_add(&options, "{sv}", "types", g_variant_new_uint32(keyboardAndPointer));
  g_variant_builder_add(&options, "{sv}", "persist_mode", g_variant_new_uint32(persistUntilRevoked));
  if (!restoreToken.empty())
    g_variant_builder_add(&options, "{sv}", "restore_token", g_variant_new_string(restoreToken.c_str()));
  results.reset(request(remoteDesktopInterface, "SelectDevices",
                        g_variant_new("(oa{sv})", sessionPath_.c_str(), &options), token, stepTimeoutSeconds));

  // One monitor, the cursor as metadata where the portal offers it (drawn in by the compositor otherwise).
  const std::uint32_t cursorModes = portalProperty(c, screenCastInterface, "AvailableCursorModes").value_or(0);
  token = newToken();
  g_variant_builder_init(&options, G_VARIANT_TYPE("a{sv}"));
  g_variant_builder_add(&options, "{sv}", "handle_token", g_variant_new_string(token.c_str()));
  g_variant_builder_add(&options, "{sv}", "types", g_variant_new_uint32(monitorSource));
  g_variant_builder_add(&options, "{sv}", "multiple", g_variant_new_boolean(FALSE));
  if (cursorModes & (cursorMetadata | cursorEmbedded)) {
    const std::uint32_t mode = cursorModes & cursorMetadata ? cursorMetadata : cursorEmbedded;
    g_variant_builder_add(&options, "{sv}", "cursor_mode", g_variant_new_uint32(mode));
  }
  results.reset(request(screenCastInterface, "SelectSources", g_variant_new("(oa{sv})", sessionPath_.c_str(), &options),
                        token, stepTimeoutSeconds));

  // The clipboard must be asked for before the start; portals without it simply lack the interface.
  const bool clipboardOffered = portalProperty(c, clipboardInterface, "version").has_value();
  if (clipboardOffered) {
    gdbus::callSync(c, busName, portalPath, clipboardInterface, "RequestClipboard",
                    g_variant_new("(o@a{sv})", sessionPath_.c_str(), emptyOptions()), nullptr);
  }

  token = newToken();
  g_variant_builder_init(&options, G_VARIANT_TYPE("a{sv}"));
  g_variant_builder_add(&options, "{sv}", "handle_token", g_variant_new_string(token.c_str()));
  try {
    results.reset(request(remoteDesktopInterface, "Start", g_variant_new("(osa{sv})", sessionPath_.c_str(), "", &options),
                          token, consentTimeoutSeconds));
  } catch (const TransportError&) {
    // A refused or dismissed start may have spent the token: ask afresh next time.
    if (!restoreToken.empty() && tokens.save) tokens.save("");
    throw;
  }
  const char* newRestoreToken = nullptr;
  if (g_variant_lookup(results.get(), "restore_token", "&s", &newRestoreToken) && tokens.save)
    tokens.save(newRestoreToken);
  gboolean clipboardEnabled = FALSE;
  g_variant_lookup(results.get(), "clipboard_enabled", "b", &clipboardEnabled);
  clipboard_ = clipboardOffered && clipboardEnabled;

  GVariant* streams = g_variant_lookup_value(results.get(), "streams", G_VARIANT_TYPE("a(ua{sv})"));
  gdbus::VariantPtr ownedStreams(streams);
  if (!streams || g_variant_n_children(streams) == 0) throw fail("Start", "no screen was shared");
  gdbus::VariantPtr first(g_variant_get_child_value(streams, 0));
  GVariant* properties = nullptr;
  g_variant_get(first.get(), "(u@a{sv})", &node_, &properties);
  gdbus::VariantPtr ownedProperties(properties);
  g_variant_lookup(properties, "position", "(ii)", &streamRect_.x, &streamRect_.y);
  g_variant_lookup(properties, "size", "(ii)", &streamRect_.width, &streamRect_.height);
  if (streamRect_.width <= 0 || streamRect_.height <= 0) throw fail("Start", "the stream has no size");

  std::string error;
  remote_ = gdbus::callForFd(c, busName, portalPath, screenCastInterface, "OpenPipeWireRemote",
                             g_variant_new("(o@a{sv})", sessionPath_.c_str(), emptyOptions()), &error);
  if (!remote_) throw fail("OpenPipeWireRemote", error);
}

void PortalRemoteDesktop::subscribeSessionSignals() {
  bus_->subscribe(
      sessionInterface, "Closed", sessionPath_.c_str(),
      [](GDBusConnection*, const gchar*, const gchar*, const gchar*, const gchar*, GVariant*, gpointer data) {
        static_cast<PortalRemoteDesktop*>(data)->closed_ = true;
      },
      this);
  // Clipboard signals name the session they are for in their first argument.
  bus_->subscribe(
      clipboardInterface, nullptr, portalPath,
      [](GDBusConnection*, const gchar*, const gchar*, const gchar*, const gchar* signal, GVariant* parameters,
         gpointer data) {
        auto* me = static_cast<PortalRemoteDesktop*>(data);
        if (g_variant_n_children(parameters) < 2) return;
        gdbus::VariantPtr session(g_variant_get_child_value(parameters, 0));
        if (!g_variant_is_of_type(session.get(), G_VARIANT_TYPE_OBJECT_PATH) ||
            me->sessionPath_ != g_variant_get_string(session.get(), nullptr))
          return;
        const ClipboardEvents events = me->clipboardEvents();
        const std::string_view name(signal);
        if (name == "SelectionOwnerChanged" && g_variant_is_of_type(parameters, G_VARIANT_TYPE("(oa{sv})"))) {
          gdbus::VariantPtr options(g_variant_get_child_value(parameters, 1));
          gdbus::VariantPtr types(g_variant_lookup_value(options.get(), "mime_types", G_VARIANT_TYPE("as")));
          gboolean ours = FALSE;
          g_variant_lookup(options.get(), "session_is_owner", "b", &ours);
          if (events.ownerChanged) events.ownerChanged(gdbus::strings(types.get()), ours);
        } else if (name == "SelectionTransfer" && g_variant_is_of_type(parameters, G_VARIANT_TYPE("(osu)"))) {
          const char* mimeType = nullptr;
          std::uint32_t serial = 0;
          g_variant_get(parameters, "(o&su)", nullptr, &mimeType, &serial);
          if (events.transfer) events.transfer(mimeType, serial);
          else me->selectionWriteDone(serial, false);  // nobody to serve it: the paste fails at once
        }
      },
      this);
}

PortalRemoteDesktop::~PortalRemoteDesktop() {
  if (!bus_) return;
  GDBusConnection* c = bus_->get();
  if (!sessionPath_.empty() && !closed_ && !g_dbus_connection_is_closed(c))
    gdbus::callSync(c, busName, sessionPath_, sessionInterface, "Close", nullptr, nullptr);
}

void PortalRemoteDesktop::call(const char* interface, const char* method, GVariant* parameters) {
  g_dbus_connection_call(bus_->get(), busName, portalPath, interface, method, parameters, nullptr,
                         G_DBUS_CALL_FLAGS_NO_AUTO_START, -1, nullptr, nullptr, nullptr);
}

void PortalRemoteDesktop::pointerMotion(double x, double y) {
  call(remoteDesktopInterface, "NotifyPointerMotionAbsolute",
       g_variant_new("(o@a{sv}udd)", sessionPath_.c_str(), emptyOptions(), node_, x, y));
}

void PortalRemoteDesktop::pointerButton(std::int32_t evdevButton, bool down) {
  call(remoteDesktopInterface, "NotifyPointerButton",
       g_variant_new("(o@a{sv}iu)", sessionPath_.c_str(), emptyOptions(), evdevButton, down ? 1u : 0u));
}

void PortalRemoteDesktop::pointerAxisDiscrete(std::uint32_t axis, std::int32_t steps) {
  call(remoteDesktopInterface, "NotifyPointerAxisDiscrete",
       g_variant_new("(o@a{sv}ui)", sessionPath_.c_str(), emptyOptions(), axis, steps));
}

void PortalRemoteDesktop::key(std::uint32_t evdevCode, bool down) {
  call(remoteDesktopInterface, "NotifyKeyboardKeycode",
       g_variant_new("(o@a{sv}iu)", sessionPath_.c_str(), emptyOptions(), static_cast<std::int32_t>(evdevCode),
                     down ? 1u : 0u));
}

bool PortalRemoteDesktop::pollClosed() { return bus_->pump() || closed_; }

void PortalRemoteDesktop::setSelection(const std::vector<std::string>& mimeTypes) {
  if (!clipboard_) return;
  GVariantBuilder options;
  g_variant_builder_init(&options, G_VARIANT_TYPE("a{sv}"));
  g_variant_builder_add(&options, "{sv}", "mime_types", gdbus::stringArray(mimeTypes));
  gdbus::callSync(bus_->get(), busName, portalPath, clipboardInterface, "SetSelection",
                  g_variant_new("(oa{sv})", sessionPath_.c_str(), &options), nullptr);
}

UniqueFd PortalRemoteDesktop::selectionWrite(std::uint32_t serial) {
  if (!clipboard_) return {};
  return gdbus::callForFd(bus_->get(), busName, portalPath, clipboardInterface, "SelectionWrite",
                          g_variant_new("(ou)", sessionPath_.c_str(), serial));
}

void PortalRemoteDesktop::selectionWriteDone(std::uint32_t serial, bool success) {
  if (!clipboard_) return;
  gdbus::callSync(bus_->get(), busName, portalPath, clipboardInterface, "SelectionWriteDone",
                  g_variant_new("(oub)", sessionPath_.c_str(), serial, success), nullptr);
}

UniqueFd PortalRemoteDesktop::selectionRead(const std::string& mimeType) {
  if (!clipboard_) return {};
  return gdbus::callForFd(bus_->get(), busName, portalPath, clipboardInterface, "SelectionRead",
                          g_variant_new("(os)", sessionPath_.c_str(), mimeType.c_str()));
}

std::vector<DisplayInfo> PortalDesktop::displays() {
  std::lock_guard lock(mutex_);
  return {DisplayInfo{0, static_cast<std::uint16_t>(std::clamp(lastRect_.width, 0, 65535)),
                      static_cast<std::uint16_t>(std::clamp(lastRect_.height, 0, 65535)), true, "Wayland"}};
}

bool PortalDesktop::granted() const { return tokens_.load && !tokens_.load().empty(); }

std::shared_ptr<RemoteDesktopSession> PortalDesktop::open(std::uint32_t /*displayID*/) {
  auto session = PortalRemoteDesktop::start(tokens_);
  std::lock_guard lock(mutex_);
  lastRect_ = session->streamRect();
  return session;
}

PortalTokenStore portalTokensIn(SettingsFile& file) {
  return {[&file] { return file.getString(tokenKey).value_or(""); },
          [&file](const std::string& token) {
            if (token.empty()) file.remove(tokenKey);
            else file.set(tokenKey, boost::json::value(token));
          }};
}

}  // namespace pellora
