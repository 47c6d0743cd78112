#pragma once

#include <cstdint>
#include <functional>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include "base/unique_fd.h"
#include "host/screen_capturer.h"

namespace pellora {

// One remote-desktop session of a Wayland compositor: it records one monitor into a PipeWire video stream
// (the cursor as stream metadata), takes input into the desktop and, where the compositor offers it,
// shares the clipboard. Made by a WaylandDesktop on the thread that starts a capture; shared by the
// capturer, the input sink and the clipboard of one host.
// Input and clipboard calls are thread-safe; `pollClosed` belongs to one thread at a time (the capture's),
// and the clipboard callbacks run on that thread from inside it.
class RemoteDesktopSession {
 public:
  virtual ~RemoteDesktopSession() = default;

  // The PipeWire remote to read the stream from: a connection handed over by the compositor's side, or
  // none for the user's own PipeWire server. Taken once.
  virtual UniqueFd takePipeWireRemote() { return {}; }
  virtual std::uint32_t pipeWireNode() const = 0;
  // The recorded monitor's area in the global layout (the stream's position and size).
  virtual PixelRect streamRect() const = 0;

  // Input, in stream pixels for the pointer and evdev codes for buttons and keys.
  virtual void pointerMotion(double x, double y) = 0;
  virtual void pointerButton(std::int32_t evdevButton, bool down) = 0;
  // `axis` 0 vertical, 1 horizontal; positive steps scroll down or right.
  virtual void pointerAxisDiscrete(std::uint32_t axis, std::int32_t steps) = 0;
  virtual void key(std::uint32_t evdevCode, bool down) = 0;

  // Handles pending bus messages (and so runs the clipboard callbacks); true once the compositor has
  // closed the session or the bus is gone.
  virtual bool pollClosed() = 0;

  // The compositor's clipboard, as the remote-desktop interfaces share it: offers by MIME type, data
  // through pipes. `clipboardAvailable` is false where the compositor does not share it; the other calls
  // then do nothing and return no descriptor.
  struct ClipboardEvents {
    // Another program (or this session, `ours`) took the clipboard, offering `mimeTypes`.
    std::function<void(const std::vector<std::string>& mimeTypes, bool ours)> ownerChanged;
    // A program pastes what this session offers: answer with `selectionWrite(serial)`, write the data
    // for `mimeType` and close, then `selectionWriteDone`.
    std::function<void(const std::string& mimeType, std::uint32_t serial)> transfer;
  };
  virtual bool clipboardAvailable() const { return false; }
  // Replaces the callbacks; set before the first `pollClosed` that should deliver them.
  void setClipboardEvents(ClipboardEvents events) {
    std::lock_guard lock(eventsMutex_);
    events_ = std::move(events);
  }
  // Takes the clipboard, offering `mimeTypes`.
  virtual void setSelection(const std::vector<std::string>& mimeTypes) { (void)mimeTypes; }
  virtual UniqueFd selectionWrite(std::uint32_t serial) { (void)serial; return {}; }
  virtual void selectionWriteDone(std::uint32_t serial, bool success) { (void)serial, (void)success; }
  // The read end of a pipe that delivers the current clipboard as `mimeType`.
  virtual UniqueFd selectionRead(const std::string& mimeType) { (void)mimeType; return {}; }

 protected:
  ClipboardEvents clipboardEvents() {
    std::lock_guard lock(eventsMutex_);
    return events_;
  }

 private:
  std::mutex eventsMutex_;
  ClipboardEvents events_;
};

// How this host reaches its Wayland compositor: GNOME's own remote-desktop interfaces, or the desktop
// portal that asks the user once. Shared by the capturers, the input sink and the clipboard of one host
// (all of which may run on different threads); it also holds the session of the running capture, so that
// input and clipboard reach the desktop being shown.
class WaylandDesktop {
 public:
  virtual ~WaylandDesktop() = default;

  // "GNOME" or "portal", for status lines.
  virtual std::string kind() const = 0;
  // The monitors that can be shared. The portal lets the user choose in its own dialog, so it lists one.
  virtual std::vector<DisplayInfo> displays() = 0;
  // Whether sessions start without asking anyone (GNOME's interfaces; a portal whose consent is stored).
  virtual bool granted() const = 0;
  // Opens a session recording display `displayID` (an unknown id: the main display). May block while the
  // user answers the system's dialog. Throws TransportError::connectFailed when it cannot.
  virtual std::shared_ptr<RemoteDesktopSession> open(std::uint32_t displayID) = 0;

  // The session of the running capture, published by the capturer while it runs.
  void publish(std::shared_ptr<RemoteDesktopSession> session);
  void withdraw(const RemoteDesktopSession* session);  // only when it is still the published one
  std::shared_ptr<RemoteDesktopSession> current() const;
  // Called (on the publishing thread) whenever a session is published.
  void setOnPublish(std::function<void(const std::shared_ptr<RemoteDesktopSession>&)> callback);

 private:
  mutable std::mutex mutex_;
  std::shared_ptr<RemoteDesktopSession> current_;
  std::function<void(const std::shared_ptr<RemoteDesktopSession>&)> onPublish_;
};

// Where the portal keeps the user's consent between runs: its restore token, stored in the settings by
// the application. Both may be called from any thread.
struct PortalTokenStore {
  std::function<std::string()> load;
  std::function<void(const std::string&)> save;
};

// The desktop portal when it answers (or can be started) on the session bus, else GNOME's interfaces when
// they answer, else none.
std::shared_ptr<WaylandDesktop> detectWaylandDesktop(PortalTokenStore tokens);

}  // namespace pellora
