#include "core/hello.h"

#include <algorithm>

namespace pellora {

Bytes Hello::encode() const {
  ByteWriter w(127 + name.size());
  w.raw(magic);
  w.u8(version);
  w.u8(static_cast<std::uint8_t>(os));
  w.raw(publicKey);
  w.raw(nonce);
  if (salt && iterations) {
    w.raw(*salt);
    w.u32(*iterations);
  }
  w.string(name);
  return std::move(w).data();
}

std::uint8_t Hello::readHeader(ByteReader& r) {
  const ByteView m = r.view(magic.size());
  if (!std::equal(m.begin(), m.end(), magic.begin())) throw WireError::badMagic();
  return r.u8();
}

Hello Hello::decode(ByteView data, bool server) {
  ByteReader r(data);
  const std::uint8_t v = readHeader(r);
  if (v != version) throw WireError::unsupportedVersion(v);
  Hello hello;
  hello.os = peerOSFromByte(r.u8());
  hello.publicKey = r.take(65);
  hello.nonce = r.take(nonceSize);
  if (hello.publicKey[0] != 0x04) throw WireError::invalid("genel anahtar");
  if (server) {
    hello.salt = r.take(saltSize);
    hello.iterations = r.u32();
  }
  hello.name = r.string(maxName);
  return hello;
}

}  // namespace pellora
