// SPAKE2 against RFC 9382's P-256 test vectors, and the shares it must refuse.

#include <gtest/gtest.h>

#include "core/crypto_error.h"
#include "core/spake2.h"
#include "support/hex.h"

namespace pellora {
namespace {

using test::fromHex;
using test::toHex;
using Role = Spake2::Role;

// RFC 9382 Appendix B, SPAKE2-P256-SHA256-HKDF-HMAC: both identities present, and both empty (the vectors
// with one of them empty go through the same length prefixes).
struct RfcVector {
  const char* idA;
  const char* idB;
  const char* w;
  const char* x;
  const char* y;
  const char* pA;
  const char* pB;
  const char* ke;
  const char* ka;
  const char* kcA;
  const char* kcB;
  const char* cA;
  const char* cB;
};

const RfcVector rfcVectors[] = {
    {"server", "client", "2ee57912099d31560b3a44b1184b9b4866e904c49d12ac5042c97dca461b1a5f",
     "43dd0fd7215bdcb482879fca3220c6a968e66d70b1356cac18bb26c84a78d729",
     "dcb60106f276b02606d8ef0a328c02e4b629f84f89786af5befb0bc75b6e66be",
     "04a56fa807caaa53a4d28dbb9853b9815c61a411118a6fe516a8798434751470f9010153ac33d0d5f2047ffdb1a3e42c9b4e6be662766e1e"
     "eb4116988ede5f912c",
     "0406557e482bd03097ad0cbaa5df82115460d951e3451962f1eaf4367a420676d09857ccbc522686c83d1852abfa8ed6e4a1155cf8f1543"
     "ceca528afb591a1e0b7",
     "0e0672dc86f8e45565d338b0540abe69", "15bdf72e2b35b5c9e5663168e960a91b", "00c12546835755c86d8c0db7851ae86f",
     "a9fa3406c3b781b93d804485430ca27a", "58ad4aa88e0b60d5061eb6b5dd93e80d9c4f00d127c65b3b35b1b5281fee38f0",
     "d3e2e547f1ae04f2dbdbf0fc4b79f8ecff2dff314b5d32fe9fcef2fb26dc459b"},
    {"", "", "7bf46c454b4c1b25799527d896508afd5fc62ef4ec59db1efb49113063d70cca",
     "8cef65df64bb2d0f83540c53632de911b5b24b3eab6cc74a97609fd659e95473",
     "d7a66f64074a84652d8d623a92e20c9675c61cb5b4f6a0063e4648a2fdc02d53",
     "04a65b367a3f613cf9f0654b1b28a1e3a8a40387956c8ba6063e8658563890f46ca1ef6a676598889fc28de2950ab8120b79a5ef1ea4c9f"
     "44bc98f585634b46d66",
     "04589f13218822710d98d8b2123a079041052d9941b9cf88c6617ddb2fcc0494662eea8ba6b64692dc318250030c6af045cb738bc81ba35"
     "b043c3dcb46adf6f58d",
     "fc6374762ba5cf11f4b2caa08b2cd1b9", "907ae0e26e8d6234318d91583cd74c86", "5dbd2f477166b7fb6d61febbd77a5563",
     "7689b4654407a5faeffdc8f18359d8a3", "dfb4db8d48ae5a675963ea5e6c19d98d4ea028d8e898dad96ea19a80ade95dca",
     "d0f0609d1613138d354f7e95f19fb556bf52d751947241e8c7118df5ef0ae175"},
};

class Spake2Rfc : public ::testing::TestWithParam<RfcVector> {};

TEST_P(Spake2Rfc, BothPartiesReproduceTheVector) {
  const RfcVector& v = GetParam();
  const Spake2 a(Role::a, fromHex(v.w), fromHex(v.x));
  const Spake2 b(Role::b, fromHex(v.w), fromHex(v.y));
  EXPECT_EQ(toHex(a.share()), v.pA);
  EXPECT_EQ(toHex(b.share()), v.pB);

  const auto idA = asBytes(v.idA), idB = asBytes(v.idB);
  const Spake2::Keys fromA = a.finish(b.share(), idA, idB);
  const Spake2::Keys fromB = b.finish(a.share(), idA, idB);
  EXPECT_EQ(fromA.transcript, fromB.transcript);
  for (const Spake2::Keys* keys : {&fromA, &fromB}) {
    EXPECT_EQ(toHex(keys->ke), v.ke);
    EXPECT_EQ(toHex(keys->ka), v.ka);
    EXPECT_EQ(toHex(keys->kcA), v.kcA);
    EXPECT_EQ(toHex(keys->kcB), v.kcB);
    EXPECT_EQ(toHex(keys->confirmationA), v.cA);
    EXPECT_EQ(toHex(keys->confirmationB), v.cB);
  }
}

INSTANTIATE_TEST_SUITE_P(AppendixB, Spake2Rfc, ::testing::ValuesIn(rfcVectors));

TEST(Spake2, PasswordScalarIsPbkdf2StretchedAndReduced) {
  // Computed independently: int(HKDF-SHA256(PBKDF2-HMAC-SHA256("kedi 42", 03 * 16, 1000, 32), no salt,
  // "pellora v2 w", 40)) mod n.
  EXPECT_EQ(toHex(Spake2::passwordScalar("kedi 42", Bytes(16, 3), 1000)),
            "e530f34453f45e402a48a795428b1822df765fcc59870f0727d9c496ef029cfc");
}

// Agreement on the same password and none on another are the handshake's tests over loopback.
TEST(Spake2, EachPartyDrawsItsOwnScalarAndTheAssociatedDataCounts) {
  const Bytes w = Spake2::passwordScalar("doğru", Bytes(16, 1), 1000);
  const Spake2 a(Role::a, w), b(Role::b, w);
  EXPECT_NE(a.share(), Spake2(Role::a, w).share());
  const auto ab = a.finish(b.share(), {}, {}, asBytes("ek"));
  EXPECT_EQ(ab.confirmationA, b.finish(a.share(), {}, {}, asBytes("ek")).confirmationA);
  EXPECT_NE(ab.confirmationA, b.finish(a.share(), {}, {}, asBytes("başka")).confirmationA);
}

TEST(Spake2, SharesThatAreNotUsablePointsAreRefused) {
  const Bytes w = Spake2::passwordScalar("p", Bytes(16, 1), 1000);
  const Spake2 a(Role::a, w);
  Bytes offCurve(65, 0x01);
  offCurve[0] = 0x04;
  Bytes beyondField(65, 0xff);
  beyondField[0] = 0x04;
  Bytes compressed(a.share().begin(), a.share().begin() + 33);
  compressed[0] = 0x02;
  Bytes longer = a.share();
  longer.push_back(0);
  // w*N (B's share with a zero scalar) cancels to the identity in A's computation.
  const Bytes degenerate = Spake2(Role::b, w, Bytes(32, 0)).share();
  for (const Bytes& share : {Bytes{0x00}, Bytes{}, offCurve, beyondField, compressed, longer, degenerate})
    EXPECT_THROW(a.finish(share, {}, {}), CryptoError) << toHex(share);
  EXPECT_THROW(Spake2(Role::a, w, Bytes(32, 0xff)), CryptoError) << "a scalar above the group order";
}

}  // namespace
}  // namespace pellora
