#include "core/opus_codec.h"

#include <gtest/gtest.h>

#include "support/opus_packets.h"

namespace pellora {
namespace {

using test::amplitudeAt;
using test::tone;
using test::zeroCrossingHz;

constexpr std::size_t kFrame = Opus::frameSize;

std::vector<float> decodeAll(OpusDecoder& decoder, const std::vector<Bytes>& packets) {
  std::vector<float> out;
  for (const Bytes& p : packets) {
    const auto samples = decoder.decode(p);
    EXPECT_EQ(samples.size(), kFrame * decoder.channels());
    out.insert(out.end(), samples.begin(), samples.end());
  }
  return out;
}

// The low preset's mono setting; stereo at 96 kbit/s, channels kept apart, is the sound server test's
// (encoded as the host does, played as the viewer does, heard on the sink's monitor).
TEST(OpusCodec, MonoSineComesBackWithItsFrequency) {
  OpusEncoder encoder(1, 48'000);
  OpusDecoder decoder(1);
  const auto packets = encoder.encode(tone({440}, 25 * kFrame));
  ASSERT_EQ(packets.size(), 25u);
  for (const Bytes& p : packets) EXPECT_LE(p.size(), 4000u);
  const auto decoded = decodeAll(decoder, packets);
  // Skip the codec's start-up (lookahead and the first packet's ramp).
  const std::span<const float> steady = std::span(decoded).subspan(2 * kFrame);
  EXPECT_NEAR(zeroCrossingHz(steady), 440, 440.0 / 200);
  EXPECT_NEAR(amplitudeAt(steady, 440), 0.5, 0.05);
}

TEST(OpusEncoder, PacketsDoNotDependOnHowTheSamplesWereSplit) {
  // Any loss, duplication or reordering of pending samples changes the encoded stream.
  const auto samples = tone({440, 660}, 8 * kFrame);
  OpusEncoder whole(2, 96'000), pieces(2, 96'000);
  const auto expected = whole.encode(samples);
  std::vector<Bytes> got;
  std::size_t at = 0;
  for (std::size_t step : {1u, 959u, 1u, 1200u, 2u, 2880u, 7u, 1500u}) {
    const std::size_t count = std::min(step * 2, samples.size() - at);
    for (Bytes& p : pieces.encode(std::span(samples).subspan(at, count))) got.push_back(std::move(p));
    at += count;
  }
  for (Bytes& p : pieces.encode(std::span(samples).subspan(at))) got.push_back(std::move(p));
  EXPECT_EQ(got, expected);
}

TEST(OpusEncoder, RejectsWhatTheLibraryCannotDo) {
  try {
    OpusEncoder encoder(3, 96'000);
    FAIL() << "three channels accepted";
  } catch (const OpusError& e) {
    EXPECT_EQ(e, OpusError::converter(OPUS_BAD_ARG));
    EXPECT_EQ(e.description(), "Opus hatası -1: invalid argument");
  }
  EXPECT_THROW(OpusEncoder(2, 0), OpusError);
  EXPECT_THROW(OpusDecoder(0), OpusError);
  // The largest unsigned rate must not wrap into one of the library's negative special values.
  OpusEncoder huge(2, 0x8000'0000);
  EXPECT_EQ(huge.encode(tone({440, 440}, kFrame)).size(), 1u);
}

TEST(OpusDecoder, BadOrOversizedPacketsGiveNothing) {
  OpusDecoder decoder(2);
  EXPECT_TRUE(decoder.decode({}).empty());
  // A 40 ms packet would not fit one frame; a 10 ms one is shorter than a frame and passes through.
  EXPECT_TRUE(decoder.decode(test::RawOpusPackets({440, 440}, 2 * kFrame).next()).empty());
  EXPECT_EQ(decoder.decode(test::RawOpusPackets({440, 440}, kFrame / 2).next()).size(), kFrame);
  // Code 3 packet whose frame count byte claims more frames than the packet holds.
  EXPECT_TRUE(decoder.decode(Bytes{0xfb, 0x3f}).empty());
  // A mono packet plays on a stereo decoder (the library duplicates it).
  EXPECT_EQ(decoder.decode(test::RawOpusPackets({440}, kFrame).next()).size(), 2 * kFrame);
}

}  // namespace
}  // namespace pellora
