#include "core/quality.h"

namespace pellora {

namespace {

constexpr std::array<QualityPreset, 3> presets = {{
    {3'000'000, 15, 15, 1440, 0.45, 1, 48'000},
    {8'000'000, 30, 15, 1920, 0.6, 2, 96'000},
    {20'000'000, 60, 15, 2880, 0.75, 2, 96'000},
}};

// JPEG regions are bulky and bursty: one generous budget for every preset.
constexpr std::int64_t jpegVideoBudget = 3'145'728;
constexpr std::int64_t jpegAudioBudget = 6'291'456;
// Half a second of video, but never below 256 KiB, so that low rates still carry a keyframe.
constexpr std::int64_t minVideoBudget = 262'144;
constexpr std::int64_t minBudgetBitrate = 4'194'320;

}  // namespace

std::string_view rawValue(Quality q) {
  switch (q) {
    case Quality::low: return "low";
    case Quality::balanced: return "balanced";
    case Quality::high: return "high";
  }
  return "high";
}

std::optional<Quality> qualityFromRawValue(std::string_view raw) {
  for (Quality q : allQualities)
    if (rawValue(q) == raw) return q;
  return std::nullopt;
}

Quality qualityFromByte(std::uint8_t raw) {
  if (raw == 0) return Quality::low;
  if (raw == 1) return Quality::balanced;
  return Quality::high;
}

std::string_view label(Quality q) {
  switch (q) {
    case Quality::low: return "Düşük (yavaş ağ)";
    case Quality::balanced: return "Dengeli";
    case Quality::high: return "Yüksek (yerel ağ)";
  }
  return "Yüksek (yerel ağ)";
}

const QualityPreset& preset(Quality q) { return presets[static_cast<std::size_t>(q)]; }

int captureFps(Quality q, Codec codec) {
  return codec == Codec::h264 ? preset(q).h264Fps : preset(q).jpegFps;
}

std::int64_t videoBudget(Quality q, Codec codec) {
  if (codec == Codec::jpegRegions) return jpegVideoBudget;
  const std::int64_t bitrate = preset(q).h264Bitrate;
  return bitrate < minBudgetBitrate ? minVideoBudget : bitrate / 16;
}

std::int64_t audioBudget(Quality q, Codec codec) {
  if (codec == Codec::jpegRegions) return jpegAudioBudget;
  return 2 * videoBudget(q, codec);
}

Codec chooseCodec(const std::vector<std::uint8_t>& viewerCodecs) {
  for (std::uint8_t raw : viewerCodecs)
    if (auto c = codecFromRaw(raw)) return *c;
  return Codec::jpegRegions;
}

}  // namespace pellora
