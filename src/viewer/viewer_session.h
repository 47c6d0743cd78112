#pragma once

#include <boost/asio/awaitable.hpp>
#include <boost/asio/steady_timer.hpp>
#include <chrono>
#include <cstdint>
#include <filesystem>
#include <memory>
#include <mutex>
#include <optional>
#include <set>
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
#include "support/clipboard_sync.h"
#include "viewer/audio_player.h"
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
//
// Executors in detail: the connect sequence, the statistics timer, the clipboard watcher and every
// published change run on the main strand; the receive loop runs on a strand of its own on the network
// thread (the file receiver lives there too); the file sender's transfers run on the session's
// "pellora.files" queue; the audio sink's lock guards the player between the receive loop and the main
// strand.
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
    // What the path from the host carries, estimated from how fast large video frames arrive (kbit/s);
    // none until such frames came.
    std::optional<std::int64_t> pathKbps;
    // The host's current video target (kbit/s) as it last told us; none from hosts that do not tell.
    std::optional<std::int64_t> targetKbps;
    std::int64_t kbps = 0;
    std::int64_t fps = 0;
    VideoRenderer::Size videoSize{16, 10};
    Features peerFeatures;
    bool audioOn = false;
    std::vector<DisplayInfo> displays;
    std::optional<std::uint32_t> selectedDisplay;
    Quality quality = Quality::balanced;
    ChatHistory chat;
    int unreadChat = 0;
    TransferHistory transfers;
    bool scaleToFit = true;
    int handshakeVersion = 0;  // which handshake protects the session: 1 or 2 once connected
    bool operator==(const State&) const = default;
  };

  struct Dependencies {
    NetworkThread& network;
    CpuPool& cpu;
    AppSettings& settings;
    ViewerPlatform platform;
    std::string computerName;  // sent in our hello
    // Default: the download folder + "Pellora", looked up (a file read) when the session starts; owners that
    // start sessions on the network thread look it up beforehand.
    std::optional<std::filesystem::path> downloadDirectory;
    std::chrono::seconds handshakeTimeout{100};
    // How often fps, kbps and the ping go out. Tests make it long and call statisticsTick() themselves.
    std::chrono::steady_clock::duration statisticsInterval = std::chrono::seconds(1);
    // The codecs offered in viewerHello, preferred first (the command line narrows it to one).
    std::vector<Codec> codecs{Codec::h264, Codec::jpegRegions};
    // The renderer's picture size limit (the fuzzer keeps its allocations small).
    std::uint32_t maxPictureSide = VideoRenderer::maxDimension;
  };

  static std::shared_ptr<ViewerSession> make(Dependencies dependencies, ViewerTarget target);
  // A session over a channel that is already up (tests and fuzzing play the host without a handshake).
  // Call on the main strand; `connect` does nothing afterwards.
  static std::shared_ptr<ViewerSession> attach(Dependencies dependencies, ViewerTarget target,
                                               std::shared_ptr<SecureChannel> channel);
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

  // What the statistics timer runs once a second: publishes fps and kbps of the last interval, resets
  // the counters and sends a ping. Public so that tests can drive it without waiting.
  void statisticsTick();

 private:
  // The player of the newest audioConfig, shared by the receive loop and the main strand. Players are
  // made and closed on the process's sound queue (opening an output waits for the sound server); jobs
  // there hold the sink, and a player made for a configuration that was replaced or stopped meanwhile is
  // closed there again.
  struct AudioSink : std::enable_shared_from_this<AudioSink> {
    std::mutex lock;
    bool wanted = false;  // the user has sound on: only then does an audioConfig start a player
    std::uint64_t generation = 0;  // one per configuration or stop
    std::unique_ptr<AudioPlayer> player;
    // Replaces the player with one for `channels` (mono and stereo only), made with `makeOutput`.
    void configure(int channels, std::function<std::unique_ptr<AudioOutput>()> makeOutput);
    void play(Bytes packet);
    void stop();
    void setWanted(bool on);
  };
  // Video traffic since the last statistics tick.
  struct Counters {
    std::int64_t frames = 0;
    std::int64_t bytes = 0;
  };
  // What the receive loop holds (the session itself only weakly); the session keeps it too, to reach
  // the file transfer objects and to stop the loop.
  struct Loop;

  ViewerSession(Dependencies dependencies, ViewerTarget target);
  static boost::asio::awaitable<void> connectSequence(std::weak_ptr<ViewerSession> weak, std::string password,
                                                      RelayClient relay, std::string name);
  static boost::asio::awaitable<void> receiveLoop(std::shared_ptr<Loop> loop);
  // The session, unless it is gone or was disconnected meanwhile.
  static std::shared_ptr<ViewerSession> stillWanted(const std::weak_ptr<ViewerSession>& weak);
  void connected(const std::shared_ptr<SecureChannel>& channel);
  void startBackground(const std::shared_ptr<SecureChannel>& channel);
  void scheduleStatistics();
  void handleControl(const Message& message);
  void countVideo(std::int64_t bytes);
  void upsert(const TransferProgress& progress);
  void lost(const std::string& text);
  void end(const std::string& text);  // unless already ended
  void setPhase(Phase phase);
  bool isConnected() const;
  void send(const Message& message);  // only while connected

  Dependencies deps_;
  std::string id_;
  ViewerTarget target_;
  std::shared_ptr<VideoRenderer> renderer_;
  Published<State> published_;

  bool started_ = false;       // connect() ran
  bool disconnected_ = false;  // disconnect() ran: nothing later revives the session
  std::shared_ptr<Wire> wire_;  // the connection being set up, then the channel's
  std::shared_ptr<SecureChannel> channel_;
  std::shared_ptr<Loop> loop_;  // from startBackground on
  std::shared_ptr<ClipboardSync> clipboard_;  // none without a clipboard
  std::shared_ptr<AudioSink> audio_ = std::make_shared<AudioSink>();
  std::unique_ptr<boost::asio::steady_timer> statisticsTimer_;
  std::set<std::uint16_t> pressedKeys_;
  Counters counters_;
};

}  // namespace pellora
