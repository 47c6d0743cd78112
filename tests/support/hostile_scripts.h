#pragma once

// What a hostile peer sends, as message sequences: the hostile-peer tests play them against real
// sessions, and the viewer's control fuzzer starts from them.

#include <cstdint>
#include <string>
#include <vector>

#include "core/message.h"

namespace pellora::test::hostile {

inline std::vector<Message> repeated(const Message& message, int count) { return std::vector<Message>(count, message); }

// `count` chat lines of `bytes` bytes each, told apart by their first characters.
inline std::vector<Message> chatFlood(int count, std::size_t bytes = 4000) {
  std::vector<Message> script;
  for (int i = 0; i < count; ++i) {
    std::string line = std::to_string(i) + ":";
    line.resize(bytes, 'x');
    script.push_back(Message::ChatText{std::move(line)});
  }
  return script;
}

// Cancels of transfers nobody started, with ids of the given parity (1: the host's, 0: the viewer's).
inline std::vector<Message> unknownCancels(int count, std::uint32_t parity) {
  std::vector<Message> script;
  for (int i = 0; i < count; ++i)
    script.push_back(Message::FileCancel{static_cast<std::uint32_t>(2 * i) + parity, "x"});
  return script;
}

// Canvas updates far larger than their content: `side` × `side` with a few bytes that are no JPEG, one
// region outside the canvas and one that names all of it.
inline std::vector<Message> oversizedRegions(int count, std::uint32_t side) {
  const auto s = static_cast<std::uint16_t>(side > 0xffff ? 0xffff : side);
  std::vector<Message> script;
  for (int i = 0; i < count; ++i) {
    script.push_back(Message::ImageRegions{side, side, i == 0,
                                           {{0, 0, s, s, Bytes(16, 0xff)},
                                            {static_cast<std::uint16_t>(s - 1), 0, 2, 2, Bytes(16, 0xd8)}}});
  }
  return script;
}

// Sound configurations for every channel count a byte allows to name, the valid ones among them.
inline std::vector<Message> audioConfigs() {
  return {Message::AudioConfig{1, 48'000, 2, 20}, Message::AudioConfig{1, 48'000, 0, 20},
          Message::AudioConfig{1, 48'000, 6, 20}, Message::AudioConfig{1, 48'000, 1, 20}};
}

}  // namespace pellora::test::hostile
