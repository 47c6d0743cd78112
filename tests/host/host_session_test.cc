// A host session against a viewer played by the test, with a fake screen, input sink and sound source
// below the platform interfaces.

#include <gtest/gtest.h>

#include <algorithm>
#include <memory>

#include "base/process_queues.h"
#include "host_session_rig.h"

namespace pellora {
namespace {

// The hello and a full send queue are every session's and the hostile peer's business.
using Rig = test::HostSessionRig;

TEST(HostSessionTest, EndReasons) {
  {
    Rig h;
    h.startHost();
    h.peer->send(Message::Ping{1});
    EXPECT_EQ(h.endReason(), "Beklenmeyen ilk mesaj");
    EXPECT_ANY_THROW(h.peer->next());  // nothing was sent, the connection is closed
    EXPECT_EQ(h.screen->startCount(), 0);
  }
  // A goodbye ends with its reason, or with a text of our own when it gives none; capture stops.
  for (const auto& [reason, expected] : {std::pair{"", "Karşı taraf ayrıldı"}, std::pair{"Görüşürüz", "Görüşürüz"}}) {
    Rig h;
    h.hostStarted();
    h.peer->send(Message::Bye{reason});
    EXPECT_EQ(h.endReason(), expected);
    EXPECT_EQ(h.screen->stops, 1);
  }
}

TEST(HostSessionTest, JPEGUpdatesStartFullAfterEveryCaptureRestart) {
  Rig h;
  h.hostStarted({2});
  auto update = [&](std::vector<PixelRect> dirty) {
    EXPECT_TRUE(h.screen->deliver(test::greyFrame(320, 240, std::move(dirty))));
    return h.peer->next<Message::ImageRegions>();
  };
  EXPECT_TRUE(update({{0, 0, 8, 8}}).full);  // the first update covers the frame
  const auto partial = update({{0, 0, 8, 8}});
  EXPECT_FALSE(partial.full);
  ASSERT_EQ(partial.regions.size(), 1u);
  EXPECT_EQ(partial.regions[0].width, 64);
  EXPECT_TRUE(update({}).full);  // no change list: the whole frame

  h.peer->send(Message::SetQuality{7});  // high
  h.peer->sync();
  EXPECT_EQ(h.screen->startCount(), 2);
  EXPECT_EQ(h.screen->lastStart().maxDimension, preset(Quality::high).maxDimension);
  EXPECT_TRUE(update({{0, 0, 8, 8}}).full);

  h.peer->send(Message::SetQuality{2});  // still high: nothing restarts
  h.peer->send(Message::SelectDisplay{0});  // the display in use
  h.peer->sync();
  EXPECT_EQ(h.screen->startCount(), 2);
  EXPECT_FALSE(update({{0, 0, 8, 8}}).full);

  // An id the capturer does not know is its business (it takes the first display); the session goes on.
  h.peer->send(Message::SelectDisplay{0xdeadbeef});
  h.peer->send(Message::SelectDisplay{0xdeadbeef});
  h.peer->sync();
  EXPECT_EQ(h.screen->startCount(), 3);
  EXPECT_EQ(h.screen->lastStart().displayID, 0xdeadbeefu);
  EXPECT_TRUE(update({{0, 0, 8, 8}}).full);

  h.peer->send(Message::RequestKeyframe{});
  EXPECT_TRUE(h.peer->next<Message::ImageRegions>().full);
}

TEST(HostSessionTest, ChangesCapturedFasterThanTheEncoderTakesThemAllReachTheViewer) {
  Rig h;
  h.hostStarted({2});
  ASSERT_TRUE(h.screen->deliver(test::greyFrame(320, 240)));
  EXPECT_TRUE(h.peer->next<Message::ImageRegions>().full);
  // Delivered back to back, most of these wait while the encoder works and merge into fewer updates.
  std::vector<PixelRect> changed;
  for (int i = 0; i < 40; ++i) {
    changed.push_back({(i % 20) * 16, (i / 20) * 128, 8, 8});
    h.screen->deliver(test::greyFrame(320, 240, {changed.back()}));
  }
  auto covered = [](const PixelRect& r, const ImageRegion& g) {
    return r.x >= g.x && r.y >= g.y && r.x + r.width <= g.x + g.width && r.y + r.height <= g.y + g.height;
  };
  while (!changed.empty()) {
    const auto update = h.peer->next<Message::ImageRegions>();
    ASSERT_FALSE(update.full) << "merged change lists stay lists";
    std::erase_if(changed, [&](const PixelRect& r) {
      return std::any_of(update.regions.begin(), update.regions.end(), [&](const auto& g) { return covered(r, g); });
    });
  }
}

TEST(HostSessionTest, H264StartsWithAConfiguredKeyframeAndItsTargetAfterEveryRestart) {
  Rig h;
  h.hostStarted({1});
  std::vector<std::uint32_t> targets;  // the video targets the viewer was told, in order
  auto firstAfter = [&] {
    std::vector<Message> seen;
    while (seen.empty() || !seen.back().is<Message::VideoFrame>()) {
      seen.push_back(h.peer->next());
      if (auto target = seen.back().as<Message::TargetBitrate>()) targets.push_back(target->kbps);
    }
    return seen;
  };
  auto keyframe = [&] {
    auto seen = firstAfter();
    return seen.size() >= 2 && seen[seen.size() - 2].is<Message::VideoConfig>() &&
           seen.back().as<Message::VideoFrame>()->keyframe;
  };
  h.screen->deliver(test::greyFrame(320, 240));
  EXPECT_TRUE(keyframe());
  h.screen->deliver(test::greyFrame(320, 240));
  EXPECT_FALSE(firstAfter().back().as<Message::VideoFrame>()->keyframe);
  h.peer->send(Message::SetQuality{0});
  h.peer->sync();
  EXPECT_EQ(h.screen->lastStart().maxDimension, preset(Quality::low).maxDimension);
  h.screen->deliver(test::greyFrame(320, 240));
  EXPECT_TRUE(keyframe());
  // Each start tells the preset's target first (the new one may wait for the announcement interval).
  while (std::find(targets.begin(), targets.end(), preset(Quality::low).h264Bitrate / 1000) == targets.end())
    targets.push_back(h.peer->next<Message::TargetBitrate>().kbps);
  EXPECT_EQ(targets.front(), preset(Quality::balanced).h264Bitrate / 1000);
}

TEST(HostSessionTest, SoundIsConfiguredOncePerSwitchOn) {
  Rig h;
  h.hostStarted();
  h.peer->send(Message::SetAudio{true});
  h.peer->send(Message::SetAudio{true});
  // The configurations sent once the session handled what came before and the sound queue set it up.
  auto configs = [&] {
    std::vector<Message> messages = h.peer->sync();
    soundDeviceQueue().waitUntilIdle();
    for (Message& m : h.peer->sync()) messages.push_back(std::move(m));
    std::vector<Message::AudioConfig> out;
    for (const auto& m : messages)
      if (auto c = m.as<Message::AudioConfig>()) out.push_back(*c);
    return out;
  };
  auto first = configs();
  ASSERT_EQ(first.size(), 1u);
  EXPECT_EQ(first[0], (Message::AudioConfig{1, 48'000, 2, 20}));

  {
    std::lock_guard guard(h.lock);
    h.audio->deliver(std::vector<float>(2 * 960 * 2, 0.25f));  // two packets' worth
  }
  EXPECT_EQ(h.peer->next<Message::AudioPacket>().ptsMicros, 0u);
  EXPECT_EQ(h.peer->next<Message::AudioPacket>().ptsMicros, 20'000u);

  h.peer->send(Message::SetAudio{false});
  h.peer->send(Message::SetAudio{true});
  EXPECT_EQ(configs().size(), 1u);
}

TEST(HostSessionTest, ClipboardFollowsTheOptionChatAlwaysPasses) {
  for (bool sync : {false, true}) {
    HostSession::Options options;
    options.syncClipboard = sync;
    Rig h;
    h.hostStarted({2}, options);
    h.peer->send(Message::ClipboardText{"kopya"});
    h.peer->send(Message::ChatText{"merhaba"});
    h.peer->sync();
    EXPECT_EQ(h.seen(h.clipboard), sync ? std::vector<std::string>{"kopya"} : std::vector<std::string>{});
    EXPECT_EQ(h.seen(h.chat), std::vector<std::string>{"merhaba"});
  }
}

}  // namespace
}  // namespace pellora
