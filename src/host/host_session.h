#pragma once

#include <boost/asio/awaitable.hpp>
#include <cstdint>
#include <functional>
#include <memory>
#include <string>

#include "core/file_receiver.h"
#include "core/file_sender.h"
#include "core/quality.h"
#include "core/secure_channel.h"
#include "core/transfer_progress.h"
#include "host/host_platform.h"

namespace pellora {

// Serves one admitted viewer over one secure channel: answers its hello, chooses the codec, captures
// and encodes under the send-queue budget, sends sound while asked, performs the viewer's input and
// passes clipboard text, chat and transfers to the host service's hooks.
//
// Executors: `run()` is one coroutine on the main strand and the only reader of the channel; frames,
// encoders, `lastFrame`, `pendingDirty`, `needsFull`, `unsent` and the resend timer live on the session's
// "pellora.host.video" queue; sound is encoded on the audio source's thread under `audioLock_`. Hooks are
// called from the run coroutine. Owned by the host service (shared with its own callbacks, which hold it
// weakly).
class HostSession : public std::enable_shared_from_this<HostSession> {
 public:
  struct Options {
    Quality quality = Quality::balanced;
    std::uint32_t displayID = 0;  // 0: the main display
    std::string name;             // this computer's name, sent in hostInfo
    bool syncClipboard = true;
    bool acceptFiles = true;
  };

  static std::shared_ptr<HostSession> make(std::shared_ptr<SecureChannel> channel, Options options,
                                           HostPlatform platform);
  ~HostSession();

  // Serves the viewer until the session ends and returns the end reason. Called once.
  boost::asio::awaitable<std::string> run();

  const std::shared_ptr<SecureChannel>& channel() const { return channel_; }
  std::shared_ptr<FileSender> sender();
  std::shared_ptr<FileReceiver> receiver();

  std::function<void(const std::string&)> onClipboard;
  std::function<void(const std::string&)> onChat;
  std::function<void(const TransferProgress&)> onTransfer;

 private:
  HostSession(std::shared_ptr<SecureChannel> channel, Options options, HostPlatform platform);
  struct Video;  // the video queue's state
  std::shared_ptr<SecureChannel> channel_;
  Options options_;
  HostPlatform platform_;
};

}  // namespace pellora
