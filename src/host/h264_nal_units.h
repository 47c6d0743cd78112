#pragma once

// Splitting H.264 access units into NAL units, whichever layout an encoder chose.

#include <vector>

#include "core/bytes.h"

namespace pellora {

inline constexpr int nalTypeSPS = 7;
inline constexpr int nalTypePPS = 8;

// The NAL units of an Annex B byte stream (start codes). The views point into `stream`.
std::vector<ByteView> annexBUnits(ByteView stream);
// The NAL units of an AVCC sample with `nalLength`-byte big-endian length prefixes (1, 2 or 4); empty
// when the layout is malformed. The views point into `sample`.
std::vector<ByteView> lengthPrefixedUnits(ByteView sample, int nalLength);

// An encoder's global header: an avcC record (its first byte is 1; its packets are then length-prefixed)
// or Annex B parameter sets.
struct H264Extradata {
  int nalLength = 0;  // 0 for Annex B
  std::vector<Bytes> parameterSets;
};
H264Extradata parseExtradata(ByteView extradata);

}  // namespace pellora
