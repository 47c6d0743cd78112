#include "core/bytes.h"

#include <gtest/gtest.h>


#include "support/hex.h"
#include "support/test_vectors.h"

namespace pellora {
namespace {

using test::fromHex;
using test::toHex;

template <typename F>
WireError errorOf(F&& f) {
  try {
    f();
  } catch (const WireError& e) {
    return e;
  }
  ADD_FAILURE() << "no WireError thrown";
  return WireError::badMagic();
}

TEST(ByteReader, ShortInputIsTruncatedAndLeavesTheOffset) {
  Bytes three = fromHex("010203");
  ByteReader r(three);
  EXPECT_EQ(errorOf([&] { r.u32(); }), WireError::truncated());
  EXPECT_EQ(r.offset(), 0u);
  EXPECT_EQ(errorOf([&] { r.u64(); }), WireError::truncated());
  EXPECT_EQ(r.u16(), 0x0102);
  EXPECT_EQ(errorOf([&] { r.take(2); }), WireError::truncated());

  Bytes empty;
  ByteReader done(empty);
  EXPECT_TRUE(done.take(0).empty());
  EXPECT_EQ(errorOf([&] { done.take(1); }), WireError::truncated());
  EXPECT_EQ(errorOf([&] { done.u8(); }), WireError::truncated());
}

TEST(ByteReader, BoundsAreInclusiveAndCheckedBeforeTheBody) {
  // Exactly at the bound: accepted.
  Bytes atBound = fromHex("0000000461626364");
  ByteReader ok(atBound);
  EXPECT_EQ(ok.string(4), "abcd");

  // One above: refused from the prefix alone, which stays consumed.
  Bytes prefixOnly = fromHex("00000005");
  ByteReader over(prefixOnly);
  EXPECT_EQ(errorOf([&] { over.string(4); }), WireError::tooLarge(5));
  EXPECT_EQ(over.offset(), 4u);
  ByteReader overBytes(prefixOnly);
  EXPECT_EQ(errorOf([&] { overBytes.bytes(4); }), WireError::tooLarge(5));

  // A length within bounds but beyond the input.
  Bytes shortBody = fromHex("0000000461");
  ByteReader cut(shortBody);
  EXPECT_EQ(errorOf([&] { cut.bytes(10); }), WireError::truncated());
}

TEST(ByteReader, StringsMustBeStrictUTF8) {
  const char* invalid[] = {
      "c328",          // second byte is not a continuation
      "ff",            // never valid
      "80",            // lone continuation
      "c080",          // overlong NUL
      "e08080",        // overlong three-byte form
      "eda080",        // UTF-16 surrogate
      "f4908080",      // above U+10FFFF
      "e282",          // sequence cut short
  };
  for (const char* hex : invalid) {
    Bytes body = fromHex(hex);
    ByteWriter w;
    w.bytes(body);
    ByteReader r(w.data());
    EXPECT_EQ(errorOf([&] { r.string(100); }), WireError::invalid("UTF-8")) << hex;
    EXPECT_TRUE(r.isAtEnd()) << "prefix and body stay consumed";
  }
  for (const char* hex : {"", "00", "7f", "c2a9", "e282ac", "f09f9880", "f48fbfbf"}) {
    Bytes body = fromHex(hex);
    EXPECT_TRUE(isValidUTF8(body)) << hex;
  }
}

TEST(Framing, PrefixLimitIsMaxFrameInclusive) {
  EXPECT_EQ(Framing::payloadLength(fromHex("02000000")), 33'554'432u);
  EXPECT_EQ(Framing::payloadLength(fromHex("00000000")), 0u);
  for (const auto& c : test::wireVectors().at("negative").as_array()) {
    const auto& o = c.as_object();
    if (o.at("kind").as_string() != "framePrefix") continue;
    WireError e = errorOf([&] { Framing::payloadLength(fromHex(o.at("input").as_string())); });
    EXPECT_EQ(e.description(), o.at("error").as_string());
  }
  EXPECT_EQ(errorOf([] { Framing::payloadLength(fromHex("020000")); }), WireError::truncated());

  Bytes framed = Framing::frame(fromHex("aabbcc"));
  EXPECT_EQ(toHex(framed), "00000003aabbcc");
}

}  // namespace
}  // namespace pellora
