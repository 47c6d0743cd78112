#pragma once

#include <atomic>
#include <cstdint>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include "platform/linux/remote_desktop_session.h"

namespace pellora {

namespace gdbus {
class PrivateBus;
}

// One monitor of a GNOME compositor, as its display configuration reports it.
struct MutterMonitor {
  std::uint32_t id = 0;   // derived from the connector name: stable while the monitor stays
  std::string connector;  // "Meta-0", "HDMI-1"...
  std::string name;
  PixelRect rect;         // position in the global layout, size of the current mode in pixels
  bool primary = false;
};

// A remote-desktop session of GNOME's compositor (org.gnome.Mutter.RemoteDesktop) with a linked
// screen-cast session recording one monitor, the cursor sent as stream metadata. The stream is read from
// the user's own PipeWire server. Everything goes over a private connection to the session bus, so the
// compositor ends both sessions when it closes. Input calls are fire and forget; clipboard calls wait for
// the compositor's answer (its clipboard is shared when it accepts EnableClipboard at the start).
class MutterRemoteDesktop final : public RemoteDesktopSession {
 public:
  // The compositor's monitors, or none when no GNOME compositor answers on the session bus.
  static std::vector<MutterMonitor> monitors();
  // Whether the session bus has a GNOME compositor with both interfaces.
  static bool available();

  // Opens both sessions, records `monitor` and starts; returns once the stream exists. Throws
  // TransportError::connectFailed when the compositor refuses or does not answer in time.
  static std::shared_ptr<MutterRemoteDesktop> start(const MutterMonitor& monitor);
  ~MutterRemoteDesktop() override;
  MutterRemoteDesktop(const MutterRemoteDesktop&) = delete;
  MutterRemoteDesktop& operator=(const MutterRemoteDesktop&) = delete;

  std::uint32_t pipeWireNode() const override { return node_; }
  PixelRect streamRect() const override { return streamRect_; }

  void pointerMotion(double x, double y) override;
  void pointerButton(std::int32_t evdevButton, bool down) override;
  void pointerAxisDiscrete(std::uint32_t axis, std::int32_t steps) override;
  void key(std::uint32_t evdevCode, bool down) override;

  bool pollClosed() override;

  bool clipboardAvailable() const override { return clipboard_; }
  void setSelection(const std::vector<std::string>& mimeTypes) override;
  UniqueFd selectionWrite(std::uint32_t serial) override;
  void selectionWriteDone(std::uint32_t serial, bool success) override;
  UniqueFd selectionRead(const std::string& mimeType) override;

 private:
  MutterRemoteDesktop();
  void call(const char* method, void* parameters);  // parameters: a floating GVariant
  void subscribeClipboard();
  void enableClipboard();

  std::unique_ptr<gdbus::PrivateBus> bus_;
  std::string remoteDesktopPath_, screenCastPath_, streamPath_;
  std::uint32_t node_ = 0;
  bool nodeKnown_ = false;
  PixelRect streamRect_;
  std::atomic<bool> closed_{false};
  bool clipboard_ = false;  // set once, before the session is handed out
};

// GNOME's interfaces as this host's way to the desktop: its monitors, no consent needed.
class MutterDesktop final : public WaylandDesktop {
 public:
  std::string kind() const override { return "GNOME"; }
  std::vector<DisplayInfo> displays() override;
  bool granted() const override { return true; }
  std::shared_ptr<RemoteDesktopSession> open(std::uint32_t displayID) override;
};

}  // namespace pellora
