#include "core/spake2_hello.h"

#include <algorithm>

namespace pellora {

namespace {

constexpr std::uint8_t uncompressedPoint = 0x04;

Bytes takeShare(ByteReader& r) {
  Bytes share = r.take(Spake2::shareSize);
  if (share[0] != uncompressedPoint) throw WireError::invalid("genel anahtar");
  return share;
}

}  // namespace

bool Spake2Hello::isAskedFor(const Hello& client) {
  return client.nonce.size() >= clientMarker.size() &&
         std::equal(clientMarker.begin(), clientMarker.end(), client.nonce.begin());
}

Bytes Spake2Hello::encode() const {
  ByteWriter w(maxSize);
  w.raw(Hello::magic);
  w.u8(version);
  w.u8(static_cast<std::uint8_t>(os));
  w.raw(salt);
  w.u32(iterations);
  w.u8(static_cast<std::uint8_t>(shares.size()));
  for (const Bytes& share : shares) w.raw(share);
  w.string(name);
  return std::move(w).data();
}

Spake2Hello Spake2Hello::decode(ByteView data) {
  ByteReader r(data);
  const std::uint8_t v = Hello::readHeader(r);
  if (v != version) throw WireError::unsupportedVersion(v);
  Spake2Hello hello;
  hello.os = peerOSFromByte(r.u8());
  hello.salt = r.take(Hello::saltSize);
  hello.iterations = r.u32();
  const std::size_t count = r.u8();
  if (count == 0 || count > maxShares) throw WireError::invalid("ServerHello");
  for (std::size_t i = 0; i < count; ++i) hello.shares.push_back(takeShare(r));
  hello.name = r.string(Hello::maxName);
  return hello;
}

Bytes Spake2Finish::encode() const {
  ByteWriter w(Spake2::shareSize + confirmations.size() * Spake2::confirmationSize);
  w.raw(share);
  for (const Bytes& confirmation : confirmations) w.raw(confirmation);
  return std::move(w).data();
}

Spake2Finish Spake2Finish::decode(ByteView data, std::size_t shareCount) {
  ByteReader r(data);
  Spake2Finish finish;
  finish.share = takeShare(r);
  for (std::size_t i = 0; i < shareCount; ++i) finish.confirmations.push_back(r.take(Spake2::confirmationSize));
  return finish;
}

}  // namespace pellora
