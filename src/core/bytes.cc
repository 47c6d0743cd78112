#include "core/bytes.h"

#include <bit>
#include <cstring>

#include <utf8proc.h>

namespace pellora {

bool isValidUTF8(ByteView data) {
  const auto* p = reinterpret_cast<const utf8proc_uint8_t*>(data.data());
  auto left = static_cast<utf8proc_ssize_t>(data.size());
  while (left > 0) {
    // Plain ASCII is by far the common case; skip it without calling into utf8proc.
    if (*p < 0x80) {
      ++p;
      --left;
      continue;
    }
    utf8proc_int32_t cp = 0;
    utf8proc_ssize_t n = utf8proc_iterate(p, left, &cp);
    if (n <= 0 || cp < 0) return false;
    p += n;
    left -= n;
  }
  return true;
}

std::string hexString(ByteView data) {
  static constexpr char digits[] = "0123456789abcdef";
  std::string out;
  out.reserve(2 * data.size());
  for (std::uint8_t b : data) {
    out.push_back(digits[b >> 4]);
    out.push_back(digits[b & 15]);
  }
  return out;
}

void ByteWriter::f32(float v) { u32(std::bit_cast<std::uint32_t>(v)); }

ByteView ByteReader::view(std::size_t n) {
  if (remaining() < n) throw WireError::truncated();
  ByteView v = data_.subspan(offset_, n);
  offset_ += n;
  return v;
}

std::uint64_t ByteReader::integer(std::size_t width) {
  std::uint64_t value = 0;
  for (std::uint8_t b : view(width)) value = value << 8 | b;
  return value;
}

float ByteReader::f32() { return std::bit_cast<float>(u32()); }

std::uint32_t ByteReader::boundedLength(std::uint32_t max) {
  std::uint32_t length = u32();
  if (length > max) throw WireError::tooLarge(length);
  return length;
}

Bytes ByteReader::bytes(std::uint32_t max) { return take(boundedLength(max)); }

std::string ByteReader::string(std::uint32_t max) {
  ByteView body = view(boundedLength(max));
  if (!isValidUTF8(body)) throw WireError::invalid("UTF-8");
  return std::string(reinterpret_cast<const char*>(body.data()), body.size());
}

namespace Framing {

Bytes frame(ByteView payload) {
  ByteWriter w(prefixSize + payload.size());
  w.bytes(payload);
  return std::move(w).data();
}

std::uint32_t payloadLength(ByteView prefix, std::uint32_t max) {
  ByteReader r(prefix);
  std::uint32_t length = r.u32();
  if (length > max) throw WireError::tooLarge(length);
  return length;
}

}  // namespace Framing
}  // namespace pellora
