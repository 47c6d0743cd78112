#include "host/h264_nal_units.h"

namespace pellora {

namespace {

bool startCodeAt(ByteView d, std::size_t i) { return d[i] == 0 && d[i + 1] == 0 && d[i + 2] == 1; }

bool isParameterSet(ByteView unit) {
  const int type = unit[0] & 0x1f;
  return type == nalTypeSPS || type == nalTypePPS;
}

}  // namespace

std::vector<ByteView> annexBUnits(ByteView d) {
  std::vector<ByteView> units;
  std::size_t begin = 0;
  bool inUnit = false;
  auto close = [&](std::size_t end) {
    // Zero bytes before a start code belong to it (4-byte codes, trailing_zero_8bits); a NAL unit never
    // ends in a zero byte.
    while (end > begin && d[end - 1] == 0) --end;
    if (inUnit && end > begin) units.push_back(d.subspan(begin, end - begin));
  };
  for (std::size_t i = 0; i + 3 <= d.size();) {
    if (startCodeAt(d, i)) {
      close(i);
      begin = i + 3;
      inUnit = true;
      i += 3;
    } else {
      // No start code can begin at i, i + 1 or i + 2 when the third byte is above 1.
      i += d[i + 2] > 1 ? 3 : 1;
    }
  }
  close(d.size());
  return units;
}

std::vector<ByteView> lengthPrefixedUnits(ByteView d, int nalLength) {
  if (nalLength != 1 && nalLength != 2 && nalLength != 4) return {};
  const auto prefix = static_cast<std::size_t>(nalLength);
  std::vector<ByteView> units;
  std::size_t i = 0;
  while (i < d.size()) {
    if (d.size() - i < prefix) return {};
    std::size_t n = 0;
    for (std::size_t k = 0; k < prefix; ++k) n = (n << 8) | d[i + k];
    i += prefix;
    if (n == 0 || n > d.size() - i) return {};
    units.push_back(d.subspan(i, n));
    i += n;
  }
  return units;
}

H264Extradata parseExtradata(ByteView extradata) {
  H264Extradata out;
  if (extradata.empty()) return out;
  if (extradata[0] != 1) {
    for (ByteView unit : annexBUnits(extradata))
      if (isParameterSet(unit)) out.parameterSets.emplace_back(unit.begin(), unit.end());
    return out;
  }
  // avcC: version, profile, compatibility, level, length size - 1, then the counted SPS and PPS lists.
  try {
    ByteReader r(extradata);
    r.view(4);
    out.nalLength = (r.u8() & 3) + 1;
    for (int list = 0; list < 2; ++list) {
      const int count = list == 0 ? (r.u8() & 0x1f) : r.u8();
      for (int i = 0; i < count; ++i) {
        const ByteView set = r.view(r.u16());
        if (!set.empty()) out.parameterSets.emplace_back(set.begin(), set.end());
      }
    }
  } catch (const WireError&) {
    // Keep the sets that were complete.
  }
  return out;
}

}  // namespace pellora
