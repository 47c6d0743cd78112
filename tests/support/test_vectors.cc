#include "support/test_vectors.h"

#include <fstream>
#include <sstream>
#include <stdexcept>

#include "support/hex.h"

namespace pellora::test {

namespace json = boost::json;

const json::object& wireVectors() {
  static const json::object vectors = [] {
    std::ifstream in(std::string(PELLORA_TEST_DATA_DIR) + "/wire-vectors.json");
    if (!in) throw std::runtime_error("wire-vectors.json is missing");
    std::stringstream text;
    text << in.rdbuf();
    return json::parse(text.str()).as_object();
  }();
  return vectors;
}

namespace {

// A hex string, or an object with a "hex" member.
Bytes hexField(const json::value& v) {
  if (v.is_string()) return fromHex(v.as_string());
  return fromHex(v.at("hex").as_string());
}

template <typename T>
T num(const json::object& o, const char* key) {
  return json::value_to<T>(o.at(key));
}
std::string str(const json::object& o, const char* key) { return json::value_to<std::string>(o.at(key)); }
bool flag(const json::object& o, const char* key) { return o.at(key).as_bool(); }
float real(const json::object& o, const char* key) { return static_cast<float>(o.at(key).to_number<double>()); }

}  // namespace

Message messageFromJson(const json::object& o) {
  using M = Message;
  const std::string type = str(o, "type");
  if (type == "viewerHello") {
    M::ViewerHello m{peerOSFromByte(num<std::uint8_t>(o, "os")), {}};
    for (const auto& c : o.at("codecs").as_array()) m.codecs.push_back(json::value_to<std::uint8_t>(c));
    return m;
  }
  if (type == "hostInfo")
    return M::HostInfo{peerOSFromByte(num<std::uint8_t>(o, "os")), num<std::uint8_t>(o, "codec"), str(o, "name")};
  if (type == "features") return M::FeaturesMsg{Features{num<std::uint32_t>(o, "raw")}};
  if (type == "videoConfig") {
    M::VideoConfig m{num<std::uint8_t>(o, "codec"), num<std::uint32_t>(o, "width"), num<std::uint32_t>(o, "height"),
                     num<std::uint8_t>(o, "nal_length"), {}};
    for (const auto& set : o.at("parameter_sets").as_array()) m.parameterSets.push_back(hexField(set));
    return m;
  }
  if (type == "videoFrame")
    return M::VideoFrame{flag(o, "keyframe"), num<std::uint64_t>(o, "pts_micros"), hexField(o.at("data"))};
  if (type == "imageRegions") {
    M::ImageRegions m{num<std::uint32_t>(o, "width"), num<std::uint32_t>(o, "height"), flag(o, "full"), {}};
    for (const auto& rv : o.at("regions").as_array()) {
      const auto& r = rv.as_object();
      m.regions.push_back({num<std::uint16_t>(r, "x"), num<std::uint16_t>(r, "y"), num<std::uint16_t>(r, "width"),
                           num<std::uint16_t>(r, "height"), hexField(r.at("jpeg"))});
    }
    return m;
  }
  if (type == "requestKeyframe") return M::RequestKeyframe{};
  if (type == "audioConfig")
    return M::AudioConfig{num<std::uint8_t>(o, "codec"), num<std::uint32_t>(o, "sample_rate"),
                          num<std::uint8_t>(o, "channels"), num<std::uint16_t>(o, "frame_ms")};
  if (type == "audioPacket") return M::AudioPacket{num<std::uint64_t>(o, "pts_micros"), hexField(o.at("data"))};
  if (type == "setAudio") return M::SetAudio{flag(o, "on")};
  if (type == "setQuality") return M::SetQuality{num<std::uint8_t>(o, "raw")};
  if (type == "displayList") {
    M::DisplayList m;
    for (const auto& dv : o.at("displays").as_array()) {
      const auto& d = dv.as_object();
      m.displays.push_back({num<std::uint32_t>(d, "id"), num<std::uint16_t>(d, "width"),
                            num<std::uint16_t>(d, "height"), flag(d, "primary"), str(d, "name")});
    }
    return m;
  }
  if (type == "selectDisplay") return M::SelectDisplay{num<std::uint32_t>(o, "id")};
  if (type == "mouseMove") return M::MouseMove{real(o, "x"), real(o, "y")};
  if (type == "mouseButton")
    return M::MouseButtonMsg{num<std::uint8_t>(o, "button"), flag(o, "down"), num<std::uint8_t>(o, "clicks"),
                             real(o, "x"), real(o, "y")};
  if (type == "scroll") return M::Scroll{real(o, "dx"), real(o, "dy")};
  if (type == "key") return M::Key{num<std::uint16_t>(o, "hid"), flag(o, "down")};
  if (type == "clipboardText") return M::ClipboardText{str(o, "text")};
  if (type == "chatText") return M::ChatText{str(o, "text")};
  if (type == "ping") return M::Ping{num<std::uint64_t>(o, "value")};
  if (type == "pong") return M::Pong{num<std::uint64_t>(o, "value")};
  if (type == "bye") return M::Bye{str(o, "reason")};
  if (type == "fileOffer") return M::FileOffer{num<std::uint32_t>(o, "id"), str(o, "name"), num<std::uint64_t>(o, "size")};
  if (type == "fileAccept") return M::FileAccept{num<std::uint32_t>(o, "id")};
  if (type == "fileReject") return M::FileReject{num<std::uint32_t>(o, "id"), str(o, "reason")};
  if (type == "fileChunk")
    return M::FileChunk{num<std::uint32_t>(o, "id"), num<std::uint64_t>(o, "offset"), hexField(o.at("data"))};
  if (type == "fileDone") return M::FileDone{num<std::uint32_t>(o, "id"), hexField(o.at("sha256"))};
  if (type == "fileCancel") return M::FileCancel{num<std::uint32_t>(o, "id"), str(o, "reason")};
  if (type == "unknown") return M::Unknown{num<std::uint8_t>(o, "code")};
  throw std::invalid_argument("unknown message type in vectors: " + type);
}

}  // namespace pellora::test
