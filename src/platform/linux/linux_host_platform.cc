#include "platform/linux/linux_host_platform.h"

#include <cstdlib>
#include <string_view>

#include "platform/linux/audio_source_pulse.h"
#include "platform/linux/input_event_sink_remote_desktop.h"
#include "platform/linux/input_event_sink_x11.h"
#include "platform/linux/screen_capturer_pipewire.h"
#include "platform/linux/screen_capturer_x11.h"

namespace pellora {

namespace {

void addSound(HostPlatform& platform) {
  platform.makeAudioSource = [] { return std::make_unique<PulseAudioSource>(); };
}

}  // namespace

bool isWaylandSession() {
  const char* type = std::getenv("XDG_SESSION_TYPE");
  if (type && *type) return std::string_view(type) == "wayland";
  const char* display = std::getenv("WAYLAND_DISPLAY");
  return display && *display;
}

HostPlatform x11HostPlatform() {
  HostPlatform platform;
  platform.makeCapturer = [] { return std::make_unique<ScreenCapturerX11>(); };
  platform.makeInputSink = [] { return std::make_unique<InputEventSinkX11>(); };
  addSound(platform);
  return platform;
}

HostPlatform waylandHostPlatform(std::shared_ptr<WaylandDesktop> desktop) {
  HostPlatform platform;
  // The input sink posts through the session of whichever capture runs.
  platform.makeCapturer = [desktop] { return std::make_unique<ScreenCapturerPipeWire>(desktop); };
  platform.makeInputSink = [desktop] { return std::make_unique<InputEventSinkRemoteDesktop>(desktop); };
  addSound(platform);
  return platform;
}

}  // namespace pellora
