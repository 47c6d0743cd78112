#include "platform/linux/portal_remote_desktop.h"

#include <gio/gio.h>
#include <gio/gunixfdlist.h>
#include <gtest/gtest.h>
#include <fcntl.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>

#include <algorithm>
#include <condition_variable>
#include <cstdlib>
#include <functional>
#include <thread>

#include "capture_checks.h"
#include "core/transport_error.h"
#include "platform/linux/clipboard_remote_desktop.h"
#include "platform/linux/gdbus_handles.h"
#include "platform/linux/input_event_sink_remote_desktop.h"
#include "platform/linux/mutter_remote_desktop.h"
#include "platform/linux/screen_capturer_pipewire.h"
#include "support/eventually.h"
#include "wayland_test_session.h"

namespace pellora {
namespace {

// The desktop portal as a script, on the test session's bus, where the real one would need a person to
// click in its dialog. It answers every request at once (Start as told), hands out the stream of a real
// GNOME screen cast and a connection to the session's PipeWire server, and records what it was asked.
class ScriptedPortal {
 public:
  struct Script {
    std::uint32_t node = 0;
    PixelRect stream{0, 0, 1280, 720};
    std::uint32_t startResponse = 0;  // 1: the user declines
    bool answerStart = true;          // false: Start never answers (a dialog nobody closes)
    bool clipboard = false;           // offers the clipboard interface
  };

  explicit ScriptedPortal(Script script) : script_(script) {
    thread_ = std::thread([this] { run(); });
    std::unique_lock lock(mutex_);
    changed_.wait(lock, [this] { return ready_; });
  }
  ~ScriptedPortal() { quit(); }

  // Leaves the bus, as a portal that crashes does.
  void quit() {
    if (!thread_.joinable()) return;
    g_main_loop_quit(loop_);
    thread_.join();
  }

  // A clipboard signal for the session, as the portal sends it when programs copy and paste.
  void ownerChanged(const std::vector<std::string>& types, bool ours) {
    GVariantDict options;
    g_variant_dict_init(&options, nullptr);
    g_variant_dict_insert_value(&options, "mime_types", gdbus::stringArray(types));
    g_variant_dict_insert(&options, "session_is_owner", "b", ours);
    emit("SelectionOwnerChanged", g_variant_new("(o@a{sv})", session_.c_str(), g_variant_dict_end(&options)));
  }
  void transfer(const std::string& type, std::uint32_t serial) {
    emit("SelectionTransfer", g_variant_new("(osu)", session_.c_str(), type.c_str(), serial));
  }
  // What the client wrote into the last pipe SelectionWrite handed out, once it closed it.
  std::string pasted() {
    std::string text;
    char buffer[4096];
    for (ssize_t n; (n = read(pasteEnd_.get(), buffer, sizeof buffer)) > 0;) text.append(buffer, n);
    return text;
  }
  // What SelectionRead delivers.
  std::string offered;

  // What the client asked, one line per call: "SelectDevices restore=T persist=2 types=3", ...
  std::vector<std::string> calls() {
    std::lock_guard lock(mutex_);
    return calls_;
  }
  bool anyCall(const std::function<bool(const std::string&)>& match) {
    std::lock_guard lock(mutex_);
    return std::ranges::any_of(calls_, match);
  }
  bool waitForCall(const std::string& prefix) {
    std::unique_lock lock(mutex_);
    return changed_.wait_for(lock, std::chrono::seconds(5), [&] {
      return std::ranges::any_of(calls_, [&](const std::string& c) { return c.starts_with(prefix); });
    });
  }

 private:
  static constexpr const char* introspection = R"(<node>
    <interface name="org.freedesktop.portal.RemoteDesktop">
      <method name="CreateSession"><arg type="a{sv}" direction="in"/><arg type="o" direction="out"/></method>
      <method name="SelectDevices"><arg type="o" direction="in"/><arg type="a{sv}" direction="in"/><arg type="o" direction="out"/></method>
      <method name="Start"><arg type="o" direction="in"/><arg type="s" direction="in"/><arg type="a{sv}" direction="in"/><arg type="o" direction="out"/></method>
      <method name="NotifyPointerMotionAbsolute"><arg type="o" direction="in"/><arg type="a{sv}" direction="in"/><arg type="u" direction="in"/><arg type="d" direction="in"/><arg type="d" direction="in"/></method>
      <method name="NotifyPointerButton"><arg type="o" direction="in"/><arg type="a{sv}" direction="in"/><arg type="i" direction="in"/><arg type="u" direction="in"/></method>
      <method name="NotifyPointerAxisDiscrete"><arg type="o" direction="in"/><arg type="a{sv}" direction="in"/><arg type="u" direction="in"/><arg type="i" direction="in"/></method>
      <method name="NotifyKeyboardKeycode"><arg type="o" direction="in"/><arg type="a{sv}" direction="in"/><arg type="i" direction="in"/><arg type="u" direction="in"/></method>
      <property name="version" type="u" access="read"/>
    </interface>
    <interface name="org.freedesktop.portal.ScreenCast">
      <method name="SelectSources"><arg type="o" direction="in"/><arg type="a{sv}" direction="in"/><arg type="o" direction="out"/></method>
      <method name="OpenPipeWireRemote"><arg type="o" direction="in"/><arg type="a{sv}" direction="in"/><arg type="h" direction="out"/></method>
      <property name="AvailableCursorModes" type="u" access="read"/>
    </interface>
    <interface name="org.freedesktop.portal.Clipboard">
      <method name="RequestClipboard"><arg type="o" direction="in"/><arg type="a{sv}" direction="in"/></method>
      <method name="SetSelection"><arg type="o" direction="in"/><arg type="a{sv}" direction="in"/></method>
      <method name="SelectionWrite"><arg type="o" direction="in"/><arg type="u" direction="in"/><arg type="h" direction="out"/></method>
      <method name="SelectionWriteDone"><arg type="o" direction="in"/><arg type="u" direction="in"/><arg type="b" direction="in"/></method>
      <method name="SelectionRead"><arg type="o" direction="in"/><arg type="s" direction="in"/><arg type="h" direction="out"/></method>
      <property name="version" type="u" access="read"/>
    </interface>
    <interface name="org.freedesktop.portal.Session">
      <method name="Close"/>
    </interface>
  </node>)";

  void emit(const char* signal, GVariant* parameters) {
    g_dbus_connection_emit_signal(bus_, nullptr, "/org/freedesktop/portal/desktop", "org.freedesktop.portal.Clipboard",
                                  signal, parameters, nullptr);
  }

  // One end of a new pipe handed out in the reply; the other end is ours.
  static void returnPipe(GDBusMethodInvocation* invocation, bool clientWrites, UniqueFd& ours) {
    int ends[2];
    if (pipe2(ends, O_CLOEXEC) != 0) std::abort();
    ours.reset(ends[clientWrites ? 0 : 1]);
    GUnixFDList* list = g_unix_fd_list_new_from_array(&ends[clientWrites ? 1 : 0], 1);  // takes the descriptor
    g_dbus_method_invocation_return_value_with_unix_fd_list(invocation, g_variant_new("(h)", 0), list);
    g_object_unref(list);
  }

  void record(std::string line) {
    std::lock_guard lock(mutex_);
    calls_.push_back(std::move(line));
    changed_.notify_all();
  }

  void run() {
    GMainContext* context = g_main_context_new();
    g_main_context_push_thread_default(context);
    loop_ = g_main_loop_new(context, FALSE);
    bus_ = g_dbus_connection_new_for_address_sync(
        std::getenv("DBUS_SESSION_BUS_ADDRESS"),
        static_cast<GDBusConnectionFlags>(G_DBUS_CONNECTION_FLAGS_AUTHENTICATION_CLIENT |
                                          G_DBUS_CONNECTION_FLAGS_MESSAGE_BUS_CONNECTION),
        nullptr, nullptr, nullptr);
    GDBusNodeInfo* node = g_dbus_node_info_new_for_xml(introspection, nullptr);
    static const GDBusInterfaceVTable vtable = {
        methodCall,
        [](GDBusConnection*, const gchar*, const gchar*, const gchar* interface, const gchar*, GError**,
           gpointer) -> GVariant* {
          return g_variant_new_uint32(std::string_view(interface).ends_with("ScreenCast") ? 7 : 2);
        },
        nullptr, {}};
    for (int i = 0; i < (script_.clipboard ? 3 : 2); ++i)
      g_dbus_connection_register_object(bus_, "/org/freedesktop/portal/desktop", node->interfaces[i], &vtable, this,
                                        nullptr, nullptr);
    sessionInterface_ = g_dbus_interface_info_ref(node->interfaces[3]);
    g_dbus_node_info_unref(node);
    g_variant_unref(g_dbus_connection_call_sync(bus_, "org.freedesktop.DBus", "/org/freedesktop/DBus",
                                                "org.freedesktop.DBus", "RequestName",
                                                g_variant_new("(su)", PortalRemoteDesktop::busName, 0),
                                                nullptr, G_DBUS_CALL_FLAGS_NONE, -1, nullptr, nullptr));
    {
      std::lock_guard lock(mutex_);
      ready_ = true;
      changed_.notify_all();
    }
    g_main_loop_run(loop_);
    g_dbus_interface_info_unref(sessionInterface_);
    g_dbus_connection_close_sync(bus_, nullptr, nullptr);
    g_object_unref(bus_);
    g_main_loop_unref(loop_);
    g_main_context_pop_thread_default(context);
    g_main_context_unref(context);
  }

  // Answers a request: its path, then (unless told otherwise) the Response signal.
  void respond(GDBusMethodInvocation* invocation, const gchar* sender, GVariant* options, std::uint32_t response,
               GVariant* results, bool answer = true) {
    const char* token = "t";
    g_variant_lookup(options, "handle_token", "&s", &token);
    std::string name = sender + 1;
    for (char& c : name) c = c == '.' ? '_' : c;
    const std::string path = "/org/freedesktop/portal/desktop/request/" + name + "/" + token;
    g_dbus_method_invocation_return_value(invocation, g_variant_new("(o)", path.c_str()));
    if (!answer) {
      g_variant_unref(g_variant_ref_sink(results));
      return;
    }
    g_dbus_connection_emit_signal(bus_, sender, path.c_str(), "org.freedesktop.portal.Request", "Response",
                                  g_variant_new("(u@a{sv})", response, results), nullptr);
  }

  void handle(const gchar* sender, const gchar* path, const gchar* interface, const gchar* method,
              GVariant* parameters, GDBusMethodInvocation* invocation) {
    const std::string_view m(method);
    GVariantDict results;
    g_variant_dict_init(&results, nullptr);
    if (std::string_view(interface) == "org.freedesktop.portal.Session") {
      record(std::string("Close ") + path);
      g_dbus_method_invocation_return_value(invocation, nullptr);
    } else if (m == "CreateSession") {
      GVariant* options = g_variant_get_child_value(parameters, 0);
      const char* token = "s";
      g_variant_lookup(options, "session_handle_token", "&s", &token);
      session_ = std::string("/org/freedesktop/portal/desktop/session/x/") + token;
      static const GDBusInterfaceVTable sessionVTable = {methodCall, nullptr, nullptr, {}};
      g_dbus_connection_register_object(bus_, session_.c_str(), sessionInterface_, &sessionVTable, this, nullptr, nullptr);
      record("CreateSession");
      g_variant_dict_insert(&results, "session_handle", "s", session_.c_str());
      respond(invocation, sender, options, 0, g_variant_dict_end(&results));
      g_variant_unref(options);
    } else if (m == "SelectDevices" || m == "SelectSources") {
      GVariant* options = g_variant_get_child_value(parameters, 1);
      const char* restore = "";
      std::uint32_t persist = 0, types = 0, cursor = 0;
      g_variant_lookup(options, "restore_token", "&s", &restore);
      g_variant_lookup(options, "persist_mode", "u", &persist);
      g_variant_lookup(options, "types", "u", &types);
      g_variant_lookup(options, "cursor_mode", "u", &cursor);
      record(std::string(method) + " restore=" + restore + " persist=" + std::to_string(persist) +
             " types=" + std::to_string(types) + " cursor=" + std::to_string(cursor));
      respond(invocation, sender, options, 0, g_variant_dict_end(&results));
      g_variant_unref(options);
    } else if (m == "Start") {
      GVariant* options = g_variant_get_child_value(parameters, 2);
      record("Start");
      const std::string token = "token-" + std::to_string(++starts_);
      GVariantBuilder streams;
      g_variant_builder_init(&streams, G_VARIANT_TYPE("a(ua{sv})"));
      GVariantDict stream;
      g_variant_dict_init(&stream, nullptr);
      g_variant_dict_insert(&stream, "position", "(ii)", script_.stream.x, script_.stream.y);
      g_variant_dict_insert(&stream, "size", "(ii)", script_.stream.width, script_.stream.height);
      g_variant_builder_add(&streams, "(u@a{sv})", script_.node, g_variant_dict_end(&stream));
      g_variant_dict_insert_value(&results, "streams", g_variant_builder_end(&streams));
      g_variant_dict_insert(&results, "devices", "u", 3u);
      g_variant_dict_insert(&results, "restore_token", "s", token.c_str());
      g_variant_dict_insert(&results, "clipboard_enabled", "b", clipboardRequested_);
      respond(invocation, sender, options, script_.startResponse, g_variant_dict_end(&results), script_.answerStart);
      g_variant_unref(options);
    } else if (m == "RequestClipboard") {
      clipboardRequested_ = true;
      g_dbus_method_invocation_return_value(invocation, nullptr);
    } else if (m == "SelectionWrite") {
      record("SelectionWrite");
      returnPipe(invocation, true, pasteEnd_);
    } else if (m == "SelectionRead") {
      record("SelectionRead " + printed(parameters));
      UniqueFd writeEnd;
      returnPipe(invocation, false, writeEnd);
      if (write(writeEnd.get(), offered.data(), offered.size()) != static_cast<ssize_t>(offered.size())) std::abort();
    } else if (m == "OpenPipeWireRemote") {
      record("OpenPipeWireRemote");
      // The session's own PipeWire server, as the real portal would connect it.
      const int fd = socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
      sockaddr_un address{};
      address.sun_family = AF_UNIX;
      std::snprintf(address.sun_path, sizeof address.sun_path, "%s/pipewire-0", std::getenv("XDG_RUNTIME_DIR"));
      connect(fd, reinterpret_cast<sockaddr*>(&address), sizeof address);
      GUnixFDList* list = g_unix_fd_list_new_from_array(&fd, 1);  // takes the descriptor
      g_dbus_method_invocation_return_value_with_unix_fd_list(invocation, g_variant_new("(h)", 0), list);
      g_object_unref(list);
    } else {
      // Input: the method, the stream (for motion) and the values.
      record(std::string(method) + " " + printed(parameters));
      g_dbus_method_invocation_return_value(invocation, nullptr);
    }
  }

  static void methodCall(GDBusConnection*, const gchar* sender, const gchar* path, const gchar* interface,
                         const gchar* method, GVariant* parameters, GDBusMethodInvocation* invocation, gpointer data) {
    static_cast<ScriptedPortal*>(data)->handle(sender, path, interface, method, parameters, invocation);
  }
  static std::string printed(GVariant* value) {
    gchar* text = g_variant_print(value, FALSE);
    std::string out(text);
    g_free(text);
    return out;
  }

  Script script_;
  std::thread thread_;
  GMainLoop* loop_ = nullptr;
  GDBusConnection* bus_ = nullptr;
  GDBusInterfaceInfo* sessionInterface_ = nullptr;
  std::string session_;
  int starts_ = 0;
  bool clipboardRequested_ = false;
  UniqueFd pasteEnd_;
  std::mutex mutex_;
  std::condition_variable changed_;
  bool ready_ = false;
  std::vector<std::string> calls_;
};

// The consent as the settings would keep it.
struct MemoryTokens {
  std::shared_ptr<std::string> token = std::make_shared<std::string>();
  PortalTokenStore store() const {
    return {[t = token] { return *t; }, [t = token](const std::string& value) { *t = value; }};
  }
};

class PortalRemoteDesktopTest : public test::WaylandSessionTest {
 protected:
  // A real screen cast of the session's monitor, whose stream the scripted portal hands out.
  void SetUp() override {
    test::WaylandSessionTest::SetUp();
    if (IsSkipped()) return;
    gnome_ = MutterRemoteDesktop::start(MutterRemoteDesktop::monitors().at(0));
  }
  std::shared_ptr<MutterRemoteDesktop> gnome_;
};

TEST_F(PortalRemoteDesktopTest, AsksOnceThenRestoresTheConsentAndCapturesThroughTheHandedOverRemote) {
  ScriptedPortal portal({.node = gnome_->pipeWireNode()});
  ASSERT_TRUE(PortalRemoteDesktop::available());
  MemoryTokens tokens;
  auto desktop = std::make_shared<PortalDesktop>(tokens.store());
  EXPECT_FALSE(desktop->granted());
  {
    ScreenCapturerPipeWire capturer(desktop);
    test::Frames frames(capturer);
    const CaptureInfo info = capturer.start(0, 1920, 30);
    EXPECT_EQ(info.displayBounds, (PixelRect{0, 0, 1280, 720}));
    ASSERT_TRUE(frames.waitFor([](const I420Frame& f) { return f.width == 1280 && f.height == 720; }));
    EXPECT_EQ(*tokens.token, "token-1");
    EXPECT_TRUE(desktop->granted());
    EXPECT_EQ(desktop->displays().at(0).width, 1280);

    // Input goes to the portal's session, the pointer in the stream's pixels.
    InputEventSinkRemoteDesktop sink(desktop);
    MouseEvent click;
    click.type = MouseEvent::Type::leftDown;
    click.location = {100, 50};
    sink.postMouse(click);
    sink.postKey(30, true, 0);
    ASSERT_TRUE(portal.waitForCall("NotifyKeyboardKeycode"));
  }
  ASSERT_TRUE(portal.waitForCall("Close"));
  // The first time there is no consent to restore; it is asked to persist, for keyboard and pointer and one
  // monitor with the cursor as metadata.
  const auto first = portal.calls();
  const std::string node = std::to_string(gnome_->pipeWireNode());
  EXPECT_EQ(first.at(1), "SelectDevices restore= persist=2 types=3 cursor=0");
  EXPECT_EQ(first.at(2), "SelectSources restore= persist=0 types=1 cursor=4");
  EXPECT_TRUE(portal.anyCall([&](const std::string& line) {
    return line.starts_with("NotifyPointerMotionAbsolute") && line.ends_with(", {}, " + node + ", 100.0, 50.0)");
  }));
  EXPECT_TRUE(portal.anyCall([](const std::string& line) {
    return line.starts_with("NotifyPointerButton") && line.ends_with(", {}, 272, 1)");
  }));

  // The next session restores the stored consent and keeps the new token the portal gives.
  auto again = desktop->open(0);
  EXPECT_EQ(portal.calls().back(), "OpenPipeWireRemote");
  EXPECT_TRUE(portal.anyCall([](const std::string& line) {
    return line == "SelectDevices restore=token-1 persist=2 types=3 cursor=0";
  }));
  EXPECT_EQ(*tokens.token, "token-2");
}

TEST_F(PortalRemoteDesktopTest, ADeclinedDialogFailsAndForgetsTheConsent) {
  ScriptedPortal portal({.node = gnome_->pipeWireNode(), .startResponse = 1});
  MemoryTokens tokens;
  *tokens.token = "revoked";
  PortalDesktop desktop(tokens.store());
  EXPECT_TRUE(desktop.granted());
  try {
    desktop.open(0);
    FAIL() << "a declined dialog opened a session";
  } catch (const TransportError& e) {
    EXPECT_NE(std::string(e.what()).find("declined"), std::string::npos) << e.what();
  }
  EXPECT_EQ(*tokens.token, "");
  EXPECT_FALSE(desktop.granted());
}

TEST_F(PortalRemoteDesktopTest, APortalThatDiesWhileTheDialogIsOpenEndsTheWait) {
  ScriptedPortal portal({.node = gnome_->pipeWireNode(), .answerStart = false});
  MemoryTokens tokens;
  PortalDesktop desktop(tokens.store());
  std::thread crash([&] {
    portal.waitForCall("Start");
    portal.quit();
  });
  EXPECT_THROW(desktop.open(0), TransportError);
  crash.join();
  EXPECT_EQ(*tokens.token, "");
}

TEST_F(PortalRemoteDesktopTest, TheClipboardGoesThroughThePortalSession) {
  ScriptedPortal portal({.node = gnome_->pipeWireNode(), .clipboard = true});
  MemoryTokens tokens;
  auto desktop = std::make_shared<PortalDesktop>(tokens.store());
  ClipboardRemoteDesktop clipboard(desktop);
  auto session = desktop->open(0);
  ASSERT_TRUE(session->clipboardAvailable());
  desktop->publish(session);
  std::atomic<bool> stop{false};
  std::thread pump([&] {  // what the capture's thread does
    while (!stop) {
      session->pollClosed();
      std::this_thread::sleep_for(std::chrono::milliseconds(5));
    }
  });

  // Another program copies; reading goes through a pipe of the portal's.
  portal.offered = "Kopyalanan metin";
  const std::uint64_t before = clipboard.changeCount();
  portal.ownerChanged({"image/png", "text/plain;charset=utf-8"}, false);
  EXPECT_TRUE(test::eventually([&] { return clipboard.changeCount() > before; }));
  EXPECT_EQ(clipboard.readText(), "Kopyalanan metin");
  EXPECT_TRUE(portal.waitForCall("SelectionRead ('/org/freedesktop/portal/desktop/session/x/"));

  // Our text: offered, then served when a program pastes it.
  std::thread owner([&] {
    portal.waitForCall("SetSelection");
    portal.ownerChanged({"text/plain;charset=utf-8"}, true);
  });
  clipboard.writeText("Yapıştırılacak");
  owner.join();
  portal.transfer("text/plain;charset=utf-8", 7);
  ASSERT_TRUE(portal.waitForCall("SelectionWriteDone"));
  EXPECT_EQ(portal.pasted(), "Yapıştırılacak");
  EXPECT_TRUE(portal.anyCall([](const std::string& line) { return line.ends_with(", 7, true)"); }));
  EXPECT_TRUE(portal.anyCall([](const std::string& line) {
    return line.starts_with("SetSelection") && line.find("'mime_types': <['text/plain;charset=utf-8'") != std::string::npos;
  }));
  stop = true;
  pump.join();
}

}  // namespace
}  // namespace pellora
