#pragma once

// The vocabulary host and viewer speak after the handshake: one type byte, then the case's payload.

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <variant>
#include <vector>

#include "core/bytes.h"

namespace pellora {

// Capability bits announced with the `features` message. Unknown bits travel unchanged.
struct Features {
  static constexpr std::uint32_t audio = 1;
  static constexpr std::uint32_t files = 2;
  static constexpr std::uint32_t chat = 4;
  static constexpr std::uint32_t displays = 8;
  static constexpr std::uint32_t quality = 16;
  static constexpr std::uint32_t all = 31;

  std::uint32_t raw = 0;

  bool contains(std::uint32_t bits) const { return (raw & bits) == bits; }
  bool operator==(const Features&) const = default;
};

enum class Codec : std::uint8_t { h264 = 1, jpegRegions = 2 };
std::optional<Codec> codecFromRaw(std::uint8_t raw);

enum class PeerOS : std::uint8_t { unknown = 0, macOS = 1, windows = 2, linux = 3 };
// Every byte that names no known system reads as `unknown`; decoding never fails on it.
PeerOS peerOSFromByte(std::uint8_t raw);
std::string_view label(PeerOS os);

enum class MouseButton : std::uint8_t { left = 0, right = 1, middle = 2 };
std::optional<MouseButton> mouseButtonFromRaw(std::uint8_t raw);

struct DisplayInfo {
  std::uint32_t id = 0;
  std::uint16_t width = 0;
  std::uint16_t height = 0;
  bool primary = false;
  std::string name;
  bool operator==(const DisplayInfo&) const = default;
};

// A pixel rectangle of the remote frame and its JPEG image.
struct ImageRegion {
  std::uint16_t x = 0, y = 0, width = 0, height = 0;
  Bytes jpeg;
  bool operator==(const ImageRegion&) const = default;
};

// Field limits of the catalogue, in bytes (inclusive).
namespace MessageLimits {
inline constexpr std::uint32_t name = 1'048'576;
inline constexpr std::uint32_t parameterSet = 65'536;
inline constexpr std::uint32_t videoData = 33'554'432;
inline constexpr std::uint32_t audioData = 65'536;
inline constexpr std::uint32_t displayName = 256;
inline constexpr std::uint32_t clipboard = 1'048'576;
inline constexpr std::uint32_t text = 4'096;
inline constexpr std::uint32_t fileName = 1'024;
inline constexpr std::uint32_t fileChunk = 262'144;
inline constexpr std::uint32_t sha256 = 32;
}  // namespace MessageLimits

// One message of the peer protocol. Each case is a small struct; `value` holds exactly one of them.
struct Message {
  struct ViewerHello {
    PeerOS os = PeerOS::unknown;
    std::vector<std::uint8_t> codecs;  // raw Codec bytes
    bool operator==(const ViewerHello&) const = default;
  };
  struct HostInfo {
    PeerOS os = PeerOS::unknown;
    std::uint8_t codec = 0;
    std::string name;
    bool operator==(const HostInfo&) const = default;
  };
  struct FeaturesMsg {
    Features features;
    bool operator==(const FeaturesMsg&) const = default;
  };
  struct VideoConfig {
    std::uint8_t codec = 0;
    std::uint32_t width = 0, height = 0;
    std::uint8_t nalLength = 0;
    std::vector<Bytes> parameterSets;
    bool operator==(const VideoConfig&) const = default;
  };
  struct VideoFrame {
    bool keyframe = false;
    std::uint64_t ptsMicros = 0;
    Bytes data;
    bool operator==(const VideoFrame&) const = default;
  };
  struct ImageRegions {
    std::uint32_t width = 0, height = 0;
    bool full = false;
    std::vector<ImageRegion> regions;
    bool operator==(const ImageRegions&) const = default;
  };
  struct RequestKeyframe {
    bool operator==(const RequestKeyframe&) const = default;
  };
  struct AudioConfig {
    std::uint8_t codec = 0;
    std::uint32_t sampleRate = 0;
    std::uint8_t channels = 0;
    std::uint16_t frameMs = 0;
    bool operator==(const AudioConfig&) const = default;
  };
  struct AudioPacket {
    std::uint64_t ptsMicros = 0;
    Bytes data;
    bool operator==(const AudioPacket&) const = default;
  };
  struct SetAudio {
    bool on = false;
    bool operator==(const SetAudio&) const = default;
  };
  struct SetQuality {
    std::uint8_t raw = 0;
    bool operator==(const SetQuality&) const = default;
  };
  struct DisplayList {
    std::vector<DisplayInfo> displays;
    bool operator==(const DisplayList&) const = default;
  };
  struct SelectDisplay {
    std::uint32_t id = 0;
    bool operator==(const SelectDisplay&) const = default;
  };
  // The host's current video bit rate target in kbit/s, sent when it changes. Newer than the other cases:
  // a viewer that predates it reads it as `Unknown` and ignores it, as it ignores every unknown type.
  struct TargetBitrate {
    std::uint32_t kbps = 0;
    bool operator==(const TargetBitrate&) const = default;
  };
  struct MouseMove {
    float x = 0, y = 0;
    bool operator==(const MouseMove&) const = default;
  };
  struct MouseButtonMsg {
    std::uint8_t button = 0;  // raw MouseButton byte
    bool down = false;
    std::uint8_t clicks = 0;
    float x = 0, y = 0;
    bool operator==(const MouseButtonMsg&) const = default;
  };
  struct Scroll {
    float dx = 0, dy = 0;
    bool operator==(const Scroll&) const = default;
  };
  struct Key {
    std::uint16_t hid = 0;
    bool down = false;
    bool operator==(const Key&) const = default;
  };
  struct ClipboardText {
    std::string text;
    bool operator==(const ClipboardText&) const = default;
  };
  struct ChatText {
    std::string text;
    bool operator==(const ChatText&) const = default;
  };
  struct Ping {
    std::uint64_t value = 0;
    bool operator==(const Ping&) const = default;
  };
  struct Pong {
    std::uint64_t value = 0;
    bool operator==(const Pong&) const = default;
  };
  struct Bye {
    std::string reason;
    bool operator==(const Bye&) const = default;
  };
  struct FileOffer {
    std::uint32_t id = 0;
    std::string name;
    std::uint64_t size = 0;
    bool operator==(const FileOffer&) const = default;
  };
  struct FileAccept {
    std::uint32_t id = 0;
    bool operator==(const FileAccept&) const = default;
  };
  struct FileReject {
    std::uint32_t id = 0;
    std::string reason;
    bool operator==(const FileReject&) const = default;
  };
  struct FileChunk {
    std::uint32_t id = 0;
    std::uint64_t offset = 0;
    Bytes data;
    bool operator==(const FileChunk&) const = default;
  };
  struct FileDone {
    std::uint32_t id = 0;
    Bytes sha256;  // exactly 32 bytes
    bool operator==(const FileDone&) const = default;
  };
  struct FileCancel {
    std::uint32_t id = 0;
    std::string reason;
    bool operator==(const FileCancel&) const = default;
  };
  // A type byte this build does not know; sessions ignore it.
  struct Unknown {
    std::uint8_t code = 0;
    bool operator==(const Unknown&) const = default;
  };

  using Value = std::variant<ViewerHello, HostInfo, FeaturesMsg, VideoConfig, VideoFrame, ImageRegions,
                             RequestKeyframe, AudioConfig, AudioPacket, SetAudio, SetQuality, DisplayList,
                             SelectDisplay, TargetBitrate, MouseMove, MouseButtonMsg, Scroll, Key, ClipboardText,
                             ChatText, Ping, Pong, Bye, FileOffer, FileAccept, FileReject, FileChunk, FileDone,
                             FileCancel, Unknown>;

  Value value;

  Message() : value(Unknown{}) {}
  template <typename Case>
    requires std::is_constructible_v<Value, Case&&>
  Message(Case&& c) : value(std::forward<Case>(c)) {}  // NOLINT: a case converts to its message

  template <typename Case>
  const Case* as() const {
    return std::get_if<Case>(&value);
  }
  template <typename Case>
  bool is() const {
    return std::holds_alternative<Case>(value);
  }

  // The type byte of this case (for `Unknown`, the code it carries).
  std::uint8_t type() const;

  Bytes encode() const;
  // Appends the encoding to `out`, so that callers can frame or seal without another copy.
  void encodeInto(ByteWriter& out) const;
  // Throws WireError: `truncated`, `tooLarge(length)`, `invalid("UTF-8")` or `invalid("sha256")`.
  static Message decode(ByteView bytes);

  bool operator==(const Message&) const = default;
};

}  // namespace pellora
