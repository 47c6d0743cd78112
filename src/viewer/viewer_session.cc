#include "viewer/viewer_session.h"

#include <boost/asio/co_spawn.hpp>
#include <boost/asio/detached.hpp>
#include <boost/asio/post.hpp>
#include <boost/asio/strand.hpp>
#include <boost/system/system_error.hpp>
#include <algorithm>
#include <atomic>
#include <utility>

#include "base/process_queues.h"
#include "base/serial_queue.h"
#include "core/error_text.h"
#include "core/uuid.h"
#include "support/network_info.h"
#include "core/file_receiver.h"
#include "core/file_sender.h"
#include "support/file_names_directory.h"

namespace pellora {

namespace asio = boost::asio;
using asio::awaitable;

namespace {

constexpr const char* relayText = "Relay üzerinden aranıyor…";
constexpr const char* authenticatingText = "Kimlik doğrulanıyor… (karşı tarafın onayı bekleniyor olabilir)";
constexpr const char* viewerLeftText = "İzleyici bağlantıyı kapattı";
constexpr const char* closedText = "Bağlantı kapatıldı";
constexpr const char* peerLeftText = "Karşı taraf bağlantıyı kapattı";
constexpr const char* senderCancelledText = "Gönderen iptal etti";

// Nanoseconds of the monotonic clock (CLOCK_MONOTONIC on Linux): what pings carry and pongs return.
std::uint64_t uptimeNanos() {
  return static_cast<std::uint64_t>(
      std::chrono::duration_cast<std::chrono::nanoseconds>(std::chrono::steady_clock::now().time_since_epoch())
          .count());
}



}  // namespace

struct ViewerSession::Loop {
  explicit Loop(NetworkThread::Strand strand) : mainStrand(std::move(strand)) {}

  std::weak_ptr<ViewerSession> session;
  NetworkThread::Strand mainStrand;
  std::shared_ptr<SecureChannel> channel;
  std::shared_ptr<SerialQueue> files;  // before the sender: outlives the transfers that run on it
  std::shared_ptr<FileSender> sender;
  std::shared_ptr<FileReceiver> receiver;
  std::shared_ptr<VideoRenderer> renderer;
  std::shared_ptr<AudioSink> audio;
  std::function<std::unique_ptr<AudioOutput>()> makeAudioOutput;
  std::atomic<bool> stopped{false};  // disconnected: whatever still arrives is dropped

  // Runs `job` on the main strand with the session, if it still exists.
  template <typename Job>
  void onMain(Job job) {
    asio::post(mainStrand, [weak = session, job = std::move(job)]() mutable {
      if (auto self = weak.lock()) job(*self);
    });
  }
};

void ViewerSession::AudioSink::configure(int channels, std::function<std::unique_ptr<AudioOutput>()> makeOutput) {
  std::unique_ptr<AudioPlayer> old;
  std::uint64_t mine = 0;
  bool start = false;
  {
    std::lock_guard guard(lock);
    old = std::move(player);
    mine = ++generation;
    // Only mono and stereo are played, and only while the user has sound on; anything else from the peer
    // leaves the session silent.
    start = wanted && (channels == 1 || channels == 2) && makeOutput;
  }
  soundDeviceQueue().post([self = shared_from_this(), old = std::move(old), mine, start, channels,
                           makeOutput = std::move(makeOutput)]() mutable {
    old.reset();
    if (!start) return;
    std::unique_ptr<AudioPlayer> made;
    try {
      if (auto output = makeOutput()) made = std::make_unique<AudioPlayer>(channels, std::move(output));
    } catch (const std::exception&) {
      return;  // no decoder or no output: silent, without a message
    }
    std::lock_guard guard(self->lock);
    if (self->generation == mine && self->wanted) self->player = std::move(made);
    // Otherwise it was replaced or stopped meanwhile: `made` closes here, on this queue.
  });
}

void ViewerSession::AudioSink::play(Bytes packet) {
  std::lock_guard guard(lock);
  if (player) player->play(std::move(packet));
}

void ViewerSession::AudioSink::stop() {
  std::unique_ptr<AudioPlayer> old;
  {
    std::lock_guard guard(lock);
    ++generation;
    old = std::move(player);
  }
  if (old) soundDeviceQueue().post([old = std::move(old)]() mutable { old.reset(); });
}

void ViewerSession::AudioSink::setWanted(bool on) {
  {
    std::lock_guard guard(lock);
    wanted = on;
  }
  if (!on) stop();
}

std::shared_ptr<ViewerSession> ViewerSession::make(Dependencies dependencies, ViewerTarget target) {
  std::shared_ptr<ViewerSession> session(new ViewerSession(std::move(dependencies), std::move(target)));
  // Called on the render queue: only hops.
  session->renderer_->onSize = [weak = session->weak_from_this(),
                                strand = session->deps_.network.mainStrand()](VideoRenderer::Size size) {
    asio::post(strand, [weak, size] {
      if (auto self = weak.lock()) self->published_.update([&](State& s) { s.videoSize = size; });
    });
  };
  return session;
}

std::shared_ptr<ViewerSession> ViewerSession::attach(Dependencies dependencies, ViewerTarget target,
                                                     std::shared_ptr<SecureChannel> channel) {
  auto session = make(std::move(dependencies), std::move(target));
  session->started_ = true;
  session->connected(channel);
  return session;
}

ViewerSession::ViewerSession(Dependencies dependencies, ViewerTarget target)
    : deps_(std::move(dependencies)),
      id_(UUID::v4()),
      target_(std::move(target)),
      // The session and its loop let go of the renderer on the network thread, and its destructor joins the
      // render queue and frees the decoder.
      renderer_(deps_.network.retiring(
          std::make_unique<VideoRenderer>(std::make_shared<FrameSink>(), deps_.maxPictureSide))) {
  published_.update([&](State& s) { s.quality = deps_.settings.state().quality; });
  if (deps_.platform.clipboard) clipboard_ = ClipboardSync::make(deps_.network.mainStrand(), deps_.platform.clipboard);
}

ViewerSession::~ViewerSession() {
  // Normally disconnect() ran first; a session dropped without it still lets go of its connection.
  if (loop_) loop_->stopped = true;
  if (channel_) channel_->close(std::nullopt);
  if (wire_) wire_->cancel();
  if (clipboard_) clipboard_->stop();
  audio_->stop();
}

// ---- connecting ----

void ViewerSession::connect(std::string password) {
  if (started_ || disconnected_) return;
  started_ = true;
  RelayClient relay = deps_.settings.relayClient(deps_.network.executor());
  std::string name = deps_.computerName.empty() ? NetworkInfo::computerName() : deps_.computerName;
  asio::co_spawn(deps_.network.mainStrand(),
                 connectSequence(weak_from_this(), std::move(password), std::move(relay), std::move(name)),
                 asio::detached);
}

std::shared_ptr<ViewerSession> ViewerSession::stillWanted(const std::weak_ptr<ViewerSession>& weak) {
  auto self = weak.lock();
  return self && !self->disconnected_ ? self : nullptr;
}

// On the main strand. Holds the session only between waits, so that closing the window mid-way frees it.
awaitable<void> ViewerSession::connectSequence(std::weak_ptr<ViewerSession> weak, std::string password,
                                               RelayClient relay, std::string name) {
  std::shared_ptr<Wire> wire;
  try {
    std::string relayID;
    {
      auto self = stillWanted(weak);
      if (!self) co_return;
      const auto executor = self->deps_.network.executor();
      if (const auto* direct = std::get_if<ViewerTarget::Direct>(&self->target_.value)) {
        wire = Wire::tcp(executor, direct->host, direct->port, false);
      } else if (const auto* found = std::get_if<ViewerTarget::Bonjour>(&self->target_.value)) {
        wire = Wire::tcp(executor, found->endpoint.address, found->endpoint.port, false);
      } else {
        relayID = std::get<ViewerTarget::Relay>(self->target_.value).id;
        self->setPhase(Connecting{relayText});
      }
    }
    if (!wire) wire = co_await relay.connect(relayID);
    CpuPool* cpu = nullptr;
    std::chrono::seconds timeout{};
    SecureChannel::ClientOptions options;
    if (auto self = stillWanted(weak)) {
      self->wire_ = wire;
      cpu = &self->deps_.cpu;
      timeout = self->deps_.handshakeTimeout;
      options.requireVersion2 = self->deps_.settings.isPinnedToHandshakeV2(self->target_.pinKey());
    } else {
      wire->cancel();
      co_return;
    }

    co_await wire->start();
    if (auto self = stillWanted(weak)) {
      self->setPhase(Connecting{authenticatingText});
    } else {
      wire->cancel();
      co_return;
    }

    auto channel = co_await SecureChannel::client(wire, std::move(password), std::move(name), timeout, *cpu, options);
    if (auto self = stillWanted(weak)) {
      self->connected(channel);
    } else {
      channel->close(std::nullopt);
    }
  } catch (...) {
    const std::string text = errorText(std::current_exception());
    if (wire) wire->cancel();
    if (auto self = stillWanted(weak)) self->end(text);
  }
}

void ViewerSession::connected(const std::shared_ptr<SecureChannel>& channel) {
  // From the first version-2 session on, this target answering in version 1 is taken for a downgrade.
  if (channel->handshakeVersion() == 2 && !deps_.settings.isPinnedToHandshakeV2(target_.pinKey()))
    deps_.settings.pinHandshakeV2(target_.pinKey());
  channel_ = channel;
  wire_ = channel->wire();
  // Called on the render queue: sends only.
  renderer_->requestKeyframe = [weak = std::weak_ptr<SecureChannel>(channel)] {
    if (auto c = weak.lock()) c->send(Message::RequestKeyframe{});
  };
  std::vector<std::uint8_t> codecs;
  for (Codec codec : deps_.codecs) codecs.push_back(static_cast<std::uint8_t>(codec));
  channel->send(Message::ViewerHello{PeerOS::linux, std::move(codecs)});
  channel->send(Message::FeaturesMsg{Features{Features::all}});
  channel->send(Message::SetQuality{toByte(state().quality)});
  published_.update([&](State& s) {
    s.remoteName = channel->peer().name;
    s.remoteOS = channel->peer().os;
    s.handshakeVersion = channel->handshakeVersion();
    s.phase = Connected{};
  });
  startBackground(channel);
}

void ViewerSession::startBackground(const std::shared_ptr<SecureChannel>& channel) {
  auto& network = deps_.network;
  // The receive loop lets go of it on the network thread; its file queues join their threads as they go.
  auto loop = network.retiring(std::make_unique<Loop>(network.mainStrand()));
  loop->session = weak_from_this();
  loop->channel = channel;
  loop->files = std::make_shared<SerialQueue>("pellora.files");
  loop->sender = FileSender::make(channel, false, loop->files->executor());
  const auto receiveStrand = asio::make_strand(network.executor());
  loop->receiver =
      FileReceiver::make(channel, deps_.downloadDirectory ? *deps_.downloadDirectory : FileNames::defaultDirectory(),
                         receiveStrand, {}, &network);
  loop->receiver->setAutoAccept(deps_.settings.state().acceptFiles);
  loop->renderer = renderer_;
  loop->audio = audio_;
  loop->makeAudioOutput = deps_.platform.makeAudioOutput;

  // Reported on the files queue or the receive strand: hop to the main strand.
  auto progress = [weak = weak_from_this(), strand = network.mainStrand()](const TransferProgress& p) {
    asio::post(strand, [weak, p] {
      if (auto self = weak.lock()) self->upsert(p);
    });
  };
  loop->sender->setOnProgress(progress);
  loop->receiver->setOnProgress(progress);
  loop_ = loop;

  asio::co_spawn(receiveStrand, receiveLoop(loop), asio::detached);
  scheduleStatistics();

  if (clipboard_ && deps_.settings.state().syncClipboard) {
    clipboard_->onLocalChange = [weak = std::weak_ptr<SecureChannel>(channel)](const std::string& text) {
      if (auto c = weak.lock()) c->send(Message::ClipboardText{text});
    };
    clipboard_->start();
  }
}

// ---- receiving ----

// On its own strand of the network thread. Video goes to the renderer's queue and sound to the player's
// without passing the main strand; everything else, and the video counters, hop there.
awaitable<void> ViewerSession::receiveLoop(std::shared_ptr<Loop> loop) {
  std::optional<std::string> failure;
  while (!loop->stopped) {
    Message message;
    try {
      message = co_await loop->channel->receive();
    } catch (...) {
      failure = errorText(std::current_exception());
      break;
    }
    if (loop->stopped) break;
    if (loop->sender->handle(message)) continue;
    if (loop->receiver->handle(message)) {
      co_await loop->receiver->writeRoom();
      continue;
    }

    if (message.is<Message::VideoConfig>() || message.is<Message::VideoFrame>() ||
        message.is<Message::ImageRegions>()) {
      std::int64_t bytes = 0;
      if (const auto* frame = message.as<Message::VideoFrame>()) {
        bytes = static_cast<std::int64_t>(frame->data.size());
      } else if (const auto* update = message.as<Message::ImageRegions>()) {
        for (const ImageRegion& region : update->regions) bytes += static_cast<std::int64_t>(region.jpeg.size());
      }
      loop->renderer->handle(std::move(message));
      loop->onMain([bytes](ViewerSession& self) { self.countVideo(bytes); });
    } else if (auto* packet = std::get_if<Message::AudioPacket>(&message.value)) {
      loop->audio->play(std::move(packet->data));
    } else if (const auto* config = message.as<Message::AudioConfig>()) {
      loop->audio->configure(config->channels, loop->makeAudioOutput);
    } else {
      loop->onMain([message = std::move(message)](ViewerSession& self) { self.handleControl(message); });
    }
  }
  if (failure && !loop->stopped) {
    loop->onMain([text = *failure](ViewerSession& self) { self.lost(text); });
  }
  loop->receiver->abandonAll();
  loop->sender->abandonAll();
  co_await loop->receiver->settled();  // files whose last chunk came in are saved
}

void ViewerSession::countVideo(std::int64_t bytes) {
  counters_.frames += 1;
  counters_.bytes += bytes;
}

void ViewerSession::handleControl(const Message& message) {
  if (disconnected_) return;  // posted before the user closed the session: nothing to show any more
  if (const auto* info = message.as<Message::HostInfo>()) {
    published_.update([&](State& s) {
      s.remoteOS = info->os;
      s.remoteName = info->name;
      s.codec = codecFromRaw(info->codec);
    });
  } else if (const auto* clip = message.as<Message::ClipboardText>()) {
    if (clipboard_ && deps_.settings.state().syncClipboard) clipboard_->writeFromPeer(clip->text);
  } else if (const auto* ping = message.as<Message::Ping>()) {
    if (channel_) channel_->send(Message::Pong{ping->value});
  } else if (const auto* pong = message.as<Message::Pong>()) {
    const std::uint64_t elapsed = uptimeNanos() - pong->value;  // wraps, as unsigned arithmetic does
    published_.update([&](State& s) { s.latencyMs = static_cast<std::int64_t>(elapsed / 1'000'000); });
  } else if (const auto* target = message.as<Message::TargetBitrate>()) {
    published_.update([&](State& s) { s.targetKbps = target->kbps; });
  } else if (const auto* bye = message.as<Message::Bye>()) {
    setPhase(Ended{bye->reason.empty() ? std::string(peerLeftText) : bye->reason});
  } else if (const auto* features = message.as<Message::FeaturesMsg>()) {
    published_.update([&](State& s) { s.peerFeatures = features->features; });
  } else if (const auto* list = message.as<Message::DisplayList>()) {
    published_.update([&](State& s) {
      s.displays = list->displays;
      if (s.selectedDisplay || list->displays.empty()) return;
      const auto primary = std::find_if(list->displays.begin(), list->displays.end(),
                                        [](const DisplayInfo& d) { return d.primary; });
      s.selectedDisplay = primary != list->displays.end() ? primary->id : list->displays.front().id;
    });
  } else if (const auto* chat = message.as<Message::ChatText>()) {
    published_.update([&](State& s) {
      s.chat.push_back(ChatLine{UUID::v4(), false, chat->text, std::chrono::system_clock::now()});
      s.unreadChat += 1;
    });
  }
  // Everything else is not the viewer's to handle.
}

void ViewerSession::upsert(const TransferProgress& progress) {
  published_.update([&](State& s) { record(s.transfers, progress); });
}

// ---- statistics ----

void ViewerSession::scheduleStatistics() {
  if (!statisticsTimer_) statisticsTimer_ = std::make_unique<asio::steady_timer>(deps_.network.mainStrand());
  statisticsTimer_->expires_after(deps_.statisticsInterval);
  statisticsTimer_->async_wait([weak = weak_from_this()](const boost::system::error_code& ec) {
    if (ec) return;
    if (auto self = weak.lock()) {
      self->statisticsTick();
      self->scheduleStatistics();
    }
  });
}

void ViewerSession::statisticsTick() {
  std::optional<std::int64_t> pathKbps;
  if (channel_)
    if (auto rate = channel_->wire()->arrivalRate()) pathKbps = *rate * 8 / 1000;
  published_.update([&](State& s) {
    s.fps = counters_.frames;
    s.kbps = counters_.bytes * 8 / 1000;
    s.pathKbps = pathKbps;
  });
  counters_ = {};
  if (channel_) channel_->send(Message::Ping{uptimeNanos()});
}

// ---- ending ----

void ViewerSession::disconnect() {
  if (disconnected_) return;
  disconnected_ = true;
  audio_->stop();
  releaseKeys();
  if (channel_) {
    channel_->close(viewerLeftText);  // says goodbye, then cuts the connection
  } else if (wire_) {
    wire_->cancel();  // still connecting
  }
  if (loop_) loop_->stopped = true;
  statisticsTimer_.reset();
  if (clipboard_) clipboard_->stop();
  end(closedText);
}

void ViewerSession::lost(const std::string& text) {
  audio_->stop();
  if (clipboard_) clipboard_->stop();
  end(text);
}

void ViewerSession::end(const std::string& text) {
  published_.update([&](State& s) {
    if (!std::holds_alternative<Ended>(s.phase)) s.phase = Ended{text};
  });
}

void ViewerSession::setPhase(Phase phase) {
  published_.update([&](State& s) { s.phase = std::move(phase); });
}

bool ViewerSession::isConnected() const { return channel_ && std::holds_alternative<Connected>(state().phase); }

void ViewerSession::send(const Message& message) {
  if (isConnected()) channel_->send(message);
}

// ---- user actions ----

void ViewerSession::key(std::uint16_t usage, bool down) {
  // A Linux user's Control plays a Mac's Command: left 224 ⇄ 227, right 228 ⇄ 231.
  if (state().remoteOS == PeerOS::macOS && deps_.settings.state().swapCommandControl) {
    switch (usage) {
      case 224: usage = 227; break;
      case 227: usage = 224; break;
      case 228: usage = 231; break;
      case 231: usage = 228; break;
      default: break;
    }
  }
  if (down) {
    pressedKeys_.insert(usage);
  } else {
    pressedKeys_.erase(usage);
  }
  send(Message::Key{usage, down});
}

void ViewerSession::releaseKeys() {
  if (channel_) {
    for (const std::uint16_t usage : pressedKeys_) channel_->send(Message::Key{usage, false});
  }
  pressedKeys_.clear();
}

void ViewerSession::mouseMove(float x, float y) { send(Message::MouseMove{x, y}); }

void ViewerSession::mouseButton(MouseButton button, bool down, std::uint8_t clicks, float x, float y) {
  send(Message::MouseButtonMsg{static_cast<std::uint8_t>(button), down, clicks, x, y});
}

void ViewerSession::scroll(float dx, float dy) { send(Message::Scroll{dx, dy}); }

void ViewerSession::sendChat(const std::string& text) {
  const std::string line = ChatLine::prepare(text);
  if (line.empty()) return;
  send(Message::ChatText{line});
  published_.update(
      [&](State& s) { s.chat.push_back(ChatLine{UUID::v4(), true, line, std::chrono::system_clock::now()}); });
}

void ViewerSession::sendFiles(const std::vector<std::filesystem::path>& files) {
  if (!std::holds_alternative<Connected>(state().phase) || !loop_) return;
  // Looking at the files waits for the file system: done on the files' queue, in the order given.
  loop_->files->post([sender = loop_->sender, files] {
    for (const auto& file : files) {
      std::error_code ec;
      if (!std::filesystem::is_regular_file(file, ec) || ec) continue;  // folders and unreadable entries
      sender->enqueue(file);
    }
  });
}

void ViewerSession::toggleAudio() {
  const bool on = !state().audioOn;
  published_.update([&](State& s) { s.audioOn = on; });
  audio_->setWanted(on);
  send(Message::SetAudio{on});
}

void ViewerSession::selectDisplay(std::uint32_t id) {
  published_.update([&](State& s) { s.selectedDisplay = id; });
  send(Message::SelectDisplay{id});
}

void ViewerSession::setQuality(Quality quality) {
  published_.update([&](State& s) { s.quality = quality; });
  send(Message::SetQuality{toByte(quality)});
}

void ViewerSession::setScaleToFit(bool on) {
  published_.update([&](State& s) { s.scaleToFit = on; });
}

void ViewerSession::markChatRead() {
  published_.update([](State& s) { s.unreadChat = 0; });
}

void ViewerSession::cancelTransfer(const TransferProgress& transfer) {
  if (!loop_) return;
  // Only a transfer the list still shows as open; a finished one has nothing left to cancel.
  const auto& list = state().transfers;
  const auto current = list.findLast(
      [&](const TransferProgress& t) { return t.id == transfer.id && t.direction == transfer.direction; });
  if (!current || list[*current].isFinished()) return;
  if (transfer.direction == TransferProgress::Direction::sending) {
    loop_->sender->cancel(transfer.id, senderCancelledText);
  } else {
    loop_->receiver->cancel(transfer.id);
  }
}

}  // namespace pellora
