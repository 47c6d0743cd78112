#include "core/crypto.h"

#include <gtest/gtest.h>

#include "support/hex.h"
#include "support/test_vectors.h"

namespace pellora {
namespace {

using namespace PelloraCrypto;
using test::fromHex;
using test::toHex;

Bytes range(int from, int to) {
  Bytes b;
  for (int i = from; i <= to; ++i) b.push_back(static_cast<std::uint8_t>(i));
  return b;
}

TEST(Hkdf, Rfc5869TestCases1To3) {
  // Case 1: basic.
  EXPECT_EQ(toHex(hkdfSha256(Bytes(22, 0x0b), range(0x00, 0x0c), range(0xf0, 0xf9), 42)),
            "3cb25f25faacd57a90434f64d0362f2a2d2d0a90cf1a5a4c5db02d56ecc4c5bf34007208d5b887185865");
  // Case 2: longer inputs and output.
  EXPECT_EQ(toHex(hkdfSha256(range(0x00, 0x4f), range(0x60, 0xaf), range(0xb0, 0xff), 82)),
            "b11e398dc80327a1c8e7f78c596a49344f012eda2d4efad8a050cc4c19afa97c"
            "59045a99cac7827271cb41c65e590e09da3275600c2f09b8367793a9aca3db71"
            "cc30c58179ec3e87c14c01d5c1f3434f1d87");
  // Case 3: empty salt and info.
  EXPECT_EQ(toHex(hkdfSha256(Bytes(22, 0x0b), {}, {}, 42)),
            "8da4e775a563c18f715f802a063c5a31b8a11f5c5ee1879ec3454e5f3c738d2d9d201395faa4b61a96c8");
}

TEST(Pbkdf2, Rfc7914Vectors) {
  // The first 32 bytes of the 64-byte outputs (PBKDF2 blocks are independent).
  EXPECT_EQ(toHex(pbkdf2("passwd", asBytes("salt"), 1)),
            "55ac046e56e3089fec1691c22544b605f94185216dde0465e68b9d57c20dacbc");
  EXPECT_EQ(toHex(pbkdf2("Password", asBytes("NaCl"), 80000)),
            "4ddcd8f60b98be21830cee5ef22701f9641a4418d04c0414aeff08876b34ab56");
}

TEST(Pbkdf2, CanonicallyEquivalentPasswordsDeriveTheSameKey) {
  const Bytes salt = fromHex("e5a90f354882c01cf5e21aa069e8b380");
  const std::string precomposed = "\xC3\xA9";  // é
  const std::string decomposed = "e\xCC\x81";  // e + combining acute
  EXPECT_EQ(pbkdf2(precomposed, salt, 1000), pbkdf2(decomposed, salt, 1000));
  EXPECT_NE(pbkdf2(precomposed, salt, 1000), pbkdf2("e", salt, 1000));
  EXPECT_EQ(normalizeNFC(decomposed), precomposed);
  EXPECT_EQ(normalizeNFC("\xff\xfe"), "\xff\xfe") << "non-UTF-8 text is kept as it is";
  EXPECT_EQ(pbkdf2("", salt, 1000).size(), 32u) << "an empty password is zero bytes, not an error";
}

TEST(Digests, Sha256AndHmacKnownAnswers) {
  EXPECT_EQ(toHex(sha256(asBytes("abc"))), "ba7816bf8f01cfea414140de5dae2223b00361a396177a9cb410ff61f20015ad");
  EXPECT_EQ(toHex(sha256({})), "e3b0c44298fc1c149afbf4c8996fb92427ae41e4649b934ca495991b7852b855");
  // RFC 4231 case 2.
  EXPECT_EQ(toHex(hmacSha256(asBytes("Jefe"), asBytes("what do ya want for nothing?"))),
            "5bdcc146bf60754e6a042426089575c75a003f089d2739839dec58b964ec3843");
  EXPECT_EQ(hmacSha256({}, {}).size(), 32u);

  Sha256 streaming;
  streaming.update(asBytes("a"));
  streaming.update(asBytes("bc"));
  EXPECT_EQ(streaming.finish(), sha256(asBytes("abc")));
  EXPECT_EQ(streaming.finish(), sha256({})) << "the hasher starts over after finish";
}

TEST(ConstantTimeEqual, ComparesContentAndLength) {
  EXPECT_TRUE(constantTimeEqual(fromHex("0102"), fromHex("0102")));
  EXPECT_FALSE(constantTimeEqual(fromHex("0102"), fromHex("0103")));
  EXPECT_FALSE(constantTimeEqual(fromHex("0102"), fromHex("010200")));
  EXPECT_TRUE(constantTimeEqual({}, {}));
}

}  // namespace
}  // namespace pellora
