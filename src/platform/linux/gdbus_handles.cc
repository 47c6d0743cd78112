#include "platform/linux/gdbus_handles.h"

#include <cstdlib>
#include <filesystem>

namespace pellora::gdbus {

std::string sessionBusAddress() {
  if (const char* env = std::getenv("DBUS_SESSION_BUS_ADDRESS"); env && *env) return env;
  if (const char* runtime = std::getenv("XDG_RUNTIME_DIR"); runtime && *runtime) {
    const std::filesystem::path socket = std::filesystem::path(runtime) / "bus";
    std::error_code ec;
    if (std::filesystem::is_socket(socket, ec)) return "unix:path=" + socket.string();
  }
  return {};
}

GObjectPtr<GDBusConnection> connectBounded(const std::string& address, std::chrono::milliseconds timeout) {
  std::unique_ptr<GMainContext, ContextUnref> context(g_main_context_new());
  g_main_context_push_thread_default(context.get());

  struct Pending {
    GDBusConnection* connection = nullptr;
    bool done = false;
    bool timedOut = false;
  } pending;
  GObjectPtr<GCancellable> cancellable(g_cancellable_new());
  g_dbus_connection_new_for_address(
      address.c_str(),
      static_cast<GDBusConnectionFlags>(G_DBUS_CONNECTION_FLAGS_AUTHENTICATION_CLIENT |
                                        G_DBUS_CONNECTION_FLAGS_MESSAGE_BUS_CONNECTION),
      nullptr, cancellable.get(),
      [](GObject*, GAsyncResult* result, gpointer data) {
        auto* p = static_cast<Pending*>(data);
        p->connection = g_dbus_connection_new_for_address_finish(result, nullptr);
        p->done = true;
      },
      &pending);

  GSource* timer = g_timeout_source_new(static_cast<guint>(timeout.count()));
  g_source_set_callback(
      timer,
      [](gpointer data) -> gboolean {
        static_cast<Pending*>(data)->timedOut = true;
        return G_SOURCE_REMOVE;
      },
      &pending, nullptr);
  g_source_attach(timer, context.get());

  bool cancelled = false;
  while (!pending.done) {
    g_main_context_iteration(context.get(), TRUE);
    if (pending.timedOut && !cancelled) {
      g_cancellable_cancel(cancellable.get());  // the operation then finishes with an error
      cancelled = true;
    }
  }
  g_source_destroy(timer);
  g_source_unref(timer);
  g_main_context_pop_thread_default(context.get());
  return GObjectPtr<GDBusConnection>(pending.connection);
}

}  // namespace pellora::gdbus
