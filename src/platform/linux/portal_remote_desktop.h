#pragma once

#include <atomic>
#include <cstdint>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include "platform/linux/remote_desktop_session.h"

typedef struct _GVariant GVariant;

namespace pellora {

namespace gdbus {
class PrivateBus;
}

class SettingsFile;

// A remote-desktop session through the desktop portal (org.freedesktop.portal.RemoteDesktop with a
// ScreenCast source and, where offered, the Clipboard): the system asks the user once, in its own dialog,
// which monitor to share and whether to allow control; the answer is kept as a restore token, so that
// later sessions start without asking. The stream is read through the PipeWire remote the portal hands
// over. Everything goes over a private connection to the session bus; input calls are fire and forget.
class PortalRemoteDesktop final : public RemoteDesktopSession {
 public:
  static constexpr const char* busName = "org.freedesktop.portal.Desktop";

  // Whether a portal with the remote-desktop interface answers, or can be started, on the session bus.
  static bool available();
  // Creates, configures and starts a session, restoring the consent kept in `tokens` and keeping the new
  // one there; returns once the stream is known. Throws TransportError::connectFailed when the user
  // declines, the portal refuses or it does not answer in time.
  static std::shared_ptr<PortalRemoteDesktop> start(const PortalTokenStore& tokens);
  ~PortalRemoteDesktop() override;
  PortalRemoteDesktop(const PortalRemoteDesktop&) = delete;
  PortalRemoteDesktop& operator=(const PortalRemoteDesktop&) = delete;

  UniqueFd takePipeWireRemote() override { return std::move(remote_); }
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
  PortalRemoteDesktop();
  void open(const PortalTokenStore& tokens);
  // Calls a method that answers through a request object (its options carry `token` as handle_token),
  // waits up to `timeout` for the response and returns its results; throws on failure or refusal.
  GVariant* request(const char* interface, const char* method, GVariant* parameters, const std::string& token,
                    int timeoutSeconds);
  void call(const char* interface, const char* method, GVariant* parameters);
  void subscribeSessionSignals();

  std::unique_ptr<gdbus::PrivateBus> bus_;
  std::string requestPrefix_;  // the object path under which this connection's requests appear
  std::string sessionPath_;
  std::uint32_t node_ = 0;
  PixelRect streamRect_;
  UniqueFd remote_;
  bool clipboard_ = false;
  std::atomic<bool> closed_{false};
};

// The portal as this host's way to the desktop. It cannot list monitors before the user chose one, so it
// offers one display: the size of the last shared monitor, once known.
class PortalDesktop final : public WaylandDesktop {
 public:
  explicit PortalDesktop(PortalTokenStore tokens) : tokens_(std::move(tokens)) {}
  std::string kind() const override { return "portal"; }
  std::vector<DisplayInfo> displays() override;
  bool granted() const override;
  std::shared_ptr<RemoteDesktopSession> open(std::uint32_t displayID) override;

 private:
  PortalTokenStore tokens_;
  std::mutex mutex_;
  PixelRect lastRect_;
};

// The restore token kept under "portalRestoreToken" in `file` (the user's settings file, which outlives
// every session).
PortalTokenStore portalTokensIn(SettingsFile& file);

}  // namespace pellora
