#pragma once

#include <boost/asio/any_io_executor.hpp>
#include <boost/asio/awaitable.hpp>
#include <atomic>
#include <cstdint>
#include <filesystem>
#include <functional>
#include <memory>
#include <mutex>
#include <optional>
#include <string>

#include "base/network_thread.h"
#include "base/serial_queue.h"
#include "core/file_receiver.h"
#include "core/file_sender.h"
#include "core/opus_codec.h"
#include "core/quality.h"
#include "core/secure_channel.h"
#include "core/transfer_progress.h"
#include "host/host_platform.h"
#include "host/input_injector.h"

namespace pellora {

// Serves one admitted viewer over one secure channel: answers its hello, chooses the codec, captures
// and encodes under the send-queue budget, sends sound while asked, performs the viewer's input and
// passes clipboard text, chat and transfers to the host service's hooks.
//
// Executors: `run()` is one coroutine on the main strand and the only reader of the channel; frames,
// encoders, `lastFrame`, `pendingDirty`, `needsFull`, `unsent` and the resend timer live on the session's
// "pellora.host.video" queue; the sound source opens and closes on the process's sound queue and encodes on
// its own thread (`Sound`). Hooks are
// called from the run coroutine (transfer progress also from the file queue). Owned by the host service
// (shared with its own callbacks, which hold it weakly); the run coroutine holds it while it runs.
class HostSession : public std::enable_shared_from_this<HostSession> {
 public:
  struct Options {
    Quality quality = Quality::balanced;
    std::uint32_t displayID = 0;  // 0: the main display
    std::string name;             // this computer's name, sent in hostInfo
    bool syncClipboard = true;
    bool acceptFiles = true;
    // Where received files go; none: the download folder + "Pellora", looked up (a file read) when the
    // session runs.
    std::optional<std::filesystem::path> downloadDirectory;
  };

  // How often a frame held back by the send-queue budget is tried again.
  static constexpr std::chrono::milliseconds resendInterval{250};
  // The viewer hears of a change of the video target at most this often.
  static constexpr std::chrono::microseconds announceInterval{500'000};
  // Changed rectangles kept for the next JPEG update; beyond this the update covers the whole frame.
  static constexpr std::size_t maxPendingDirty = 1024;

  // With `network`, a last owner that lets go on the network thread hands the session to its retire thread:
  // the destructor joins the session's queues.
  static std::shared_ptr<HostSession> make(std::shared_ptr<SecureChannel> channel, Options options,
                                           HostPlatform platform, NetworkThread* network = nullptr);
  ~HostSession();
  HostSession(const HostSession&) = delete;
  HostSession& operator=(const HostSession&) = delete;

  // Serves the viewer until the session ends and returns the end reason. Called once.
  boost::asio::awaitable<std::string> run();

  const std::shared_ptr<SecureChannel>& channel() const { return channel_; }
  const Options& options() const { return options_; }
  // The outgoing files; made on first use. Any thread.
  std::shared_ptr<FileSender> sender();
  // The incoming files; made when `run()` begins (its handlers run on the run coroutine's executor), none
  // before. Main strand.
  std::shared_ptr<FileReceiver> receiver() const { return receiver_; }

  std::function<void(const std::string&)> onClipboard;
  std::function<void(const std::string&)> onChat;
  std::function<void(const TransferProgress&)> onTransfer;

 private:
  struct Video;  // the video queue's state
  struct Audio;  // the encoder and clock, under Sound::lock
  struct TransferHook;

  HostSession(std::shared_ptr<SecureChannel> channel, Options options, HostPlatform platform);

  // The hello, the answers, capture, and the message loop; returns the end reason or throws.
  boost::asio::awaitable<std::string> serve();
  // Stops the running capture (if any), then starts a new one with its encoder. Throws.
  boost::asio::awaitable<void> startCapture();
  struct Sound;
  void setAudio(bool on);
  std::shared_ptr<FileSender> currentSender();  // none until first used
  boost::asio::awaitable<void> tearDown();

  const std::shared_ptr<SecureChannel> channel_;
  Options options_;
  HostPlatform platform_;
  NetworkThread* network_ = nullptr;  // retires what may be let go on it; none in some tests
  Codec codec_ = Codec::h264;
  Features peerFeatures_;
  std::unique_ptr<InputInjector> injector_;  // run coroutine only

  // Declared before the state that lives on them, so that timers and jobs go first.
  std::unique_ptr<SerialQueue> videoQueue_;
  std::unique_ptr<SerialQueue> fileQueue_;  // made with the sender
  std::shared_ptr<Video> video_;
  std::shared_ptr<TransferHook> transferHook_;

  std::shared_ptr<Sound> sound_;

  std::mutex filesLock_;  // guards the lazy creation of sender_ and fileQueue_
  std::shared_ptr<FileSender> sender_;
  std::shared_ptr<FileReceiver> receiver_;
};

}  // namespace pellora
