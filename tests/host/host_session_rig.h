#pragma once

// A host session on a real network thread, with the viewer's end of its channel played by the test
// through a scripted peer. The screen, the input sink and the sound source below it are fakes.

#include <boost/asio/co_spawn.hpp>
#include <boost/asio/use_future.hpp>
#include <future>
#include <mutex>

#include "host/fake_audio_source.h"
#include "host/fake_input_event_sink.h"
#include "host/fake_screen_capturer.h"
#include "host/host_session.h"
#include "support/scripted_peer.h"
#include "support/temp_dir.h"

namespace pellora::test {

class HostSessionRig {
 public:
  ~HostSessionRig() {
    peer.reset();  // closes the channel: the session ends
    if (hostEnded.valid()) awaitFuture(std::move(hostEnded));
    host.reset();
    network.stop();
    cpu.stop();
  }

  // The session running; the peer has sent nothing yet.
  void startHost(HostSession::Options options = {}) {
    auto [mine, theirs] = channelPair(network);
    peer = std::make_unique<ScriptedPeer>(network, theirs);
    options.name = "Masa";
    options.downloadDirectory = downloads.path;
    HostPlatform platform;
    platform.makeCapturer = [screen = screen] { return std::make_unique<FakeScreenCapturer>(screen); };
    platform.makeInputSink = [] { return std::make_unique<FakeInputEventSink>(); };
    platform.makeAudioSource = [this]() -> std::unique_ptr<AudioSource> {
      auto source = std::make_unique<FakeAudioSource>();
      std::lock_guard guard(lock);
      audio = source.get();
      return source;
    };
    host = HostSession::make(mine, options, platform);
    host->onClipboard = [this](const std::string& text) { record(clipboard, text); };
    host->onChat = [this](const std::string& text) { record(chat, text); };
    hostEnded = boost::asio::co_spawn(network.mainStrand(), host->run(), boost::asio::use_future);
  }
  // The hello answered and the capture running.
  void hostStarted(std::vector<std::uint8_t> codecs = {2}, HostSession::Options options = {}) {
    startHost(std::move(options));
    peer->send(Message::ViewerHello{PeerOS::macOS, std::move(codecs)});
    peer->next<Message::DisplayList>();
    peer->sync();
  }
  std::string endReason() { return awaitFuture(std::move(hostEnded)); }

  // What the session's hooks saw so far.
  template <typename T>
  std::vector<T> seen(const std::vector<T>& list) {
    std::lock_guard guard(lock);
    return list;
  }

  TempDir downloads{"pellora-downloads", true};  // in memory: floods of files need not wait for a disk
  std::shared_ptr<FakeScreen> screen = std::make_shared<FakeScreen>();
  std::mutex lock;  // guards what the hooks record, and `audio`
  FakeAudioSource* audio = nullptr;
  std::vector<std::string> clipboard, chat;

  CpuPool cpu{1};
  NetworkThread network;
  std::unique_ptr<ScriptedPeer> peer;
  std::shared_ptr<HostSession> host;
  std::future<std::string> hostEnded;

 private:
  template <typename T>
  void record(std::vector<T>& list, const T& item) {
    std::lock_guard guard(lock);
    list.push_back(item);
  }
};

}  // namespace pellora::test
