#pragma once

#include <memory>

#include "host/host_platform.h"
#include "platform/linux/remote_desktop_session.h"

namespace pellora {

// Whether this login session is a Wayland one (XDG_SESSION_TYPE, else WAYLAND_DISPLAY).
bool isWaylandSession();

// The host's ways into this computer: the X display in $DISPLAY through XCB, or a Wayland desktop through
// `desktop`'s remote-desktop sessions; PulseAudio for sound. The sound server is reached when a session
// turns sound on, each time: a session stays silent while none answers.
HostPlatform x11HostPlatform();
HostPlatform waylandHostPlatform(std::shared_ptr<WaylandDesktop> desktop);

}  // namespace pellora
