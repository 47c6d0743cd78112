#pragma once

// The three video presets a viewer chooses from, and every size, rate and budget they imply. Shared by the
// host, the viewer and the settings.

#include <array>
#include <cstdint>
#include <optional>
#include <string_view>
#include <vector>

#include "core/message.h"

namespace pellora {

enum class Quality : std::uint8_t { low = 0, balanced = 1, high = 2 };

inline constexpr std::array<Quality, 3> allQualities = {Quality::low, Quality::balanced, Quality::high};

// The settings' text for a preset ("low", "balanced", "high"), and back.
std::string_view rawValue(Quality q);
std::optional<Quality> qualityFromRawValue(std::string_view raw);
// The byte of `setQuality`: 0 low, 1 balanced, every other value high.
Quality qualityFromByte(std::uint8_t raw);
inline std::uint8_t toByte(Quality q) { return static_cast<std::uint8_t>(q); }
// What the user interface shows.
std::string_view label(Quality q);

struct QualityPreset {
  int h264Bitrate;     // average, bits per second
  int h264Fps;         // capture frame rate with H.264
  int jpegFps;         // capture frame rate with JPEG regions
  int maxDimension;    // largest output side, pixels
  double jpegQuality;  // 0...1
  int audioChannels;
  int audioBitrate;    // bits per second
};
const QualityPreset& preset(Quality q);

int captureFps(Quality q, Codec codec);
// Bytes the channel's send queue may hold before video (audio) is held back.
std::int64_t videoBudget(Quality q, Codec codec);
std::int64_t audioBudget(Quality q, Codec codec);

// The codec for a viewer's preference list of raw codec bytes: the first known one wins; JPEG regions
// when none is known.
Codec chooseCodec(const std::vector<std::uint8_t>& viewerCodecs);

}  // namespace pellora
