#pragma once

#include <atomic>
#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include "host/captured_frame.h"

// GLib types, forward-declared so that GLib headers stay out of this header.
typedef struct _GDBusConnection GDBusConnection;
typedef struct _GMainContext GMainContext;

namespace pellora {

// One monitor of a GNOME compositor, as its display configuration reports it.
struct MutterMonitor {
  std::uint32_t id = 0;   // derived from the connector name: stable while the monitor stays
  std::string connector;  // "Meta-0", "HDMI-1"...
  std::string name;
  PixelRect rect;         // position in the global layout, size of the current mode in pixels
  bool primary = false;
};

// A remote-desktop session of GNOME's compositor (org.gnome.Mutter.RemoteDesktop) with a linked
// screen-cast session recording one monitor, the cursor sent as stream metadata. Gives the PipeWire node
// of the picture and posts input into the compositor. Everything goes over a private connection to the
// session bus, so the compositor ends both sessions when it closes.
// Created by the PipeWire capturer on the thread that starts the capture; shared with the input sink.
// Input calls are thread-safe (fire and forget); `pollClosed` belongs to one thread at a time.
class MutterRemoteDesktop {
 public:
  // The compositor's monitors, or none when no GNOME compositor answers on the session bus.
  static std::vector<MutterMonitor> monitors();
  // Whether the session bus has a GNOME compositor with both interfaces.
  static bool available();

  // Opens both sessions, records `connector` and starts; returns once the stream exists. Throws
  // TransportError::connectFailed when the compositor refuses or does not answer in time.
  static std::shared_ptr<MutterRemoteDesktop> start(const std::string& connector);
  ~MutterRemoteDesktop();
  MutterRemoteDesktop(const MutterRemoteDesktop&) = delete;
  MutterRemoteDesktop& operator=(const MutterRemoteDesktop&) = delete;

  std::uint32_t pipeWireNode() const { return node_; }
  // The recorded monitor's area in the global layout (the stream's position and size).
  PixelRect streamRect() const { return streamRect_; }

  // Input, in stream pixels for the pointer and evdev codes for buttons and keys.
  void pointerMotion(double x, double y);
  void pointerButton(std::int32_t evdevButton, bool down);
  // `axis` 0 vertical, 1 horizontal; positive steps scroll down or right.
  void pointerAxisDiscrete(std::uint32_t axis, std::int32_t steps);
  void key(std::uint32_t evdevCode, bool down);

  // Handles pending bus messages; true once the compositor has closed the session or the bus is gone.
  bool pollClosed();

 private:
  MutterRemoteDesktop();
  void call(const char* method, void* parameters);  // parameters: a floating GVariant

  struct ObjectDeleter {
    void operator()(void* object) const;
  };
  struct ContextDeleter {
    void operator()(GMainContext* context) const;
  };
  std::unique_ptr<GMainContext, ContextDeleter> context_;
  std::unique_ptr<GDBusConnection, ObjectDeleter> bus_;
  std::string remoteDesktopPath_, screenCastPath_, streamPath_;
  std::vector<unsigned> subscriptions_;
  std::uint32_t node_ = 0;
  bool nodeKnown_ = false;
  PixelRect streamRect_;
  std::atomic<bool> closed_{false};
};

}  // namespace pellora
