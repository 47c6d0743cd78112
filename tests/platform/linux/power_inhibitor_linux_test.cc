#include "platform/linux/power_inhibitor_linux.h"

#include <gio/gio.h>
#include <gtest/gtest.h>
#include <stdlib.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>
#include <xcb/screensaver.h>
#include <xcb/xcb.h>

#include <chrono>
#include <cstring>
#include <filesystem>
#include <memory>
#include <mutex>
#include <thread>
#include <utility>
#include <vector>

#include "support/child_process.h"
#include "support/xvfb.h"

namespace pellora {
namespace {

using test::Xvfb;

constexpr const char* daemonPath = "/usr/bin/dbus-daemon";

// Points DBUS_SESSION_BUS_ADDRESS somewhere else for one test.
class SessionBusAddress {
 public:
  explicit SessionBusAddress(const std::string& address) {
    if (const char* old = getenv("DBUS_SESSION_BUS_ADDRESS")) old_ = old;
    setenv("DBUS_SESSION_BUS_ADDRESS", address.c_str(), 1);
  }
  ~SessionBusAddress() {
    if (old_) {
      setenv("DBUS_SESSION_BUS_ADDRESS", old_->c_str(), 1);
    } else {
      unsetenv("DBUS_SESSION_BUS_ADDRESS");
    }
  }

 private:
  std::optional<std::string> old_;
};

// A private bus (its own dbus-daemon) where a stand-in for the desktop's org.freedesktop.ScreenSaver
// records the calls it gets and answers Inhibit with cookie 77. Calls are served on a thread of its own.
class FakeScreenSaverBus {
 public:
  static constexpr std::uint32_t serviceCookie = 77;

  FakeScreenSaverBus()
      : daemon_(daemonPath, {"--session", "--nofork", "--nopidfile", "--print-address", "--address=unix:tmpdir=/tmp"}),
        context_(g_main_context_new()) {
    address_ = daemon_.readLine().value_or("");
    g_main_context_push_thread_default(context_);
    connection_ = g_dbus_connection_new_for_address_sync(
        address_.c_str(),
        static_cast<GDBusConnectionFlags>(G_DBUS_CONNECTION_FLAGS_AUTHENTICATION_CLIENT |
                                          G_DBUS_CONNECTION_FLAGS_MESSAGE_BUS_CONNECTION),
        nullptr, nullptr, nullptr);
    if (connection_) {
      static constexpr const char* xml =
          "<node><interface name='org.freedesktop.ScreenSaver'>"
          "<method name='Inhibit'><arg type='s' direction='in'/><arg type='s' direction='in'/>"
          "<arg type='u' direction='out'/></method>"
          "<method name='UnInhibit'><arg type='u' direction='in'/></method>"
          "</interface></node>";
      node_ = g_dbus_node_info_new_for_xml(xml, nullptr);
      static const GDBusInterfaceVTable vtable = {&FakeScreenSaverBus::onCall, nullptr, nullptr, {}};
      g_dbus_connection_register_object(connection_, "/org/freedesktop/ScreenSaver", node_->interfaces[0], &vtable,
                                        this, nullptr, nullptr);
      GVariant* reply = g_dbus_connection_call_sync(
          connection_, "org.freedesktop.DBus", "/org/freedesktop/DBus", "org.freedesktop.DBus", "RequestName",
          g_variant_new("(su)", "org.freedesktop.ScreenSaver", 4u), G_VARIANT_TYPE("(u)"), G_DBUS_CALL_FLAGS_NONE,
          5000, nullptr, nullptr);
      if (reply) g_variant_unref(reply);
    }
    g_main_context_pop_thread_default(context_);
    loop_ = g_main_loop_new(context_, FALSE);
    thread_ = std::thread([this] {
      g_main_context_push_thread_default(context_);
      g_main_loop_run(loop_);
      g_main_context_pop_thread_default(context_);
    });
  }
  ~FakeScreenSaverBus() {
    g_main_loop_quit(loop_);
    thread_.join();
    g_main_loop_unref(loop_);
    if (node_) g_dbus_node_info_unref(node_);
    if (connection_) g_object_unref(connection_);
    g_main_context_unref(context_);
  }

  bool ready() const { return connection_ != nullptr; }
  const std::string& address() const { return address_; }
  std::vector<std::string> calls() {
    std::lock_guard lock(mutex_);
    return calls_;
  }

 private:
  static void onCall(GDBusConnection*, const gchar*, const gchar*, const gchar*, const gchar* method,
                     GVariant* parameters, GDBusMethodInvocation* invocation, gpointer data) {
    auto* self = static_cast<FakeScreenSaverBus*>(data);
    std::lock_guard lock(self->mutex_);
    if (std::strcmp(method, "Inhibit") == 0) {
      const gchar *application = nullptr, *reason = nullptr;
      g_variant_get(parameters, "(&s&s)", &application, &reason);
      self->calls_.push_back(std::string("Inhibit ") + application + " / " + reason);
      g_dbus_method_invocation_return_value(invocation, g_variant_new("(u)", serviceCookie));
    } else {
      guint32 cookie = 0;
      g_variant_get(parameters, "(u)", &cookie);
      self->calls_.push_back("UnInhibit " + std::to_string(cookie));
      g_dbus_method_invocation_return_value(invocation, nullptr);
    }
  }

  test::ChildProcess daemon_;
  std::string address_;
  GMainContext* context_;
  GDBusConnection* connection_ = nullptr;
  GDBusNodeInfo* node_ = nullptr;
  GMainLoop* loop_ = nullptr;
  std::thread thread_;
  std::mutex mutex_;
  std::vector<std::string> calls_;
};

// A test's view of the X screen saver: arms it after one idle second and reports whether it runs.
class ScreenSaverProbe {
 public:
  explicit ScreenSaverProbe(const std::string& display) : c_(xcb_connect(display.c_str(), nullptr)) {}
  ~ScreenSaverProbe() { xcb_disconnect(c_); }

  bool hasExtension() {
    const xcb_query_extension_reply_t* e = xcb_get_extension_data(c_, &xcb_screensaver_id);
    return e && e->present;
  }
  void armAfterOneSecond() {
    xcb_set_screen_saver(c_, 1, 0, XCB_BLANKING_PREFERRED, XCB_EXPOSURES_DEFAULT);
    xcb_force_screen_saver(c_, XCB_SCREEN_SAVER_RESET);
    sync();
  }
  bool on() {
    const xcb_window_t root = xcb_setup_roots_iterator(xcb_get_setup(c_)).data->root;
    std::unique_ptr<xcb_screensaver_query_info_reply_t, decltype(&std::free)> info(
        xcb_screensaver_query_info_reply(c_, xcb_screensaver_query_info(c_, root), nullptr), &std::free);
    return info && info->state == XCB_SCREENSAVER_STATE_ON;
  }
  // Whether the screen saver comes on within a few seconds.
  bool comesOn() {
    for (int i = 0; i < 40; ++i) {
      if (on()) return true;
      std::this_thread::sleep_for(std::chrono::milliseconds(100));
    }
    return false;
  }

 private:
  void sync() { std::free(xcb_get_input_focus_reply(c_, xcb_get_input_focus(c_), nullptr)); }
  xcb_connection_t* c_;
};

TEST(PowerInhibitorLinux, SuspendsTheXScreenSaverWhileHeld) {
  Xvfb xvfb;
  ScreenSaverProbe probe(xvfb.display());
  if (!probe.hasExtension()) GTEST_SKIP() << "the X server lacks MIT-SCREEN-SAVER";

  PowerInhibitorLinux inhibitor(xvfb.display(), PowerInhibitorLinux::Backends::x11Only);
  const auto cookie = inhibitor.inhibit("Pellora uzak oturum");
  ASSERT_TRUE(cookie.has_value());
  probe.armAfterOneSecond();
  EXPECT_FALSE(probe.comesOn());

  inhibitor.release(*cookie);
  inhibitor.release(*cookie);  // a second release of the same cookie is ignored
  probe.armAfterOneSecond();
  EXPECT_TRUE(probe.comesOn());
}

TEST(PowerInhibitorLinux, NothingWhenNoBackendAnswers) {
  PowerInhibitorLinux inhibitor(":4093", PowerInhibitorLinux::Backends::x11Only);
  EXPECT_EQ(inhibitor.inhibit("Pellora uzak oturum"), std::nullopt);
}

TEST(PowerInhibitorLinux, AsksTheDesktopServiceWhenOneIsOnTheBus) {
  if (!std::filesystem::exists(daemonPath)) GTEST_SKIP() << "no dbus-daemon to run a private bus";
  FakeScreenSaverBus bus;
  ASSERT_TRUE(bus.ready());
  SessionBusAddress useIt(bus.address());

  PowerInhibitorLinux inhibitor(":4093");  // no X server: only the bus can help
  const auto cookie = inhibitor.inhibit("Pellora uzak oturum");
  ASSERT_TRUE(cookie.has_value());
  inhibitor.release(*cookie);
  EXPECT_EQ(bus.calls(), (std::vector<std::string>{"Inhibit Pellora / Pellora uzak oturum", "UnInhibit 77"}));
}

// A bus socket that takes the connection and never says a word: the inhibitor gives up on it after a
// short while and suspends the X screen saver instead.
TEST(PowerInhibitorLinux, AStuckBusFallsBackToTheXScreenSaver) {
  Xvfb xvfb;
  if (!ScreenSaverProbe(xvfb.display()).hasExtension()) GTEST_SKIP() << "the X server lacks MIT-SCREEN-SAVER";
  const std::string path =
      (std::filesystem::temp_directory_path() / ("pellora-stuck-bus-" + std::to_string(getpid()))).string();
  const int listener = socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
  sockaddr_un address{};
  address.sun_family = AF_UNIX;
  std::strncpy(address.sun_path, path.c_str(), sizeof address.sun_path - 1);
  unlink(path.c_str());
  ASSERT_EQ(bind(listener, reinterpret_cast<sockaddr*>(&address), sizeof address), 0);
  ASSERT_EQ(listen(listener, 4), 0);
  SessionBusAddress useIt("unix:path=" + path);

  PowerInhibitorLinux inhibitor(xvfb.display());
  EXPECT_TRUE(inhibitor.inhibit("Pellora uzak oturum").has_value());
  close(listener);
  unlink(path.c_str());
}

}  // namespace
}  // namespace pellora
