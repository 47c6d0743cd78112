#include "platform/linux/remote_desktop_session.h"

#include "platform/linux/mutter_remote_desktop.h"
#include "platform/linux/portal_remote_desktop.h"

namespace pellora {

void WaylandDesktop::publish(std::shared_ptr<RemoteDesktopSession> session) {
  std::function<void(const std::shared_ptr<RemoteDesktopSession>&)> callback;
  {
    std::lock_guard lock(mutex_);
    current_ = session;
    callback = onPublish_;
  }
  if (callback && session) callback(session);
}

void WaylandDesktop::withdraw(const RemoteDesktopSession* session) {
  std::lock_guard lock(mutex_);
  if (current_.get() == session) current_.reset();
}

std::shared_ptr<RemoteDesktopSession> WaylandDesktop::current() const {
  std::lock_guard lock(mutex_);
  return current_;
}

void WaylandDesktop::setOnPublish(std::function<void(const std::shared_ptr<RemoteDesktopSession>&)> callback) {
  std::lock_guard lock(mutex_);
  onPublish_ = std::move(callback);
}

std::shared_ptr<WaylandDesktop> detectWaylandDesktop(PortalTokenStore tokens) {
  // The portal first: it asks the user (once) before anything is shared, on every compositor. GNOME's own
  // interfaces are the way in where no portal runs, such as a headless GNOME session.
  if (PortalRemoteDesktop::available()) return std::make_shared<PortalDesktop>(std::move(tokens));
  if (MutterRemoteDesktop::available()) return std::make_shared<MutterDesktop>();
  return nullptr;
}

}  // namespace pellora
