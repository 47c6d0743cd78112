#include "platform/linux/power_inhibitor_linux.h"

#include <gio/gio.h>
#include <xcb/screensaver.h>

#include <chrono>

#include "platform/linux/gdbus_handles.h"
#include "platform/linux/monitor_list_x11.h"
#include "platform/linux/xcb_handles_x11.h"

namespace pellora {

using gdbus::connectBounded;
using gdbus::ErrorPtr;
using gdbus::GObjectPtr;
using gdbus::sessionBusAddress;
using gdbus::VariantPtr;

namespace {

constexpr std::chrono::milliseconds connectTimeout{1000};
constexpr int callTimeoutMs = 1000;

}  // namespace

// org.freedesktop.ScreenSaver on the session bus. The desktop drops an inhibition when the connection
// that asked for it closes, so the connection is kept.
class PowerInhibitorLinux::SessionBus {
 public:
  // Null when no session bus answers.
  static std::unique_ptr<SessionBus> connect() {
    const std::string address = sessionBusAddress();
    if (address.empty()) return nullptr;
    auto connection = connectBounded(address, connectTimeout);
    if (!connection) return nullptr;
    g_dbus_connection_set_exit_on_close(connection.get(), FALSE);
    return std::unique_ptr<SessionBus>(new SessionBus(std::move(connection)));
  }

  std::optional<std::uint32_t> inhibit(const std::string& reason) {
    auto reply = call("Inhibit", g_variant_new("(ss)", applicationName, reason.c_str()), G_VARIANT_TYPE("(u)"));
    if (!reply) return std::nullopt;
    guint32 cookie = 0;
    g_variant_get(reply.get(), "(u)", &cookie);
    return cookie;
  }

  void uninhibit(std::uint32_t cookie) { call("UnInhibit", g_variant_new("(u)", cookie), nullptr); }

  bool closed() const { return g_dbus_connection_is_closed(connection_.get()); }

 private:
  explicit SessionBus(GObjectPtr<GDBusConnection> connection) : connection_(std::move(connection)) {}

  // `parameters` is floating and consumed by the call.
  VariantPtr call(const char* method, GVariant* parameters, const GVariantType* replyType) {
    GError* raw = nullptr;
    VariantPtr reply(g_dbus_connection_call_sync(connection_.get(), "org.freedesktop.ScreenSaver",
                                                 "/org/freedesktop/ScreenSaver", "org.freedesktop.ScreenSaver", method,
                                                 parameters, replyType, G_DBUS_CALL_FLAGS_NO_AUTO_START, callTimeoutMs,
                                                 nullptr, &raw));
    ErrorPtr error(raw);
    return reply;
  }

  GObjectPtr<GDBusConnection> connection_;
};

// The X screen saver extension's suspend (version 1.1). The server counts suspensions per client and
// ends them when the client disconnects, so the connection is kept.
class PowerInhibitorLinux::ScreenSaverX11 {
 public:
  // Null when no X server with the extension answers.
  static std::unique_ptr<ScreenSaverX11> connect(const std::string& xDisplay) {
    int screenNumber = 0;
    x11::Connection connection = x11::connect(xDisplay, &screenNumber);
    if (!connection || !x11::hasExtension(connection.get(), &xcb_screensaver_id)) return nullptr;
    x11::Reply<xcb_screensaver_query_version_reply_t> version(xcb_screensaver_query_version_reply(
        connection.get(), xcb_screensaver_query_version(connection.get(), 1, 1), nullptr));
    if (!version || version->server_major_version < 1 ||
        (version->server_major_version == 1 && version->server_minor_version < 1))
      return nullptr;
    return std::unique_ptr<ScreenSaverX11>(new ScreenSaverX11(std::move(connection)));
  }

  bool suspend(bool on) {
    return !broken() && x11::succeeded(c_.get(), xcb_screensaver_suspend_checked(c_.get(), on ? 1 : 0));
  }

  bool broken() const { return xcb_connection_has_error(c_.get()) != 0; }

 private:
  explicit ScreenSaverX11(x11::Connection c) : c_(std::move(c)) {}
  x11::Connection c_;
};

PowerInhibitorLinux::PowerInhibitorLinux(std::string xDisplay, Backends backends)
    : xDisplay_(std::move(xDisplay)), backends_(backends) {}

PowerInhibitorLinux::~PowerInhibitorLinux() {
  for (const auto& [cookie, held] : held_) {
    if (held.onBus && bus_) bus_->uninhibit(held.busCookie);
  }
  // Suspensions of the X screen saver end with the connection.
}

std::optional<std::uint32_t> PowerInhibitorLinux::inhibit(const std::string& reason) {
  std::lock_guard lock(mutex_);
  Held held;
  bool ok = false;
  if (backends_ == Backends::sessionBusThenX11) {
    if (bus_ && bus_->closed()) bus_.reset();  // the bus went away, and our inhibitions with it
    if (!bus_) bus_ = SessionBus::connect();
    if (bus_) {
      if (auto busCookie = bus_->inhibit(reason)) {
        held = {true, *busCookie};
        ok = true;
      }
    }
  }
  if (!ok) {
    if (x_ && x_->broken()) x_.reset();  // the server went away, and our suspensions with it
    if (!x_) x_ = ScreenSaverX11::connect(xDisplay_);
    ok = x_ && x_->suspend(true);
  }
  if (!ok) return std::nullopt;
  const std::uint32_t cookie = nextCookie_++;
  held_[cookie] = held;
  return cookie;
}

void PowerInhibitorLinux::release(std::uint32_t cookie) {
  std::lock_guard lock(mutex_);
  auto it = held_.find(cookie);
  if (it == held_.end()) return;
  if (it->second.onBus) {
    if (bus_) bus_->uninhibit(it->second.busCookie);
  } else if (x_) {
    x_->suspend(false);
  }
  held_.erase(it);
}

}  // namespace pellora
