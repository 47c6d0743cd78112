#include "platform/linux/gdbus_handles.h"

#include <cstdlib>
#include <algorithm>
#include <filesystem>

#include <gio/gunixfdlist.h>

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

GObjectPtr<GDBusConnection> connectSessionBus(std::chrono::milliseconds timeout) {
  const std::string address = sessionBusAddress();
  if (address.empty()) return nullptr;
  auto bus = connectBounded(address, timeout);
  if (bus) g_dbus_connection_set_exit_on_close(bus.get(), FALSE);
  return bus;
}

VariantPtr callSync(GDBusConnection* bus, const char* name, const std::string& path, const char* interface,
                    const char* method, GVariant* parameters, const char* replyType, std::string* error,
                    int timeoutMs) {
  GError* raw = nullptr;
  VariantPtr reply(g_dbus_connection_call_sync(bus, name, path.c_str(), interface, method, parameters,
                                               replyType ? G_VARIANT_TYPE(replyType) : nullptr,
                                               G_DBUS_CALL_FLAGS_NONE, timeoutMs, nullptr, &raw));
  ErrorPtr owned(raw);
  if (!reply && error) *error = owned ? owned->message : "no reply";
  return reply;
}

UniqueFd callForFd(GDBusConnection* bus, const char* name, const std::string& path, const char* interface,
                   const char* method, GVariant* parameters, std::string* error) {
  GError* raw = nullptr;
  GUnixFDList* list = nullptr;
  VariantPtr reply(g_dbus_connection_call_with_unix_fd_list_sync(bus, name, path.c_str(), interface, method,
                                                                 parameters, G_VARIANT_TYPE("(h)"),
                                                                 G_DBUS_CALL_FLAGS_NONE, 3000, nullptr, &list,
                                                                 nullptr, &raw));
  ErrorPtr owned(raw);
  GObjectPtr<GUnixFDList> fds(list);
  if (!reply) {
    if (error) *error = owned ? owned->message : "no reply";
    return {};
  }
  gint32 index = -1;
  g_variant_get(reply.get(), "(h)", &index);
  if (!fds || index < 0 || index >= g_unix_fd_list_get_length(fds.get())) {
    if (error) *error = "no file descriptor in the reply";
    return {};
  }
  GError* getError = nullptr;
  const int fd = g_unix_fd_list_get(fds.get(), index, &getError);  // a duplicate that we own
  ErrorPtr ownedGetError(getError);
  if (fd < 0 && error) *error = getError ? getError->message : "bad file descriptor";
  return UniqueFd(fd);
}

std::vector<std::string> strings(GVariant* array) {
  std::vector<std::string> out;
  if (!array || !g_variant_is_of_type(array, G_VARIANT_TYPE_STRING_ARRAY)) return out;
  for (gsize i = 0, n = g_variant_n_children(array); i < n; ++i) {
    VariantPtr item(g_variant_get_child_value(array, i));
    out.emplace_back(g_variant_get_string(item.get(), nullptr));
  }
  return out;
}

GVariant* stringArray(const std::vector<std::string>& values) {
  GVariantBuilder builder;
  g_variant_builder_init(&builder, G_VARIANT_TYPE_STRING_ARRAY);
  for (const std::string& v : values) g_variant_builder_add(&builder, "s", v.c_str());
  return g_variant_builder_end(&builder);
}

bool nameHasOwner(GDBusConnection* bus, const char* name) {
  VariantPtr owner = callSync(bus, "org.freedesktop.DBus", "/org/freedesktop/DBus", "org.freedesktop.DBus",
                              "NameHasOwner", g_variant_new("(s)", name), "(b)");
  gboolean has = FALSE;
  if (owner) g_variant_get(owner.get(), "(b)", &has);
  return has;
}

std::unique_ptr<PrivateBus> PrivateBus::connect(std::chrono::milliseconds timeout) {
  GObjectPtr<GDBusConnection> connection = connectSessionBus(timeout);
  if (!connection) return nullptr;
  std::unique_ptr<PrivateBus> bus(new PrivateBus());
  bus->context_.reset(g_main_context_new());
  bus->connection_ = std::move(connection);
  return bus;
}

PrivateBus::~PrivateBus() {
  // Unsubscribed first, so that no callback runs on an owner that is going away.
  for (unsigned id : subscriptions_) g_dbus_connection_signal_unsubscribe(connection_.get(), id);
  g_dbus_connection_close_sync(connection_.get(), nullptr, nullptr);
  while (g_main_context_iteration(context_.get(), FALSE)) {
  }
}

unsigned PrivateBus::subscribe(const char* interface, const char* member, const char* path,
                               GDBusSignalCallback callback, gpointer data, GDBusSignalFlags flags) {
  g_main_context_push_thread_default(context_.get());
  const unsigned id = g_dbus_connection_signal_subscribe(connection_.get(), nullptr, interface, member, path,
                                                         nullptr, flags, callback, data, nullptr);
  g_main_context_pop_thread_default(context_.get());
  subscriptions_.push_back(id);
  return id;
}

void PrivateBus::unsubscribe(unsigned id) {
  g_dbus_connection_signal_unsubscribe(connection_.get(), id);
  std::erase(subscriptions_, id);
}

void PrivateBus::watchOwner(const char* name, std::atomic<bool>& gone) {
  g_main_context_push_thread_default(context_.get());
  subscriptions_.push_back(g_dbus_connection_signal_subscribe(
      connection_.get(), "org.freedesktop.DBus", "org.freedesktop.DBus", "NameOwnerChanged",
      "/org/freedesktop/DBus", name, G_DBUS_SIGNAL_FLAGS_NONE,
      [](GDBusConnection*, const gchar*, const gchar*, const gchar*, const gchar*, GVariant* parameters,
         gpointer data) {
        const char *changed = nullptr, *oldOwner = nullptr, *newOwner = nullptr;
        g_variant_get(parameters, "(&s&s&s)", &changed, &oldOwner, &newOwner);
        if (newOwner == nullptr || *newOwner == '\0') *static_cast<std::atomic<bool>*>(data) = true;
      },
      &gone, nullptr));
  g_main_context_pop_thread_default(context_.get());
}

bool PrivateBus::pump() {
  while (g_main_context_iteration(context_.get(), FALSE)) {
  }
  return g_dbus_connection_is_closed(connection_.get());
}

bool PrivateBus::pumpUntil(const std::function<bool()>& done, std::chrono::steady_clock::time_point deadline) {
  while (!done() && std::chrono::steady_clock::now() < deadline) {
    if (!g_main_context_iteration(context_.get(), FALSE)) g_usleep(5000);
  }
  return done();
}

}  // namespace pellora::gdbus
