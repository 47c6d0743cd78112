#pragma once

// The big-endian byte codec every Pellora format is built with, and the frame rule.

#include <cstddef>
#include <cstdint>
#include <span>
#include <string>
#include <string_view>
#include <vector>

#include "core/wire_error.h"

namespace pellora {

using Bytes = std::vector<std::uint8_t>;
using ByteView = std::span<const std::uint8_t>;

inline ByteView asBytes(std::string_view s) {
  return {reinterpret_cast<const std::uint8_t*>(s.data()), s.size()};
}

// Lower-case hexadecimal digits of `data`, two per byte.
std::string hexString(ByteView data);

// True when `data` is well-formed UTF-8 (no overlong forms, surrogates or code points above U+10FFFF).
bool isValidUTF8(ByteView data);

// Appends big-endian fields to a growing buffer. A plain value; one owner at a time.
class ByteWriter {
 public:
  ByteWriter() = default;
  explicit ByteWriter(std::size_t reserve) { data_.reserve(reserve); }

  void u8(std::uint8_t v) { data_.push_back(v); }
  void u16(std::uint16_t v) { put(v, 2); }
  void u32(std::uint32_t v) { put(v, 4); }
  void u64(std::uint64_t v) { put(v, 8); }
  void f32(float v);
  void raw(ByteView d) { data_.insert(data_.end(), d.begin(), d.end()); }
  // u32 length, then the bytes. Callers keep every field far below 4 GiB.
  void bytes(ByteView d) {
    u32(static_cast<std::uint32_t>(d.size()));
    raw(d);
  }
  // The UTF-8 bytes written as `bytes` (byte count, not character count; no terminator).
  void string(std::string_view s) { bytes(asBytes(s)); }

  const Bytes& data() const& { return data_; }
  Bytes data() && { return std::move(data_); }

 private:
  void put(std::uint64_t v, int width) {
    for (int shift = (width - 1) * 8; shift >= 0; shift -= 8) data_.push_back(static_cast<std::uint8_t>(v >> shift));
  }

  Bytes data_;
};

// Consumes big-endian fields from a buffer it does not own; the buffer must outlive the reader. Every
// operation either consumes its field or throws a WireError; a reader that threw is not read further.
class ByteReader {
 public:
  explicit ByteReader(ByteView data) : data_(data) {}

  std::size_t offset() const { return offset_; }
  std::size_t remaining() const { return data_.size() - offset_; }
  bool isAtEnd() const { return offset_ == data_.size(); }

  // The next n bytes as an independent buffer.
  Bytes take(std::size_t n) {
    ByteView v = view(n);
    return Bytes(v.begin(), v.end());
  }
  // The next n bytes without copying; valid as long as the underlying buffer.
  ByteView view(std::size_t n);

  std::uint8_t u8() { return static_cast<std::uint8_t>(integer(1)); }
  std::uint16_t u16() { return static_cast<std::uint16_t>(integer(2)); }
  std::uint32_t u32() { return static_cast<std::uint32_t>(integer(4)); }
  std::uint64_t u64() { return integer(8); }
  float f32();
  // u32 length (consumed even when it is refused), then that many bytes; `tooLarge` above `max`.
  Bytes bytes(std::uint32_t max);
  // As `bytes`, then strict UTF-8 validation (`invalid("UTF-8")`; prefix and body stay consumed).
  std::string string(std::uint32_t max);

 private:
  std::uint64_t integer(std::size_t width);
  std::uint32_t boundedLength(std::uint32_t max);

  ByteView data_;
  std::size_t offset_ = 0;
};

namespace Framing {
// The largest payload a frame may announce (32 MiB); the bound is inclusive.
inline constexpr std::uint32_t maxFrame = 33'554'432;
inline constexpr std::size_t prefixSize = 4;

// u32 big-endian payload length, then the payload.
Bytes frame(ByteView payload);
// Reads a 4-byte prefix; throws `tooLarge` when it announces more than `max` (a reader may take less than
// `maxFrame` where it knows the largest valid payload).
std::uint32_t payloadLength(ByteView prefix, std::uint32_t max = maxFrame);
}  // namespace Framing

}  // namespace pellora
