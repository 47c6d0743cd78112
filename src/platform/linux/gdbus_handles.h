#pragma once

// Owning handles for the GLib objects the GDBus clients use, and a bounded connection to the session bus.

#include <gio/gio.h>

#include <chrono>
#include <memory>
#include <string>

namespace pellora::gdbus {

struct ObjectUnref {
  void operator()(gpointer object) const { g_object_unref(object); }
};
template <typename T>
using GObjectPtr = std::unique_ptr<T, ObjectUnref>;

struct VariantUnref {
  void operator()(GVariant* v) const { g_variant_unref(v); }
};
using VariantPtr = std::unique_ptr<GVariant, VariantUnref>;

struct ErrorFree {
  void operator()(GError* e) const { g_error_free(e); }
};
using ErrorPtr = std::unique_ptr<GError, ErrorFree>;

struct ContextUnref {
  void operator()(GMainContext* c) const { g_main_context_unref(c); }
};

// The session bus address from the environment, or the user's bus socket. Never the autolaunch that GIO
// would otherwise try (it can spawn a bus or wait on one). Empty when there is none.
std::string sessionBusAddress();

// Connects and says hello to the bus within `timeout`, on a private main context so that nothing else
// of the process is dispatched meanwhile. Null when no bus answers in time.
GObjectPtr<GDBusConnection> connectBounded(const std::string& address, std::chrono::milliseconds timeout);

}  // namespace pellora::gdbus
