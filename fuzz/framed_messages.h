#pragma once

// The input format of the fuzz targets that take message sequences: a run of chunks, each a 2-byte
// big-endian length and that many bytes of one encoded message. Chunks that do not decode are skipped;
// a short tail is ignored. The seed writers frame their messages the same way.

#include <cstdint>
#include <fstream>
#include <string>
#include <vector>

#include "core/message.h"
#include "core/wire_error.h"

namespace pellora::fuzz {

inline std::vector<Message> readFramed(const std::uint8_t* data, std::size_t size) {
  std::vector<Message> messages;
  std::size_t at = 0;
  while (size - at >= 2) {
    const std::size_t length = std::size_t{data[at]} << 8 | data[at + 1];
    at += 2;
    if (length > size - at) break;
    try {
      messages.push_back(Message::decode(ByteView(data + at, length)));
    } catch (const WireError&) {
    }
    at += length;
  }
  return messages;
}

// False when a message is too long to frame or the file cannot be written.
inline bool writeFramed(const std::string& path, const std::vector<Message>& messages) {
  std::vector<char> bytes;
  for (const Message& m : messages) {
    const Bytes encoded = m.encode();
    if (encoded.size() > 0xffff) return false;
    bytes.push_back(static_cast<char>(encoded.size() >> 8));
    bytes.push_back(static_cast<char>(encoded.size()));
    bytes.insert(bytes.end(), encoded.begin(), encoded.end());
  }
  std::ofstream file(path, std::ios::binary | std::ios::trunc);
  file.write(bytes.data(), static_cast<std::streamsize>(bytes.size()));
  return static_cast<bool>(file);
}

}  // namespace pellora::fuzz
