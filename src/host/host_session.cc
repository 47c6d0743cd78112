#include "host/host_session.h"

#include <boost/asio/steady_timer.hpp>
#include <boost/asio/this_coro.hpp>
#include <boost/asio/use_awaitable.hpp>
#include <algorithm>
#include <chrono>
#include <mutex>
#include <optional>
#include <thread>
#include <type_traits>
#include <utility>
#include <vector>

#include "base/monotonic_clock.h"
#include "base/process_queues.h"
#include "core/error_text.h"
#include "core/transport_error.h"
#include "host/audio_samples.h"
#include "host/h264_encoder.h"
#include "host/jpeg_region_encoder.h"
#include "host/rate_controller.h"
#include "support/file_names_directory.h"

namespace pellora {

namespace asio = boost::asio;
using asio::awaitable;

namespace {

// Stops and destroys `queue`. A queue cannot join its own thread: should the session's last owner ever let
// go inside one of its jobs, another thread finishes the job.
void retire(std::unique_ptr<SerialQueue> queue) {
  if (queue && queue->isCurrentThread())
    std::thread([q = std::move(queue)]() mutable { q.reset(); }).detach();
}

// Captures waiting for the video queue: when the encoder falls behind, only the newest frame waits, with
// the changes of the frames it replaced, so that neither latency nor memory grows with the backlog.
class FrameSlot {
 public:
  // True when the slot was empty, i.e. a job must be posted to take it.
  bool put(const CapturedFrame& frame) {
    std::lock_guard guard(lock_);
    if (!waiting_) {
      waiting_ = frame;
      return true;
    }
    // An empty list means the whole frame changed; so does a merged list grown too long.
    std::vector<PixelRect> dirty = std::move(waiting_->dirty);
    if (dirty.empty() || frame.dirty.empty() || dirty.size() + frame.dirty.size() > HostSession::maxPendingDirty)
      dirty.clear();
    else
      dirty.insert(dirty.end(), frame.dirty.begin(), frame.dirty.end());
    waiting_ = frame;
    waiting_->dirty = std::move(dirty);
    return false;
  }

  std::optional<CapturedFrame> take() {
    std::lock_guard guard(lock_);
    return std::exchange(waiting_, std::nullopt);
  }

 private:
  std::mutex lock_;
  std::optional<CapturedFrame> waiting_;
};

}  // namespace

// The video path: the capturer, the encoders and the frame state. Lives on the video queue; only jobs on
// that queue touch it. Jobs and callbacks hold it weakly, so the session alone decides when it ends.
struct HostSession::Video {
  std::shared_ptr<SecureChannel> channel;
  SerialQueue* queue;  // the session's; outlives every job and the capturer's callbacks
  std::function<std::unique_ptr<ScreenCapturer>()> makeCapturer;

  Quality quality = Quality::balanced;
  Codec codec = Codec::h264;
  std::int64_t budget = 0;  // the preset's; `roomLeft` narrows it to the path
  std::optional<RateController> rate;
  std::int64_t lastEncodeMicros = 0;
  std::int64_t unsentLimit = 0;  // last given to the wire; 0: the wire's own
  std::uint32_t announcedKbps = 0;  // the H.264 target the viewer was told last; 0: none yet
  std::int64_t announcedMicros = 0;
  std::unique_ptr<ScreenCapturer> spare;  // made to read the display list; used by the first start
  std::unique_ptr<ScreenCapturer> capturer;
  std::unique_ptr<H264Encoder> h264;
  std::unique_ptr<JPEGRegionEncoder> jpeg;
  std::optional<CapturedFrame> lastFrame;
  std::vector<PixelRect> pendingDirty;
  bool needsFull = true;
  bool unsent = false;
  // Frames of an earlier capture that are still queued are told apart by this.
  std::uint64_t generation = 0;
  std::unique_ptr<asio::steady_timer> resendTimer;
  std::unique_ptr<asio::steady_timer> heldTimer;  // for the picture `hold` keeps
  std::weak_ptr<Video> weakSelf;                   // for the held timer's handler

  std::vector<DisplayInfo> displays() {
    if (!spare) spare = makeCapturer();
    return spare->displays();
  }

  void stopCapture() {
    ++generation;
    if (capturer) capturer->stop();
    capturer.reset();
    h264.reset();
    jpeg.reset();
    lastFrame.reset();
    rate.reset();
    pendingDirty.clear();
    needsFull = true;
    unsent = false;
  }

  CaptureInfo startCapture(const std::weak_ptr<Video>& self, std::uint32_t displayID, Quality q, Codec c) {
    stopCapture();
    quality = q;
    codec = c;
    budget = videoBudget(q, c);
    std::unique_ptr<ScreenCapturer> next = spare ? std::move(spare) : makeCapturer();
    const std::uint64_t gen = generation;
    next->onFrame = [queue = queue, self, gen, slot = std::make_shared<FrameSlot>()](const CapturedFrame& frame) {
      if (!slot->put(frame)) return;  // the job already on its way takes this frame too
      queue->post([self, gen, slot] {
        std::optional<CapturedFrame> newest = slot->take();
        if (auto video = self.lock(); video && newest) video->frame(gen, *newest);
      });
    };
    next->onStop = [weakChannel = std::weak_ptr<SecureChannel>(channel)](const std::string&) {
      if (auto ch = weakChannel.lock()) ch->close("Ekran yakalama durdu");
    };
    const int fps = captureFps(q, c);
    const CaptureInfo info = next->start(displayID, preset(q).maxDimension, fps);
    capturer = std::move(next);
    rate.emplace(RateController::Limits{preset(q).h264Bitrate, fps, preset(q).jpegQuality});
    if (c == Codec::h264) {
      h264 = std::make_unique<H264Encoder>(info.width, info.height, preset(q).h264Bitrate, fps);
      h264->onOutput = [ch = channel](std::optional<Message> config, Message frame) {
        if (config) ch->send(*config);
        ch->send(frame);
      };
    } else {
      jpeg = std::make_unique<JPEGRegionEncoder>(preset(q).jpegQuality);
    }
    return info;
  }

  void frame(std::uint64_t gen, const CapturedFrame& f) {
    if (gen != generation || (!h264 && !jpeg) || !f.image) return;
    lastFrame = f;
    // No list means the whole frame changed; a list grown too long is cheaper as one full update.
    if (f.dirty.empty()) needsFull = true;
    pendingDirty.insert(pendingDirty.end(), f.dirty.begin(), f.dirty.end());
    if (pendingDirty.size() > maxPendingDirty) {
      pendingDirty.clear();
      needsFull = true;
    }
    const std::int64_t now = monotonicMicros();
    steer(now);
    announceTarget(now);
    if (dueIn(now) == 0 && roomLeft())
      encodeLast();
    else
      hold(now);
  }

  // Below the preset's rate the controller also spaces pictures out: how long until the next may be
  // encoded, 0 when it may now.
  std::int64_t dueIn(std::int64_t now) const {
    const int fps = rate ? rate->decision().fps : captureFps(quality, codec);
    if (fps >= captureFps(quality, codec)) return 0;
    return std::max<std::int64_t>(0, lastEncodeMicros + 1'000'000 / fps - now);
  }

  // Keeps the last picture for when it may leave: once due and once our queue is back under its budget
  // (the excess drains at the path's rate). Without this a still screen's last change would wait for the
  // resend tick.
  void hold(std::int64_t now) {
    unsent = true;
    if (!heldTimer) return;
    std::int64_t wait = dueIn(now);
    if (const std::int64_t excess = channel->queuedBytes() - queueLimit(); excess >= 0) {
      const std::int64_t path = rate && rate->pathBitrate() > 0 ? rate->pathBitrate() : preset(quality).h264Bitrate;
      wait = std::max(wait, (excess + 1) * 8'000'000 / std::max<std::int64_t>(1, path));
    }
    heldTimer->expires_after(std::chrono::microseconds(std::clamp<std::int64_t>(wait, 2'000, 250'000)));
    heldTimer->async_wait([self = weakSelf](const boost::system::error_code& ec) {
      auto video = self.lock();
      if (ec || !video || !video->unsent) return;
      const std::int64_t at = monotonicMicros();
      if (video->dueIn(at) == 0 && video->roomLeft())
        video->encodeLast();
      else
        video->hold(at);
    });
  }

  // A new picture is encoded only while less than the controller's limit waits in our queue: control
  // messages sealed after it then wait behind at most about one frame (the kernel holds at most its
  // unsent limit beyond that).
  std::int64_t queueLimit() const {
    return std::min(budget, rate ? rate->decision().queueBytes : RateController::maxQueueBytes);
  }
  bool roomLeft() const { return channel->queuedBytes() < queueLimit(); }

  // Feeds the path's current figures to the rate controller and applies its decision to the encoders.
  void steer(std::int64_t now) {
    const std::optional<PathFigures> path = channel->wire()->pathFigures();
    if (!path || !rate) return;
    const RateController::Decision& d =
        rate->update({now, path->rttMicros, path->minRttMicros, path->deliveryRate, path->appLimited,
                      channel->queuedBytes() + path->notsentBytes, path->bytesAcked, path->bytesSent});
    if (h264) h264->setBitrate(static_cast<int>(d.bitrate), static_cast<int>(d.bufferBits), d.fps);
    if (jpeg) jpeg->setQuality(d.jpegQuality);
    if (d.queueBytes != unsentLimit) {
      unsentLimit = d.queueBytes;
      channel->wire()->limitUnsent(static_cast<int>(unsentLimit));
    }
  }

  // Tells the viewer the H.264 target when it changed, at most every `announceInterval`: back-offs can come
  // a few times a second, and the figure is for people to read. A change held back goes with a later
  // frame or the resend tick. Viewers that predate the message ignore it.
  void announceTarget(std::int64_t now) {
    if (!h264 || !rate) return;
    const auto kbps = static_cast<std::uint32_t>(rate->decision().bitrate / 1000);
    if (kbps == announcedKbps || now - announcedMicros < announceInterval.count()) return;
    announcedKbps = kbps;
    announcedMicros = now;
    channel->send(Message::TargetBitrate{kbps});
  }

  void encodeLast() {
    if (!lastFrame) return;
    unsent = false;
    lastEncodeMicros = monotonicMicros();
    if (h264) {
      h264->encode(lastFrame->image, lastFrame->ptsMicros);
    } else if (jpeg) {
      if (auto message = jpeg->encode(*lastFrame->image, pendingDirty, needsFull)) channel->send(*message);
    }
    pendingDirty.clear();
    needsFull = false;
  }

  // A request while the budget is full is only remembered: the full picture leaves once the queue
  // drains, so a viewer that asks without reading cannot grow the queue.
  void requestKeyframe() {
    if (h264) h264->forceKeyframe = true;
    needsFull = true;
    if (roomLeft())
      encodeLast();
    else if (lastFrame)
      hold(monotonicMicros());
  }

  void startTimers(const std::weak_ptr<Video>& self) {
    weakSelf = self;
    heldTimer = std::make_unique<asio::steady_timer>(queue->executor());
    resendTimer = std::make_unique<asio::steady_timer>(queue->executor(), resendInterval);
    scheduleResend(self);
  }

  void scheduleResend(const std::weak_ptr<Video>& self) {
    resendTimer->async_wait([self](const boost::system::error_code& ec) {
      if (ec) return;
      auto video = self.lock();
      if (!video || !video->resendTimer) return;
      if (video->unsent && video->roomLeft()) video->encodeLast();
      video->announceTarget(monotonicMicros());
      video->resendTimer->expires_at(video->resendTimer->expiry() + resendInterval);
      video->scheduleResend(self);
    });
  }

  void tearDown() {
    if (resendTimer) resendTimer->cancel();
    resendTimer.reset();
    if (heldTimer) heldTimer->cancel();
    heldTimer.reset();
    stopCapture();
    spare.reset();
  }
};

// Sound while the viewer has it on: the encoder and the time stamp of its next packet. Guarded by
// audioLock_; used on the audio source's thread and by the run coroutine's switch.
struct HostSession::Audio {
  OpusEncoder encoder;
  std::uint64_t clock = 0;  // microseconds of the next packet
};

// The sound path: the source and the encoder. Opening and closing the source waits for the sound server,
// so both run on the sound queue, in the order the viewer asked; packets are encoded on the source's
// thread under `lock`. Jobs hold it, never the session, and it holds nothing of the network thread's but
// weakly, so a stop asked at tear-down always runs and may end after the session and its network.
struct HostSession::Sound {
  std::function<std::unique_ptr<AudioSource>()> makeSource;
  std::weak_ptr<SecureChannel> channel;
  std::atomic<std::int64_t> budget{0};
  std::mutex lock;  // guards audio; never held while the source stops
  std::unique_ptr<Audio> audio;
  std::unique_ptr<AudioSource> source;  // sound queue only (and the destructor)

  ~Sound() { stop(); }

  void start(Quality quality) {
    {
      std::lock_guard guard(lock);
      if (audio) return;
    }
    if (!makeSource) return;
    // The sound quality is fixed now; a later quality change keeps it.
    const QualityPreset& p = preset(quality);
    std::unique_ptr<Audio> made;
    std::unique_ptr<AudioSource> opened;
    try {
      made = std::make_unique<Audio>(Audio{OpusEncoder(p.audioChannels, static_cast<std::uint32_t>(p.audioBitrate))});
      opened = makeSource();
      opened->onAudio = [this](const AudioSampleBuffer& buffer) { encode(buffer); };
      opened->start();
    } catch (...) {
      return;  // sound stays off; the viewer simply hears nothing
    }
    source = std::move(opened);
    std::lock_guard guard(lock);
    audio = std::move(made);
    // Under the lock, so that the configuration leaves before the first packet.
    if (auto c = channel.lock())
      c->send(Message::AudioConfig{1, Opus::sampleRate, static_cast<std::uint8_t>(p.audioChannels), 20});
  }

  void encode(const AudioSampleBuffer& buffer) {
    std::lock_guard guard(lock);
    if (!audio) return;
    auto c = channel.lock();
    if (!c) return;
    auto samples = AudioSamples::interleaved(buffer, audio->encoder.channels());
    if (!samples) return;
    for (Bytes& packet : audio->encoder.encode(*samples)) {
      const std::uint64_t pts = audio->clock;
      audio->clock += 20'000;
      if (c->queuedBytes() < budget) c->send(Message::AudioPacket{pts, std::move(packet)});
    }
  }

  void stop() {
    {
      std::lock_guard guard(lock);
      audio.reset();
    }
    // Outside the lock: stopping waits for a running callback, which takes it.
    if (source) source->stop();
    source.reset();
  }
};

// Passes transfer progress to the session's hook from whichever thread reports it, without holding the
// session itself (a file thread must never end up owning it).
struct HostSession::TransferHook {
  std::mutex lock;
  std::function<void(const TransferProgress&)> hook;

  void operator()(const TransferProgress& progress) {
    std::function<void(const TransferProgress&)> h;
    {
      std::lock_guard guard(lock);
      h = hook;
    }
    if (h) h(progress);
  }
};

std::shared_ptr<HostSession> HostSession::make(std::shared_ptr<SecureChannel> channel, Options options,
                                               HostPlatform platform, NetworkThread* network) {
  std::unique_ptr<HostSession> session(new HostSession(std::move(channel), std::move(options), std::move(platform)));
  session->network_ = network;
  if (network) return network->retiring(std::move(session));
  return session;
}

HostSession::HostSession(std::shared_ptr<SecureChannel> channel, Options options, HostPlatform platform)
    : channel_(std::move(channel)),
      options_(std::move(options)),
      platform_(std::move(platform)),
      videoQueue_(std::make_unique<SerialQueue>("pellora.host.video")),
      video_(std::make_shared<Video>()),
      transferHook_(std::make_shared<TransferHook>()) {
  video_->channel = channel_;
  video_->queue = videoQueue_.get();
  video_->makeCapturer = platform_.makeCapturer;
  sound_ = std::make_shared<Sound>();
  sound_->makeSource = platform_.makeAudioSource;
  sound_->channel = channel_;
}

HostSession::~HostSession() {
  sound_.reset();  // a pending stop on the sound queue still holds it
  // The state the queues serve goes first, then the queues themselves (the state's timer and capturer
  // need the video queue's context while they go).
  video_.reset();
  retire(std::move(videoQueue_));
  std::lock_guard guard(filesLock_);
  retire(std::move(fileQueue_));
}

std::shared_ptr<FileSender> HostSession::sender() {
  std::lock_guard guard(filesLock_);
  if (!sender_) {
    fileQueue_ = std::make_unique<SerialQueue>("pellora.host.files");
    sender_ = FileSender::make(channel_, true, fileQueue_->executor());
    sender_->setOnProgress([hook = transferHook_](const TransferProgress& p) { (*hook)(p); });
  }
  return sender_;
}

std::shared_ptr<FileSender> HostSession::currentSender() {
  std::lock_guard guard(filesLock_);
  return sender_;
}

awaitable<std::string> HostSession::run() {
  auto self = shared_from_this();
  const auto executor = co_await asio::this_coro::executor;
  {
    std::lock_guard guard(transferHook_->lock);
    transferHook_->hook = onTransfer;
  }
  receiver_ = FileReceiver::make(
      channel_, options_.downloadDirectory ? *options_.downloadDirectory : FileNames::defaultDirectory(), executor, {},
      network_);
  receiver_->setAutoAccept(options_.acceptFiles);
  receiver_->setOnProgress([hook = transferHook_](const TransferProgress& p) { (*hook)(p); });

  std::string reason;
  try {
    reason = co_await serve();
  } catch (...) {
    reason = errorText(std::current_exception());
  }
  co_await tearDown();
  co_return reason;
}

awaitable<std::string> HostSession::serve() {
  const Message first = co_await channel_->receive();
  const auto* hello = first.as<Message::ViewerHello>();
  if (!hello) co_return "Beklenmeyen ilk mesaj";
  codec_ = chooseCodec(hello->codecs);

  channel_->send(Message::HostInfo{PeerOS::linux, static_cast<std::uint8_t>(codec_), options_.name});
  channel_->send(Message::FeaturesMsg{Features{Features::all}});
  auto readDisplays = [video = video_] { return video->displays(); };
  auto displaysTask = videoQueue_->run(std::move(readDisplays));
  std::vector<DisplayInfo> displays = co_await std::move(displaysTask);
  channel_->send(Message::DisplayList{std::move(displays)});

  if (platform_.makeInputSink) injector_ = std::make_unique<InputInjector>(platform_.makeInputSink());
  co_await startCapture();
  auto startTimer = [video = video_] { video->startTimers(video); };
  auto timerTask = videoQueue_->run(std::move(startTimer));
  co_await std::move(timerTask);

  for (;;) {
    const Message message = co_await channel_->receive();
    if (auto sender = currentSender(); sender && sender->handle(message)) continue;
    if (receiver_->handle(message)) {
      co_await receiver_->writeRoom();
      continue;
    }

    if (message.is<Message::MouseMove>() || message.is<Message::MouseButtonMsg>() ||
        message.is<Message::Scroll>() || message.is<Message::Key>()) {
      if (injector_) injector_->handle(message);
    } else if (auto clip = message.as<Message::ClipboardText>()) {
      if (options_.syncClipboard && onClipboard) onClipboard(clip->text);
    } else if (auto ping = message.as<Message::Ping>()) {
      channel_->send(Message::Pong{ping->value});
    } else if (auto bye = message.as<Message::Bye>()) {
      co_return bye->reason.empty() ? std::string("Karşı taraf ayrıldı") : bye->reason;
    } else if (auto features = message.as<Message::FeaturesMsg>()) {
      peerFeatures_ = features->features;
    } else if (auto audio = message.as<Message::SetAudio>()) {
      setAudio(audio->on);
    } else if (auto quality = message.as<Message::SetQuality>()) {
      const Quality q = qualityFromByte(quality->raw);
      if (q != options_.quality) {
        options_.quality = q;
        co_await startCapture();
      }
    } else if (auto display = message.as<Message::SelectDisplay>()) {
      if (display->id != options_.displayID) {
        options_.displayID = display->id;
        co_await startCapture();
      }
    } else if (auto chat = message.as<Message::ChatText>()) {
      if (onChat) onChat(chat->text);
    } else if (message.is<Message::RequestKeyframe>()) {
      videoQueue_->post([weak = std::weak_ptr<Video>(video_)] {
        if (auto video = weak.lock()) video->requestKeyframe();
      });
    }
    // Everything else (a second hello, video and audio messages, unknown types) is ignored.
  }
}

awaitable<void> HostSession::startCapture() {
  auto start = [video = video_, displayID = options_.displayID, quality = options_.quality, codec = codec_] {
    return video->startCapture(video, displayID, quality, codec);
  };
  auto task = videoQueue_->run(std::move(start));
  const CaptureInfo info = co_await std::move(task);
  if (injector_) injector_->displayBounds = info.displayBounds;
  sound_->budget = audioBudget(options_.quality, codec_);
}

void HostSession::setAudio(bool on) {
  soundDeviceQueue().post([sound = sound_, on, quality = options_.quality] {
    if (on) {
      sound->start(quality);
    } else {
      sound->stop();
    }
  });
}

awaitable<void> HostSession::tearDown() {
  if (injector_) injector_->releaseAll();
  receiver_->abandonAll();
  if (auto sender = currentSender()) sender->abandonAll();
  co_await receiver_->settled();  // files whose last chunk came in are saved
  setAudio(false);
  auto stopVideo = [video = video_] { video->tearDown(); };
  auto task = videoQueue_->run(std::move(stopVideo));
  co_await std::move(task);
  channel_->close(std::nullopt);
}

}  // namespace pellora
