#pragma once

#include <boost/asio/awaitable.hpp>
#include <cstdint>
#include <filesystem>
#include <memory>
#include <optional>
#include <string>
#include <variant>
#include <vector>

#include "base/cpu_pool.h"
#include "base/network_thread.h"
#include "base/published.h"
#include "core/chat_line.h"
#include "core/message.h"
#include "core/quality.h"
#include "core/secure_channel.h"
#include "core/transfer_progress.h"
#include "support/app_settings.h"
#include "viewer/video_renderer.h"
#include "viewer/viewer_platform.h"
#include "viewer/viewer_target.h"

namespace pellora {

// One outgoing connection to a host: opens the transport for its target, runs the client handshake,
// announces itself, then receives (video to the renderer, sound to the player, the rest to the main
// strand), pings once a second and publishes what the remote window shows.
//
// Lives on the main strand: every public call is made there and the published state changes only
// there. The receive loop is a coroutine on the channel's side that hops to the main strand for
// control messages and counters; video goes straight to the renderer's queue and sound to the player's.
// Owned by the ViewerStore (shared with its coroutines, which hold it weakly).
class ViewerSession : public std::enable_shared_from_this<ViewerSession> {
 public:
  struct Connecting {
    std::string text;
    bool operator==(const Connecting&) const = default;
  };
  struct Connected {
    bool operator==(const Connected&) const = default;
  };
  struct Ended {
    std::string text;
    bool operator==(const Ended&) const = default;
  };
  using Phase = std::variant<Connecting, Connected, Ended>;

  struct State {
    Phase phase = Connecting{"Bağlanılıyor…"};
    std::string remoteName;
    PeerOS remoteOS = PeerOS::unknown;
    std::optional<Codec> codec;
    std::optional<std::int64_t> latencyMs;
    std::int64_t kbps = 0;
    std::int64_t fps = 0;
    VideoRenderer::Size videoSize{16, 10};
    Features peerFeatures;
    bool audioOn = false;
    std::vector<DisplayInfo> displays;
    std::optional<std::uint32_t> selectedDisplay;
    Quality quality = Quality::balanced;
    std::vector<ChatLine> chat;
    int unreadChat = 0;
    std::vector<TransferProgress> transfers;
    bool scaleToFit = true;
    bool operator==(const State&) const = default;
  };

  struct Dependencies {
    NetworkThread& network;
    CpuPool& cpu;
    AppSettings& settings;
    ViewerPlatform platform;
    std::string computerName;  // sent in our hello
    std::optional<std::filesystem::path> downloadDirectory;  // default: the download folder + "Pellora"
    std::chrono::seconds handshakeTimeout{100};
    // The codecs offered in viewerHello, preferred first (the command line narrows it to one).
    std::vector<Codec> codecs{Codec::h264, Codec::jpegRegions};
  };

  static std::shared_ptr<ViewerSession> make(Dependencies dependencies, ViewerTarget target);
  ~ViewerSession();

  const std::string& id() const { return id_; }
  const ViewerTarget& target() const { return target_; }
  const State& state() const { return published_.state(); }
  Published<State>& published() { return published_; }
  // The renderer's newest pictures, for the screen view or the headless viewer.
  const std::shared_ptr<VideoRenderer>& renderer() const { return renderer_; }

  void connect(std::string password);
  void disconnect();

  // Input from the screen view. Keys are HID usages already (the Linux key map, by the view); the
  // Command/Control swap is applied here when the remote computer is a Mac.
  void key(std::uint16_t usage, bool down);
  void releaseKeys();
  void mouseMove(float x, float y);
  void mouseButton(MouseButton button, bool down, std::uint8_t clicks, float x, float y);
  void scroll(float dx, float dy);

  void sendChat(const std::string& text);
  void sendFiles(const std::vector<std::filesystem::path>& files);
  void toggleAudio();
  void selectDisplay(std::uint32_t id);
  void setQuality(Quality quality);
  void setScaleToFit(bool on);
  void markChatRead();
  // Answers and cancels for the transfer list.
  void cancelTransfer(const TransferProgress& transfer);

 private:
  ViewerSession(Dependencies dependencies, ViewerTarget target);
  Dependencies deps_;
  std::string id_;
  ViewerTarget target_;
  std::shared_ptr<VideoRenderer> renderer_;
  Published<State> published_;
};

}  // namespace pellora
