// What the command line reports: the host's status file, a session's chat lines and the headless viewer's
// figures.

#include <gtest/gtest.h>
#include <libyuv.h>

#include <boost/json.hpp>

#include "cli/host_status.h"
#include "cli/session_lines.h"
#include "cli/viewer_stats.h"
#include "host/frame_stamp.h"

namespace pellora::cli {
namespace {

namespace json = boost::json;
using R = HostService::RelayState;

TEST(HostStatusTest, JsonShowsTheRelayIdButNeverItsSecretAndTheNewestEvents) {
  HostStatus status;
  HostService::State state;
  state.relayState.value = R::Online{RelayIdentity{"123456789", "s3cret"}};
  state.active = HostService::ActiveSession{"id-1", "ayşe", "internet (relay)", std::chrono::system_clock::from_time_t(1700000000)};
  status.update(state);
  const std::string text = status.json({}, 0);
  EXPECT_EQ(text.find("s3cret"), std::string::npos);
  // (The process test through the relay reads the state, the id and its display form.)
  auto document = json::parse(text).as_object();
  EXPECT_EQ(document.at("active").at("peerName").as_string(), "ayşe");
  EXPECT_EQ(document.at("active").at("address").as_string(), "internet (relay)");
  EXPECT_EQ(document.at("active").at("since").as_int64(), 1700000000);

  // The event list keeps the newest.
  for (std::size_t i = 0; i < HostStatus::maxEvents + 5; ++i) {
    state.lastEvent = "event " + std::to_string(i);
    status.update(state);
  }
  auto events = json::parse(status.json({}, 0)).at("events").as_array();
  ASSERT_EQ(events.size(), HostStatus::maxEvents);
  EXPECT_EQ(events.front().as_string(), "event 5");
}

TEST(SessionLinesTest, ChatLinesFromThePeerOnlyOnce) {
  ChatHistory before{{"a", false, "merhaba", {}}};
  ChatHistory now = before;
  now.push_back({"b", true, "my own line", {}});
  now.push_back({"c", false, "nasılsın", {}});
  EXPECT_EQ(chatLines(before, now), (std::vector<std::string>{"Chat: nasılsın"}));
  // A new session's list starts afresh: its lines are new even where the old list was longer.
  EXPECT_EQ(chatLines(now, {{"d", false, "yeni", {}}}), (std::vector<std::string>{"Chat: yeni"}));
}

// A decoded picture as the renderer hands it over: BGRA, carrying `stamp` when given.
Picture picture(std::optional<FrameStamp> stamp, std::int64_t decodedMicros) {
  auto frame = I420Frame::allocate(640, 360);
  std::fill(frame->y.begin(), frame->y.end(), 90);
  std::fill(frame->u.begin(), frame->u.end(), 128);
  std::fill(frame->v.begin(), frame->v.end(), 128);
  if (stamp) stamp->draw(*frame);
  Picture p{640, 360, 640 * 4, std::vector<std::uint8_t>(640 * 360 * 4), decodedMicros};
  libyuv::I420ToARGB(frame->y.data(), frame->strideY, frame->u.data(), frame->strideU, frame->v.data(),
                     frame->strideV, p.bgra.data(), p.stride, 640, 360);
  return p;
}

json::object summary(const ViewerStats& stats, const ViewerSession::State& state) {
  return json::parse(stats.summaryJSON(state)).as_object();
}

TEST(ViewerStatsTest, GlassToGlassCountsEachStampedFrameOnce) {
  ViewerStats stats(1'000'000);
  stats.picture(picture(FrameStamp{7, 2'000'000}, 2'030'000));
  // The same frame again (a repaint of an unchanged stamp) and a picture without a stamp: no new sample.
  stats.picture(picture(FrameStamp{7, 2'000'000}, 2'090'000));
  stats.picture(picture(std::nullopt, 2'100'000));
  stats.picture(picture(FrameStamp{8, 2'033'000}, 2'083'000));

  ViewerSession::State state;
  state.phase = ViewerSession::Connected{};
  state.fps = 30;
  state.kbps = 1200;
  state.codec = Codec::h264;
  state.latencyMs = 4;
  state.remoteOS = PeerOS::linux;
  state.pathKbps = 2950;
  state.targetKbps = 8000;
  const std::string line = stats.second(state);
  EXPECT_EQ(line, "os=Linux latency=4ms target=8000kbps path=2950kbps fps=30 kbps=1200 codec=h264 g2g=30ms");
  // The next second has no new stamped picture: no glass-to-glass figure on its line.
  state.fps = 20;
  state.kbps = 800;
  state.latencyMs.reset();
  state.pathKbps.reset();
  state.targetKbps.reset();
  EXPECT_EQ(stats.second(state), "os=Linux latency=- fps=20 kbps=800 codec=h264");

  auto document = summary(stats, state);
  EXPECT_EQ(document.at("pictures").as_int64(), 4);
  EXPECT_DOUBLE_EQ(document.at("targetKbps").at("p50").as_double(), 8000);
  const auto& g2g = document.at("glassToGlassMs").as_object();
  EXPECT_EQ(g2g.at("samples").to_number<std::int64_t>(), 2);
  EXPECT_DOUBLE_EQ(g2g.at("p50").as_double(), 30);
  EXPECT_DOUBLE_EQ(g2g.at("p95").as_double(), 50);
  EXPECT_DOUBLE_EQ(document.at("firstPictureAfterMs").as_double(), 1030);
  EXPECT_NEAR(document.at("pictureFps").as_double(), 3 / 0.053, 1e-9);  // 4 pictures from 2.030 s to 2.083 s
}

}  // namespace
}  // namespace pellora::cli
