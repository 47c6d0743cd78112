#include "cli/viewer_stats.h"

#include <gtest/gtest.h>
#include <libyuv.h>

#include <boost/json.hpp>

#include "host/frame_stamp.h"

namespace pellora::cli {
namespace {

namespace json = boost::json;

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

TEST(ViewerStatsTest, PercentilesAreNearestRank) {
  std::vector<double> values;
  for (int i = 100; i >= 1; --i) values.push_back(i);
  EXPECT_EQ(percentile(values, 50), 50);
  EXPECT_EQ(percentile(values, 95), 95);
  EXPECT_EQ(percentile({7}, 95), 7);
  EXPECT_EQ(percentile({3, 1}, 50), 1);
  EXPECT_FALSE(percentile({}, 50));
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
  const std::string line = stats.second(state);
  EXPECT_EQ(line, "os=Linux latency=4ms path=2950kbps fps=30 kbps=1200 codec=h264 g2g=30ms");
  // The next second has no new stamped picture: no glass-to-glass figure on its line.
  state.fps = 20;
  state.kbps = 800;
  state.latencyMs.reset();
  state.pathKbps.reset();
  EXPECT_EQ(stats.second(state), "os=Linux latency=- fps=20 kbps=800 codec=h264");

  auto document = summary(stats, state);
  EXPECT_EQ(document.at("pictures").as_int64(), 4);
  EXPECT_EQ(document.at("frames").as_int64(), 50);
  EXPECT_EQ(document.at("seconds").to_number<std::int64_t>(), 2);
  EXPECT_DOUBLE_EQ(document.at("meanFps").as_double(), 25);
  EXPECT_DOUBLE_EQ(document.at("meanKbps").as_double(), 1000);
  EXPECT_DOUBLE_EQ(document.at("pathKbps").at("p50").as_double(), 2950);
  const auto& g2g = document.at("glassToGlassMs").as_object();
  EXPECT_EQ(g2g.at("samples").to_number<std::int64_t>(), 2);
  EXPECT_DOUBLE_EQ(g2g.at("p50").as_double(), 30);
  EXPECT_DOUBLE_EQ(g2g.at("p95").as_double(), 50);
  EXPECT_DOUBLE_EQ(document.at("firstPictureAfterMs").as_double(), 1030);
  EXPECT_NEAR(document.at("pictureFps").as_double(), 3 / 0.053, 1e-9);  // 4 pictures from 2.030 s to 2.083 s
  EXPECT_DOUBLE_EQ(document.at("latencyMs").at("p50").as_double(), 4);
}

}  // namespace
}  // namespace pellora::cli
