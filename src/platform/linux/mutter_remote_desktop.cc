#include "platform/linux/mutter_remote_desktop.h"

#include <algorithm>
#include <chrono>
#include <string_view>

#include "core/transport_error.h"
#include "host/screen_capturer.h"
#include "platform/linux/gdbus_handles.h"

namespace pellora {

namespace {

constexpr std::chrono::milliseconds connectTimeout{1000};
constexpr std::chrono::seconds streamTimeout{5};

constexpr const char* remoteDesktopName = "org.gnome.Mutter.RemoteDesktop";
constexpr const char* remoteDesktopSession = "org.gnome.Mutter.RemoteDesktop.Session";
constexpr const char* screenCastName = "org.gnome.Mutter.ScreenCast";
constexpr const char* screenCastSession = "org.gnome.Mutter.ScreenCast.Session";
constexpr const char* screenCastStream = "org.gnome.Mutter.ScreenCast.Stream";

// Cursor as stream metadata: the capturer draws it, and its position stays readable.
constexpr std::uint32_t cursorModeMetadata = 2;

gdbus::GObjectPtr<GDBusConnection> connectSessionBus() { return gdbus::connectSessionBus(connectTimeout); }

using gdbus::callSync;

// FNV-1a of the connector name: display ids that survive other monitors coming and going.
std::uint32_t idOfConnector(const std::string& connector) {
  std::uint32_t hash = 2166136261u;
  for (unsigned char c : connector) hash = (hash ^ c) * 16777619u;
  return hash;
}

std::vector<MutterMonitor> monitorsOn(GDBusConnection* bus) {
  gdbus::VariantPtr state = callSync(bus, "org.gnome.Mutter.DisplayConfig", "/org/gnome/Mutter/DisplayConfig",
                              "org.gnome.Mutter.DisplayConfig", "GetCurrentState", nullptr,
                              "(ua((ssss)a(siiddada{sv})a{sv})a(iiduba(ssss)a{sv})a{sv})");
  if (!state) return {};
  std::vector<MutterMonitor> list;
  gdbus::VariantPtr monitors(g_variant_get_child_value(state.get(), 1));
  gdbus::VariantPtr logical(g_variant_get_child_value(state.get(), 2));
  // Physical monitors: the connector, the display name and the current mode's size.
  for (gsize i = 0, n = g_variant_n_children(monitors.get()); i < n; ++i) {
    gdbus::VariantPtr monitor(g_variant_get_child_value(monitors.get(), i));
    const char *connector = nullptr, *vendor = nullptr, *product = nullptr, *serial = nullptr;
    GVariantIter* modes = nullptr;
    GVariant* properties = nullptr;
    g_variant_get(monitor.get(), "((&s&s&s&s)a(siiddada{sv})@a{sv})", &connector, &vendor, &product, &serial, &modes,
                  &properties);
    gdbus::VariantPtr ownedProperties(properties);
    MutterMonitor m;
    m.connector = connector;
    m.id = idOfConnector(m.connector);
    const char* displayName = nullptr;
    m.name = g_variant_lookup(properties, "display-name", "&s", &displayName) ? displayName : connector;
    const char* modeID = nullptr;
    gint32 width = 0, height = 0;
    gdouble rate = 0, preferredScale = 0;
    GVariant* scales = nullptr;
    GVariant* modeProperties = nullptr;
    while (g_variant_iter_next(modes, "(&siidd@ad@a{sv})", &modeID, &width, &height, &rate, &preferredScale, &scales,
                               &modeProperties)) {
      gboolean current = FALSE;
      g_variant_lookup(modeProperties, "is-current", "b", &current);
      g_variant_unref(scales);
      g_variant_unref(modeProperties);
      if (current) {
        m.rect.width = width;
        m.rect.height = height;
      }
    }
    g_variant_iter_free(modes);
    if (m.rect.width > 0) list.push_back(m);  // a monitor without a current mode is off
  }
  // Logical monitors: where each physical one sits and which is primary.
  for (gsize i = 0, n = g_variant_n_children(logical.get()); i < n; ++i) {
    gdbus::VariantPtr entry(g_variant_get_child_value(logical.get(), i));
    gint32 x = 0, y = 0;
    gdouble scale = 1;
    guint32 transform = 0;
    gboolean primary = FALSE;
    GVariantIter* members = nullptr;
    GVariant* properties = nullptr;
    g_variant_get(entry.get(), "(iidub" "a(ssss)@a{sv})", &x, &y, &scale, &transform, &primary, &members, &properties);
    g_variant_unref(properties);
    const char *connector = nullptr, *vendor = nullptr, *product = nullptr, *serial = nullptr;
    while (g_variant_iter_next(members, "(&s&s&s&s)", &connector, &vendor, &product, &serial)) {
      for (MutterMonitor& m : list) {
        if (m.connector != connector) continue;
        m.rect.x = x;
        m.rect.y = y;
        m.primary = primary;
      }
    }
    g_variant_iter_free(members);
  }
  markMainDisplay(list);
  return list;
}

// The MIME types of a clipboard owner. The compositor sends them as "(as)" inside the variant; "as" is
// taken too.
std::vector<std::string> mimeTypesIn(GVariant* options) {
  gdbus::VariantPtr value(g_variant_lookup_value(options, "mime-types", nullptr));
  if (value && g_variant_is_of_type(value.get(), G_VARIANT_TYPE("(as)")))
    value.reset(g_variant_get_child_value(value.get(), 0));
  return gdbus::strings(value.get());
}

DisplayInfo displayInfoOf(const MutterMonitor& m) {
  return {m.id, static_cast<std::uint16_t>(std::clamp(m.rect.width, 0, 65535)),
          static_cast<std::uint16_t>(std::clamp(m.rect.height, 0, 65535)), m.primary, m.name};
}

}  // namespace

MutterRemoteDesktop::MutterRemoteDesktop() = default;

std::vector<MutterMonitor> MutterRemoteDesktop::monitors() {
  auto bus = connectSessionBus();
  return bus ? monitorsOn(bus.get()) : std::vector<MutterMonitor>{};
}

bool MutterRemoteDesktop::available() {
  auto bus = connectSessionBus();
  if (!bus) return false;
  for (const char* name : {remoteDesktopName, screenCastName}) {
    if (!gdbus::nameHasOwner(bus.get(), name)) return false;
  }
  return true;
}

std::shared_ptr<MutterRemoteDesktop> MutterRemoteDesktop::start(const MutterMonitor& monitor) {
  std::shared_ptr<MutterRemoteDesktop> s(new MutterRemoteDesktop());
  s->bus_ = gdbus::PrivateBus::connect(connectTimeout);
  if (!s->bus_) throw TransportError::connectFailed("no session bus");
  GDBusConnection* c = s->bus_->get();
  auto fail = [](const std::string& step, const std::string& error) {
    return TransportError::connectFailed("GNOME remote desktop: " + step + ": " + error);
  };

  std::string error;
  gdbus::VariantPtr reply = callSync(c, remoteDesktopName, "/org/gnome/Mutter/RemoteDesktop", remoteDesktopName,
                              "CreateSession", nullptr, "(o)", &error);
  if (!reply) throw fail("CreateSession", error);
  const char* path = nullptr;
  g_variant_get(reply.get(), "(&o)", &path);
  s->remoteDesktopPath_ = path;

  gdbus::VariantPtr id = callSync(c, remoteDesktopName, s->remoteDesktopPath_, "org.freedesktop.DBus.Properties", "Get",
                           g_variant_new("(ss)", remoteDesktopSession, "SessionId"), "(v)", &error);
  if (!id) throw fail("SessionId", error);
  gdbus::VariantPtr idValue(g_variant_get_child_value(id.get(), 0));
  gdbus::VariantPtr sessionID(g_variant_get_variant(idValue.get()));

  GVariantBuilder options;
  g_variant_builder_init(&options, G_VARIANT_TYPE("a{sv}"));
  g_variant_builder_add(&options, "{sv}", "remote-desktop-session-id", g_variant_ref(sessionID.get()));
  reply = callSync(c, screenCastName, "/org/gnome/Mutter/ScreenCast", screenCastName, "CreateSession",
                   g_variant_new("(a{sv})", &options), "(o)", &error);
  if (!reply) throw fail("screen cast CreateSession", error);
  g_variant_get(reply.get(), "(&o)", &path);
  s->screenCastPath_ = path;

  GVariantBuilder streamOptions;
  g_variant_builder_init(&streamOptions, G_VARIANT_TYPE("a{sv}"));
  g_variant_builder_add(&streamOptions, "{sv}", "cursor-mode", g_variant_new_uint32(cursorModeMetadata));
  reply = callSync(c, screenCastName, s->screenCastPath_, screenCastSession, "RecordMonitor",
                   g_variant_new("(sa{sv})", monitor.connector.c_str(), &streamOptions), "(o)", &error);
  if (!reply) throw fail("RecordMonitor", error);
  g_variant_get(reply.get(), "(&o)", &path);
  s->streamPath_ = path;

  // Signals reach the private context, dispatched only where this object pumps it.
  MutterRemoteDesktop* self = s.get();
  s->bus_->subscribe(
      screenCastStream, "PipeWireStreamAdded", s->streamPath_.c_str(),
      [](GDBusConnection*, const gchar*, const gchar*, const gchar*, const gchar*, GVariant* parameters,
         gpointer data) {
        auto* me = static_cast<MutterRemoteDesktop*>(data);
        g_variant_get(parameters, "(u)", &me->node_);
        me->nodeKnown_ = true;
      },
      self);
  for (const auto& [sessionPath, interface] :
       {std::pair{s->remoteDesktopPath_, remoteDesktopSession}, std::pair{s->screenCastPath_, screenCastSession}}) {
    s->bus_->subscribe(
        interface, "Closed", sessionPath.c_str(),
        [](GDBusConnection*, const gchar*, const gchar*, const gchar*, const gchar*, GVariant*, gpointer data) {
          static_cast<MutterRemoteDesktop*>(data)->closed_ = true;
        },
        self);
  }
  s->bus_->watchOwner(remoteDesktopName, s->closed_);
  s->subscribeClipboard();

  reply = callSync(c, remoteDesktopName, s->remoteDesktopPath_, remoteDesktopSession, "Start", nullptr, nullptr, &error);
  if (!reply) throw fail("Start", error);
  s->bus_->pumpUntil([&] { return s->nodeKnown_ || s->closed_; }, std::chrono::steady_clock::now() + streamTimeout);
  if (!s->nodeKnown_) throw fail("stream", s->closed_ ? "session closed" : "no stream in time");

  s->streamRect_ = monitor.rect;  // unless the stream says otherwise
  gdbus::VariantPtr parameters = callSync(c, screenCastName, s->streamPath_, "org.freedesktop.DBus.Properties", "Get",
                                   g_variant_new("(ss)", screenCastStream, "Parameters"), "(v)", &error);
  if (parameters) {
    gdbus::VariantPtr boxed(g_variant_get_child_value(parameters.get(), 0));
    gdbus::VariantPtr dict(g_variant_get_variant(boxed.get()));
    g_variant_lookup(dict.get(), "position", "(ii)", &s->streamRect_.x, &s->streamRect_.y);
    g_variant_lookup(dict.get(), "size", "(ii)", &s->streamRect_.width, &s->streamRect_.height);
  }
  s->enableClipboard();
  return s;
}

void MutterRemoteDesktop::subscribeClipboard() {
  bus_->subscribe(
      remoteDesktopSession, nullptr, remoteDesktopPath_.c_str(),
      [](GDBusConnection*, const gchar*, const gchar*, const gchar*, const gchar* signal, GVariant* parameters,
         gpointer data) {
        auto* me = static_cast<MutterRemoteDesktop*>(data);
        const std::string_view name(signal);
        if (name == "SelectionOwnerChanged" && g_variant_is_of_type(parameters, G_VARIANT_TYPE("(a{sv})"))) {
          const ClipboardEvents events = me->clipboardEvents();
          if (!events.ownerChanged) return;
          gdbus::VariantPtr options(g_variant_get_child_value(parameters, 0));
          gboolean ours = FALSE;
          g_variant_lookup(options.get(), "session-is-owner", "b", &ours);
          events.ownerChanged(mimeTypesIn(options.get()), ours);
        } else if (name == "SelectionTransfer" && g_variant_is_of_type(parameters, G_VARIANT_TYPE("(su)"))) {
          const ClipboardEvents events = me->clipboardEvents();
          const char* mimeType = nullptr;
          std::uint32_t serial = 0;
          g_variant_get(parameters, "(&su)", &mimeType, &serial);
          if (events.transfer) events.transfer(mimeType, serial);
          else me->selectionWriteDone(serial, false);  // nobody to serve it: the paste fails at once
        }
      },
      this);
}

void MutterRemoteDesktop::enableClipboard() {
  clipboard_ = callSync(bus_->get(), remoteDesktopName, remoteDesktopPath_, remoteDesktopSession, "EnableClipboard",
                        g_variant_new("(@a{sv})", g_variant_new_array(G_VARIANT_TYPE("{sv}"), nullptr, 0)),
                        nullptr) != nullptr;
  // The compositor answers with a report of the clipboard's current owner, queued before the reply. It is
  // dispatched here, before anyone listens: what was copied before the session began is not news.
  bus_->pump();
}

MutterRemoteDesktop::~MutterRemoteDesktop() {
  if (!bus_) return;
  GDBusConnection* c = bus_->get();
  if (!remoteDesktopPath_.empty() && !closed_ && !g_dbus_connection_is_closed(c)) {
    // Stopping the remote-desktop session stops the linked screen cast too.
    callSync(c, remoteDesktopName, remoteDesktopPath_, remoteDesktopSession, "Stop", nullptr, nullptr);
  }
}

void MutterRemoteDesktop::call(const char* method, void* parameters) {
  g_dbus_connection_call(bus_->get(), remoteDesktopName, remoteDesktopPath_.c_str(), remoteDesktopSession, method,
                         static_cast<GVariant*>(parameters), nullptr, G_DBUS_CALL_FLAGS_NO_AUTO_START, -1, nullptr,
                         nullptr, nullptr);
}

void MutterRemoteDesktop::pointerMotion(double x, double y) {
  call("NotifyPointerMotionAbsolute", g_variant_new("(sdd)", streamPath_.c_str(), x, y));
}

void MutterRemoteDesktop::pointerButton(std::int32_t evdevButton, bool down) {
  call("NotifyPointerButton", g_variant_new("(ib)", evdevButton, down));
}

void MutterRemoteDesktop::pointerAxisDiscrete(std::uint32_t axis, std::int32_t steps) {
  call("NotifyPointerAxisDiscrete", g_variant_new("(ui)", axis, steps));
}

void MutterRemoteDesktop::key(std::uint32_t evdevCode, bool down) {
  call("NotifyKeyboardKeycode", g_variant_new("(ub)", evdevCode, down));
}

bool MutterRemoteDesktop::pollClosed() { return bus_->pump() || closed_; }

void MutterRemoteDesktop::setSelection(const std::vector<std::string>& mimeTypes) {
  if (!clipboard_) return;
  GVariantBuilder options;
  g_variant_builder_init(&options, G_VARIANT_TYPE("a{sv}"));
  g_variant_builder_add(&options, "{sv}", "mime-types", gdbus::stringArray(mimeTypes));
  callSync(bus_->get(), remoteDesktopName, remoteDesktopPath_, remoteDesktopSession, "SetSelection",
           g_variant_new("(a{sv})", &options), nullptr);
}

UniqueFd MutterRemoteDesktop::selectionWrite(std::uint32_t serial) {
  if (!clipboard_) return {};
  return gdbus::callForFd(bus_->get(), remoteDesktopName, remoteDesktopPath_, remoteDesktopSession, "SelectionWrite",
                          g_variant_new("(u)", serial));
}

void MutterRemoteDesktop::selectionWriteDone(std::uint32_t serial, bool success) {
  if (!clipboard_) return;
  callSync(bus_->get(), remoteDesktopName, remoteDesktopPath_, remoteDesktopSession, "SelectionWriteDone",
           g_variant_new("(ub)", serial, success), nullptr);
}

UniqueFd MutterRemoteDesktop::selectionRead(const std::string& mimeType) {
  if (!clipboard_) return {};
  return gdbus::callForFd(bus_->get(), remoteDesktopName, remoteDesktopPath_, remoteDesktopSession, "SelectionRead",
                          g_variant_new("(s)", mimeType.c_str()));
}

std::vector<DisplayInfo> MutterDesktop::displays() {
  std::vector<DisplayInfo> list;
  for (const MutterMonitor& m : MutterRemoteDesktop::monitors()) list.push_back(displayInfoOf(m));
  return list;
}

std::shared_ptr<RemoteDesktopSession> MutterDesktop::open(std::uint32_t displayID) {
  const std::vector<MutterMonitor> monitors = MutterRemoteDesktop::monitors();
  const MutterMonitor* monitor = chooseDisplay(monitors, displayID);
  if (!monitor) throw TransportError::connectFailed("Ekran bulunamadı");
  return MutterRemoteDesktop::start(*monitor);
}

}  // namespace pellora
