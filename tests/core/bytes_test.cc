#include "core/bytes.h"

#include <gtest/gtest.h>

#include <limits>

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

TEST(ByteWriter, WritesBigEndianFieldsAsTheVectorsDo) {
  const auto& v = test::wireVectors().at("framing").as_object();
  ByteWriter w;
  w.u16(0x1234);
  EXPECT_EQ(toHex(w.data()), v.at("u16_0x1234").as_string());
  ByteWriter w32;
  w32.u32(1);
  EXPECT_EQ(toHex(w32.data()), v.at("u32_1").as_string());
  ByteWriter wf;
  wf.f32(1.0f);
  EXPECT_EQ(toHex(wf.data()), v.at("f32_1.0").as_string());
  ByteWriter ws;
  ws.string("ğ");  // two UTF-8 bytes: the count is of bytes, not characters
  EXPECT_EQ(toHex(ws.data()), v.at("string_g_breve").as_string());
  EXPECT_EQ(toHex(Framing::frame({})), v.at("emptyPayloadFrame").as_string());
  EXPECT_EQ(Framing::maxFrame, v.at("maxFrame").as_int64());

  ByteWriter w64;
  w64.u64(0x0102030405060708ull);
  EXPECT_EQ(toHex(w64.data()), "0102030405060708");
}

TEST(ByteReader, ReadsBackEveryFieldKind) {
  ByteWriter w;
  w.u8(0xAB);
  w.u16(0xBEEF);
  w.u32(0xDEADBEEF);
  w.u64(std::numeric_limits<std::uint64_t>::max() - 1);
  w.f32(-2.5f);
  w.bytes(fromHex("0001ff"));
  w.string("Çalışma");
  w.raw(fromHex("7f"));

  ByteReader r(w.data());
  EXPECT_EQ(r.u8(), 0xAB);
  EXPECT_EQ(r.u16(), 0xBEEF);
  EXPECT_EQ(r.u32(), 0xDEADBEEFu);
  EXPECT_EQ(r.u64(), std::numeric_limits<std::uint64_t>::max() - 1);
  EXPECT_EQ(r.f32(), -2.5f);
  EXPECT_EQ(r.bytes(3), fromHex("0001ff"));
  EXPECT_EQ(r.string(100), "Çalışma");
  EXPECT_EQ(r.remaining(), 1u);
  EXPECT_EQ(r.take(1), fromHex("7f"));
  EXPECT_TRUE(r.isAtEnd());
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

TEST(WireError, DescriptionsAreTheExactTexts) {
  const auto& texts = test::wireVectors().at("wireErrorTexts").as_object();
  EXPECT_EQ(WireError::tooLarge(33554433).description(), texts.at("tooLarge(33554433)").as_string());
  EXPECT_EQ(WireError::unsupportedVersion(2).description(), texts.at("unsupportedVersion(2)").as_string());
  EXPECT_EQ(WireError::invalid("UTF-8").description(), texts.at("invalid(UTF-8)").as_string());
  EXPECT_EQ(WireError::truncated().description(), texts.at("truncated").as_string());
  EXPECT_EQ(WireError::badMagic().description(), texts.at("badMagic").as_string());
  EXPECT_STREQ(WireError::truncated().what(), "Eksik veri");
  EXPECT_NE(WireError::tooLarge(1), WireError::tooLarge(2));
  EXPECT_NE(WireError::invalid("a"), WireError::invalid("b"));
}

}  // namespace
}  // namespace pellora
