#pragma once

// Owning handles for the GLib objects the GDBus clients use, and a bounded connection to the session bus.

#include <gio/gio.h>

#include <atomic>
#include <chrono>
#include <functional>
#include <vector>
#include <memory>
#include <string>
#include <vector>

#include "base/unique_fd.h"

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

// A private connection to the session bus within `timeout` that does not end the process when it closes;
// null when there is no bus.
GObjectPtr<GDBusConnection> connectSessionBus(std::chrono::milliseconds timeout);

// A synchronous call of at most `timeoutMs`; null with `error` set when it fails. Takes a floating
// `parameters`.
VariantPtr callSync(GDBusConnection* bus, const char* name, const std::string& path, const char* interface,
                    const char* method, GVariant* parameters, const char* replyType, std::string* error = nullptr,
                    int timeoutMs = 3000);

// The same for a method that answers with one file descriptor (type "(h)"): the descriptor, or none
// with `error` set.
UniqueFd callForFd(GDBusConnection* bus, const char* name, const std::string& path, const char* interface,
                   const char* method, GVariant* parameters, std::string* error = nullptr);

// The strings of an "as" value (none for another type), and a floating "as" value of `values`.
std::vector<std::string> strings(GVariant* array);
GVariant* stringArray(const std::vector<std::string>& values);

// Whether `name` has an owner on the bus now.
bool nameHasOwner(GDBusConnection* bus, const char* name);

// A private connection to the session bus whose signals are dispatched on a main context of its own, and
// only while its owner pumps it (one thread at a time). Closing it (the destructor) ends whatever the peer
// ties to the connection, such as a compositor's sessions. Calls on the connection itself are thread-safe.
class PrivateBus {
 public:
  // Null when no bus answers within `timeout`.
  static std::unique_ptr<PrivateBus> connect(std::chrono::milliseconds timeout);
  ~PrivateBus();
  PrivateBus(const PrivateBus&) = delete;
  PrivateBus& operator=(const PrivateBus&) = delete;

  GDBusConnection* get() const { return connection_.get(); }
  // A signal subscription dispatched on this bus's context; it ends with the bus or `unsubscribe`.
  unsigned subscribe(const char* interface, const char* member, const char* path, GDBusSignalCallback callback,
                     gpointer data, GDBusSignalFlags flags = G_DBUS_SIGNAL_FLAGS_NONE);
  void unsubscribe(unsigned id);
  // Raises `gone` when `name` loses its owner: a peer that dies sends no signal of its own.
  void watchOwner(const char* name, std::atomic<bool>& gone);
  // Dispatches what is pending; true once the connection is closed.
  bool pump();
  // Pumps until `done` says so or `deadline` passes; returns done().
  bool pumpUntil(const std::function<bool()>& done, std::chrono::steady_clock::time_point deadline);

 private:
  PrivateBus() = default;
  std::unique_ptr<GMainContext, ContextUnref> context_;
  GObjectPtr<GDBusConnection> connection_;
  std::vector<unsigned> subscriptions_;
};

}  // namespace pellora::gdbus
