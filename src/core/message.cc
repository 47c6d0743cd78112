#include "core/message.h"

namespace pellora {

std::optional<Codec> codecFromRaw(std::uint8_t raw) {
  if (raw == 1 || raw == 2) return static_cast<Codec>(raw);
  return std::nullopt;
}

PeerOS peerOSFromByte(std::uint8_t raw) {
  if (raw >= 1 && raw <= 3) return static_cast<PeerOS>(raw);
  return PeerOS::unknown;
}

std::string_view label(PeerOS os) {
  switch (os) {
    case PeerOS::macOS: return "macOS";
    case PeerOS::windows: return "Windows";
    case PeerOS::linux: return "Linux";
    case PeerOS::unknown: break;
  }
  return "?";
}

std::optional<MouseButton> mouseButtonFromRaw(std::uint8_t raw) {
  if (raw <= 2) return static_cast<MouseButton>(raw);
  return std::nullopt;
}

namespace {

namespace L = MessageLimits;
using M = Message;

// Type bytes, grouped by their high nibble: setup, screen/audio/display, input, text, keep-alive, goodbye,
// file transfer.
constexpr std::uint8_t typeOf(const M::ViewerHello&) { return 0x01; }
constexpr std::uint8_t typeOf(const M::HostInfo&) { return 0x02; }
constexpr std::uint8_t typeOf(const M::FeaturesMsg&) { return 0x03; }
constexpr std::uint8_t typeOf(const M::VideoConfig&) { return 0x10; }
constexpr std::uint8_t typeOf(const M::VideoFrame&) { return 0x11; }
constexpr std::uint8_t typeOf(const M::ImageRegions&) { return 0x12; }
constexpr std::uint8_t typeOf(const M::RequestKeyframe&) { return 0x13; }
constexpr std::uint8_t typeOf(const M::AudioConfig&) { return 0x14; }
constexpr std::uint8_t typeOf(const M::AudioPacket&) { return 0x15; }
constexpr std::uint8_t typeOf(const M::SetAudio&) { return 0x16; }
constexpr std::uint8_t typeOf(const M::SetQuality&) { return 0x17; }
constexpr std::uint8_t typeOf(const M::DisplayList&) { return 0x18; }
constexpr std::uint8_t typeOf(const M::SelectDisplay&) { return 0x19; }
constexpr std::uint8_t typeOf(const M::TargetBitrate&) { return 0x1A; }
constexpr std::uint8_t typeOf(const M::MouseMove&) { return 0x20; }
constexpr std::uint8_t typeOf(const M::MouseButtonMsg&) { return 0x21; }
constexpr std::uint8_t typeOf(const M::Scroll&) { return 0x22; }
constexpr std::uint8_t typeOf(const M::Key&) { return 0x23; }
constexpr std::uint8_t typeOf(const M::ClipboardText&) { return 0x30; }
constexpr std::uint8_t typeOf(const M::ChatText&) { return 0x31; }
constexpr std::uint8_t typeOf(const M::Ping&) { return 0x40; }
constexpr std::uint8_t typeOf(const M::Pong&) { return 0x41; }
constexpr std::uint8_t typeOf(const M::Bye&) { return 0x50; }
constexpr std::uint8_t typeOf(const M::FileOffer&) { return 0x60; }
constexpr std::uint8_t typeOf(const M::FileAccept&) { return 0x61; }
constexpr std::uint8_t typeOf(const M::FileReject&) { return 0x62; }
constexpr std::uint8_t typeOf(const M::FileChunk&) { return 0x63; }
constexpr std::uint8_t typeOf(const M::FileDone&) { return 0x64; }
constexpr std::uint8_t typeOf(const M::FileCancel&) { return 0x65; }
constexpr std::uint8_t typeOf(const M::Unknown& m) { return m.code; }

// Payload writers, one per case, in the field order of the catalogue.
void put(ByteWriter& w, const M::ViewerHello& m) {
  w.u8(static_cast<std::uint8_t>(m.os));
  w.u8(static_cast<std::uint8_t>(m.codecs.size()));
  w.raw(m.codecs);
}
void put(ByteWriter& w, const M::HostInfo& m) {
  w.u8(static_cast<std::uint8_t>(m.os));
  w.u8(m.codec);
  w.string(m.name);
}
void put(ByteWriter& w, const M::FeaturesMsg& m) { w.u32(m.features.raw); }
void put(ByteWriter& w, const M::VideoConfig& m) {
  w.u8(m.codec);
  w.u32(m.width);
  w.u32(m.height);
  w.u8(m.nalLength);
  w.u8(static_cast<std::uint8_t>(m.parameterSets.size()));
  for (const Bytes& set : m.parameterSets) w.bytes(set);
}
void put(ByteWriter& w, const M::VideoFrame& m) {
  w.u8(m.keyframe ? 1 : 0);
  w.u64(m.ptsMicros);
  w.bytes(m.data);
}
void put(ByteWriter& w, const M::ImageRegions& m) {
  w.u32(m.width);
  w.u32(m.height);
  w.u8(m.full ? 1 : 0);
  w.u16(static_cast<std::uint16_t>(m.regions.size()));
  for (const ImageRegion& r : m.regions) {
    w.u16(r.x);
    w.u16(r.y);
    w.u16(r.width);
    w.u16(r.height);
    w.bytes(r.jpeg);
  }
}
void put(ByteWriter&, const M::RequestKeyframe&) {}
void put(ByteWriter& w, const M::AudioConfig& m) {
  w.u8(m.codec);
  w.u32(m.sampleRate);
  w.u8(m.channels);
  w.u16(m.frameMs);
}
void put(ByteWriter& w, const M::AudioPacket& m) {
  w.u64(m.ptsMicros);
  w.bytes(m.data);
}
void put(ByteWriter& w, const M::SetAudio& m) { w.u8(m.on ? 1 : 0); }
void put(ByteWriter& w, const M::SetQuality& m) { w.u8(m.raw); }
void put(ByteWriter& w, const M::DisplayList& m) {
  w.u8(static_cast<std::uint8_t>(m.displays.size()));
  for (const DisplayInfo& d : m.displays) {
    w.u32(d.id);
    w.u16(d.width);
    w.u16(d.height);
    w.u8(d.primary ? 1 : 0);
    w.string(d.name);
  }
}
void put(ByteWriter& w, const M::SelectDisplay& m) { w.u32(m.id); }
void put(ByteWriter& w, const M::TargetBitrate& m) { w.u32(m.kbps); }
void put(ByteWriter& w, const M::MouseMove& m) {
  w.f32(m.x);
  w.f32(m.y);
}
void put(ByteWriter& w, const M::MouseButtonMsg& m) {
  w.u8(m.button);
  w.u8(m.down ? 1 : 0);
  w.u8(m.clicks);
  w.f32(m.x);
  w.f32(m.y);
}
void put(ByteWriter& w, const M::Scroll& m) {
  w.f32(m.dx);
  w.f32(m.dy);
}
void put(ByteWriter& w, const M::Key& m) {
  w.u16(m.hid);
  w.u8(m.down ? 1 : 0);
}
void put(ByteWriter& w, const M::ClipboardText& m) { w.string(m.text); }
void put(ByteWriter& w, const M::ChatText& m) { w.string(m.text); }
void put(ByteWriter& w, const M::Ping& m) { w.u64(m.value); }
void put(ByteWriter& w, const M::Pong& m) { w.u64(m.value); }
void put(ByteWriter& w, const M::Bye& m) { w.string(m.reason); }
void put(ByteWriter& w, const M::FileOffer& m) {
  w.u32(m.id);
  w.string(m.name);
  w.u64(m.size);
}
void put(ByteWriter& w, const M::FileAccept& m) { w.u32(m.id); }
void put(ByteWriter& w, const M::FileReject& m) {
  w.u32(m.id);
  w.string(m.reason);
}
void put(ByteWriter& w, const M::FileChunk& m) {
  w.u32(m.id);
  w.u64(m.offset);
  w.bytes(m.data);
}
void put(ByteWriter& w, const M::FileDone& m) {
  w.u32(m.id);
  w.bytes(m.sha256);
}
void put(ByteWriter& w, const M::FileCancel& m) {
  w.u32(m.id);
  w.string(m.reason);
}
void put(ByteWriter&, const M::Unknown&) {}

// Rough payload size, so that large media messages are encoded into one allocation.
std::size_t sizeHint(const M::Value& v) {
  if (auto* f = std::get_if<M::VideoFrame>(&v)) return 14 + f->data.size();
  if (auto* c = std::get_if<M::FileChunk>(&v)) return 17 + c->data.size();
  if (auto* a = std::get_if<M::AudioPacket>(&v)) return 13 + a->data.size();
  if (auto* r = std::get_if<M::ImageRegions>(&v)) {
    std::size_t n = 12;
    for (const ImageRegion& region : r->regions) n += 12 + region.jpeg.size();
    return n;
  }
  return 32;
}

// Booleans are true for any non-zero byte; the flag bytes of video frames and image regions use bit 0 only.
bool readBool(ByteReader& r) { return r.u8() != 0; }
bool readFlag(ByteReader& r) { return (r.u8() & 1) != 0; }

Message decodePayload(std::uint8_t type, ByteReader& r) {
  switch (type) {
    case 0x01: {
      M::ViewerHello m;
      m.os = peerOSFromByte(r.u8());
      m.codecs = r.take(r.u8());
      return m;
    }
    case 0x02: {
      M::HostInfo m;
      m.os = peerOSFromByte(r.u8());
      m.codec = r.u8();
      m.name = r.string(L::name);
      return m;
    }
    case 0x03:
      return M::FeaturesMsg{Features{r.u32()}};
    case 0x10: {
      M::VideoConfig m;
      m.codec = r.u8();
      m.width = r.u32();
      m.height = r.u32();
      m.nalLength = r.u8();
      // Lists are read element by element, never sized from the announced count.
      for (int n = r.u8(); n > 0; --n) m.parameterSets.push_back(r.bytes(L::parameterSet));
      return m;
    }
    case 0x11: {
      M::VideoFrame m;
      m.keyframe = readFlag(r);
      m.ptsMicros = r.u64();
      m.data = r.bytes(L::videoData);
      return m;
    }
    case 0x12: {
      M::ImageRegions m;
      m.width = r.u32();
      m.height = r.u32();
      m.full = readFlag(r);
      for (int n = r.u16(); n > 0; --n) {
        ImageRegion region;
        region.x = r.u16();
        region.y = r.u16();
        region.width = r.u16();
        region.height = r.u16();
        region.jpeg = r.bytes(L::videoData);
        m.regions.push_back(std::move(region));
      }
      return m;
    }
    case 0x13:
      return M::RequestKeyframe{};
    case 0x14: {
      M::AudioConfig m;
      m.codec = r.u8();
      m.sampleRate = r.u32();
      m.channels = r.u8();
      m.frameMs = r.u16();
      return m;
    }
    case 0x15: {
      M::AudioPacket m;
      m.ptsMicros = r.u64();
      m.data = r.bytes(L::audioData);
      return m;
    }
    case 0x16:
      return M::SetAudio{readBool(r)};
    case 0x17:
      return M::SetQuality{r.u8()};
    case 0x18: {
      M::DisplayList m;
      for (int n = r.u8(); n > 0; --n) {
        DisplayInfo d;
        d.id = r.u32();
        d.width = r.u16();
        d.height = r.u16();
        d.primary = readBool(r);
        d.name = r.string(L::displayName);
        m.displays.push_back(std::move(d));
      }
      return m;
    }
    case 0x19:
      return M::SelectDisplay{r.u32()};
    case 0x1A:
      return M::TargetBitrate{r.u32()};
    case 0x20: {
      M::MouseMove m;
      m.x = r.f32();
      m.y = r.f32();
      return m;
    }
    case 0x21: {
      M::MouseButtonMsg m;
      m.button = r.u8();
      m.down = readBool(r);
      m.clicks = r.u8();
      m.x = r.f32();
      m.y = r.f32();
      return m;
    }
    case 0x22: {
      M::Scroll m;
      m.dx = r.f32();
      m.dy = r.f32();
      return m;
    }
    case 0x23: {
      M::Key m;
      m.hid = r.u16();
      m.down = readBool(r);
      return m;
    }
    case 0x30:
      return M::ClipboardText{r.string(L::clipboard)};
    case 0x31:
      return M::ChatText{r.string(L::text)};
    case 0x40:
      return M::Ping{r.u64()};
    case 0x41:
      return M::Pong{r.u64()};
    case 0x50:
      return M::Bye{r.string(L::text)};
    case 0x60: {
      M::FileOffer m;
      m.id = r.u32();
      m.name = r.string(L::fileName);
      m.size = r.u64();
      return m;
    }
    case 0x61:
      return M::FileAccept{r.u32()};
    case 0x62: {
      M::FileReject m;
      m.id = r.u32();
      m.reason = r.string(L::text);
      return m;
    }
    case 0x63: {
      M::FileChunk m;
      m.id = r.u32();
      m.offset = r.u64();
      m.data = r.bytes(L::fileChunk);
      return m;
    }
    case 0x64: {
      M::FileDone m;
      m.id = r.u32();
      m.sha256 = r.bytes(L::sha256);
      if (m.sha256.size() != L::sha256) throw WireError::invalid("sha256");
      return m;
    }
    case 0x65: {
      M::FileCancel m;
      m.id = r.u32();
      m.reason = r.string(L::text);
      return m;
    }
    default:
      return M::Unknown{type};
  }
}

}  // namespace

std::uint8_t Message::type() const {
  return std::visit([](const auto& m) { return typeOf(m); }, value);
}

void Message::encodeInto(ByteWriter& out) const {
  std::visit(
      [&out](const auto& m) {
        out.u8(typeOf(m));
        put(out, m);
      },
      value);
}

Bytes Message::encode() const {
  ByteWriter w(sizeHint(value));
  encodeInto(w);
  return std::move(w).data();
}

Message Message::decode(ByteView bytes) {
  ByteReader r(bytes);
  std::uint8_t type = r.u8();
  // Trailing bytes after the last field are ignored.
  return decodePayload(type, r);
}

}  // namespace pellora
