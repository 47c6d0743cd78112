// The password generator, hellos, key schedule, proofs and statuses against the recorded vectors (which
// derive through HKDF and PBKDF2).

#include <gtest/gtest.h>

#include "core/crypto.h"
#include "core/ecdh_key.h"
#include "core/handshake_error.h"
#include "core/hello.h"
#include "core/password_generator.h"
#include "core/session_keys.h"
#include "core/spake2_hello.h"
#include "support/hex.h"
#include "support/test_vectors.h"

namespace pellora {
namespace {

using test::fromHex;
using test::toHex;

const boost::json::object& vectors() { return test::wireVectors().at("handshake").as_object(); }
Bytes field(std::string_view name) { return fromHex(vectors().at(name).as_string()); }
std::string utf8(const Bytes& b) { return std::string(b.begin(), b.end()); }

Hello clientHello() {
  return Hello{PeerOS::macOS, field("clientPublicKey"), field("clientNonce"), std::nullopt, std::nullopt,
               std::string(vectors().at("clientName").as_string())};
}
Hello serverHello() {
  return Hello{PeerOS::macOS, field("serverPublicKey"), field("serverNonce"), field("salt"),
               PelloraCrypto::defaultIterations, std::string(vectors().at("serverName").as_string())};
}

TEST(HandshakeVectors, HellosEncodeAndDecodeByteForByte) {
  EXPECT_EQ(EcdhKey::fromPrivateScalar(field("clientPrivateScalar")).publicKey(), field("clientPublicKey"));
  EXPECT_EQ(EcdhKey::fromPrivateScalar(field("serverPrivateScalar")).publicKey(), field("serverPublicKey"));

  EXPECT_EQ(toHex(clientHello().encode()), vectors().at("clientHello").as_string());
  EXPECT_EQ(toHex(serverHello().encode()), vectors().at("serverHello").as_string());
  EXPECT_EQ(Hello::decode(field("clientHello"), false), clientHello());
  EXPECT_EQ(Hello::decode(field("serverHello"), true), serverHello());

  const auto& frames = vectors().at("frames").as_object();
  EXPECT_EQ(toHex(Framing::frame(field("clientHello"))), frames.at("1_clientHello").as_string());
  EXPECT_EQ(toHex(Framing::frame(field("serverHello"))), frames.at("2_serverHello").as_string());
}

TEST(HandshakeVectors, BothSidesDeriveTheRecordedKeysAndProofs) {
  const EcdhKey clientKey = EcdhKey::fromPrivateScalar(field("clientPrivateScalar"));
  const EcdhKey serverKey = EcdhKey::fromPrivateScalar(field("serverPrivateScalar"));
  EXPECT_EQ(clientKey.sharedSecret(field("serverPublicKey")), field("sharedSecret"));

  const auto iterations = boost::json::value_to<std::uint32_t>(vectors().at("iterations"));
  // The client types the precomposed form, the server holds the decomposed one: NFC makes them one.
  const SessionKeys client = PelloraCrypto::deriveKeys(clientKey, field("serverPublicKey"), utf8(field("passwordUtf8")),
                                                       field("salt"), iterations, field("clientHello"), field("serverHello"));
  const SessionKeys server = PelloraCrypto::deriveKeys(serverKey, field("clientPublicKey"), utf8(field("passwordNFDUtf8")),
                                                       field("salt"), iterations, field("clientHello"), field("serverHello"));
  for (const SessionKeys* keys : {&client, &server}) {
    EXPECT_EQ(keys->transcriptHash, field("transcriptHash"));
    EXPECT_EQ(keys->auth, field("auth"));
    EXPECT_EQ(keys->clientToServer, field("clientToServer"));
    EXPECT_EQ(keys->serverToClient, field("serverToClient"));
  }
  EXPECT_EQ(client.clientProof(), field("clientProof"));
  EXPECT_EQ(client.serverProof(), field("serverProof"));
  EXPECT_TRUE(server.isValid(field("clientProof"), "client"));
  EXPECT_FALSE(server.isValid(field("clientProof"), "server"));
  EXPECT_FALSE(server.isValid(field("wrongPasswordClientProof"), "client"));
  Bytes longer = field("clientProof");
  longer.push_back(0);
  EXPECT_FALSE(server.isValid(longer, "client")) << "a proof of another length is invalid";

  const auto& frames = vectors().at("frames").as_object();
  EXPECT_EQ(toHex(Framing::frame(client.clientProof())), frames.at("3_clientProof").as_string());
  Bytes ok{0};
  const Bytes proof = client.serverProof();
  ok.insert(ok.end(), proof.begin(), proof.end());
  EXPECT_EQ(toHex(Framing::frame(ok)), frames.at("4_statusOk").as_string());
  EXPECT_EQ(toHex(Framing::frame(Bytes{static_cast<std::uint8_t>(HandshakeStatus::badPassword)})),
            frames.at("4_statusBadPassword").as_string());
}

// RFC 4231's second case, and the empty key and message: a key set up once signs message after message.
TEST(HandshakeVectors, HmacSha256KeyedOnceOrPerCall) {
  const ByteView message = asBytes("what do ya want for nothing?");
  PelloraCrypto::HmacSha256 jefe(asBytes("Jefe"));
  for (int i = 0; i < 2; ++i) {
    EXPECT_EQ(toHex(jefe.sign(message)), "5bdcc146bf60754e6a042426089575c75a003f089d2739839dec58b964ec3843");
    EXPECT_EQ(jefe.sign(asBytes("another")), PelloraCrypto::hmacSha256(asBytes("Jefe"), asBytes("another")));
  }
  EXPECT_EQ(toHex(PelloraCrypto::hmacSha256({}, {})),
            "b613679a0814d9ec772f95d778c35fc5ff1697c493715653c6c712144292c5ad");
}

TEST(HandshakeVectors, EmptyPasswordAndOtherIterationCountReachTheKdf) {
  const auto& v = vectors().at("emptyPassword50000").as_object();
  const SessionKeys keys = PelloraCrypto::deriveKeys(EcdhKey::fromPrivateScalar(field("clientPrivateScalar")),
                                                     field("serverPublicKey"), "", field("salt"), 50'000,
                                                     field("clientHello"), field("serverHello"));
  EXPECT_EQ(toHex(keys.auth), v.at("auth").as_string());
  EXPECT_EQ(toHex(keys.clientToServer), v.at("clientToServer").as_string());
  EXPECT_EQ(toHex(keys.serverToClient), v.at("serverToClient").as_string());
}

TEST(HelloDecode, RecordedNegativeCases) {
  int cases = 0;
  for (const auto& item : test::wireVectors().at("negative").as_array()) {
    const auto& c = item.as_object();
    if (c.at("kind").as_string() != "hello") continue;
    ++cases;
    try {
      Hello::decode(fromHex(c.at("input").as_string()), c.at("server").as_bool());
      ADD_FAILURE() << c.at("note").as_string() << ": decoded";
    } catch (const WireError& e) {
      EXPECT_EQ(e.description(), c.at("error").as_string()) << c.at("note").as_string();
    }
  }
  EXPECT_GE(cases, 9);
}

TEST(HelloDecode, NameBoundsTrailingBytesAndOperatingSystems) {
  Hello hello = clientHello();
  hello.name = std::string(256, 'a');
  EXPECT_EQ(Hello::decode(hello.encode(), false).name.size(), 256u);
  hello.name.push_back('a');
  try {
    Hello::decode(hello.encode(), false);
    ADD_FAILURE() << "a 257-byte name decoded";
  } catch (const WireError& e) {
    EXPECT_EQ(e, WireError::tooLarge(257));
  }

  hello.name = "Ekran 1";
  hello.os = PeerOS::linux;
  Bytes withTail = hello.encode();
  withTail.insert(withTail.end(), {1, 2, 3});
  EXPECT_EQ(Hello::decode(withTail, false), hello) << "bytes after the name are ignored";

  withTail[5] = 9;
  EXPECT_EQ(Hello::decode(withTail, false).os, PeerOS::unknown);

  // Salt and iterations travel only together.
  const Bytes withoutSalt = hello.encode();
  hello.salt = Bytes(16, 1);
  EXPECT_EQ(hello.encode(), withoutSalt);
}

TEST(Spake2Records, ServerHelloBoundsAndShares) {
  const Bytes share = EcdhKey::generate().publicKey();
  Spake2Hello hello{PeerOS::linux, Bytes(16, 3), 200'000, {share, share}, std::string(256, 'n')};
  const Bytes largest = hello.encode();
  EXPECT_EQ(largest.size(), Spake2Hello::maxSize);
  EXPECT_EQ(Spake2Hello::decode(largest), hello);

  const auto error = [](const Bytes& record) {
    try {
      Spake2Hello::decode(record);
      return std::string("decoded");
    } catch (const WireError& e) {
      return e.description();
    }
  };
  hello.name = "Ekran";
  Bytes record = hello.encode();
  const std::size_t countAt = 26;
  record[countAt] = 0;
  EXPECT_EQ(error(record), "Geçersiz veri: ServerHello");
  record[countAt] = 3;
  EXPECT_EQ(error(record), "Geçersiz veri: ServerHello");
  record[countAt] = 2;
  record[countAt + 1 + 65] = 0x02;  // the second share compressed
  EXPECT_EQ(error(record), "Geçersiz veri: genel anahtar");
  EXPECT_EQ(error(Bytes(record.begin(), record.begin() + 100)), "Eksik veri");
  record[4] = 1;
  EXPECT_EQ(error(record), "Desteklenmeyen protokol sürümü 1");

  // The finish carries exactly one confirmation per server share.
  const Spake2Finish finish{share, {Bytes(32, 1), Bytes(32, 2)}};
  EXPECT_EQ(Spake2Finish::decode(finish.encode(), 2), finish);
  EXPECT_THROW(Spake2Finish::decode(ByteView(finish.encode()).first(128), 2), WireError);
}

TEST(HandshakeErrors, StatusBytesAndTexts) {
  for (const auto& item : test::wireVectors().at("statusBytes").as_array()) {
    const auto& s = item.as_object();
    const auto status = handshakeStatusFromByte(static_cast<std::uint8_t>(s.at("byte").as_int64()));
    EXPECT_EQ(description(status), s.at("text").as_string());
    EXPECT_EQ(HandshakeError::status(status).description(), s.at("text").as_string());
  }
  const auto& texts = test::wireVectors().at("handshakeErrorTexts").as_object();
  EXPECT_EQ(HandshakeError::badIterations(49'999).description(), texts.at("badIterations(49999)").as_string());
  EXPECT_EQ(HandshakeError::badServerProof().description(), texts.at("badServerProof").as_string());
  EXPECT_EQ(WireError::invalid("ServerHello").description(), texts.at("invalid(ServerHello)").as_string());
  EXPECT_EQ(WireError::invalid("genel anahtar").description(), texts.at("invalid(genel anahtar)").as_string());
  EXPECT_EQ(HandshakeError::wire(WireError::truncated()).description(), "Eksik veri");
  EXPECT_NE(HandshakeError::status(HandshakeStatus::busy), HandshakeError::status(HandshakeStatus::locked));
}

TEST(PasswordGenerator, VectorFromFixedRandomBytes) {
  const auto& v = test::wireVectors().at("passwordGenerator").as_object();
  const Bytes random = test::fromHex(v.at("randomBytes").as_string());
  const int length = static_cast<int>(v.at("length").as_int64());
  std::size_t drawn = 0;
  auto source = [&](std::size_t count) {
    EXPECT_EQ(count, 2u * length);
    Bytes out(random.begin() + static_cast<long>(drawn), random.begin() + static_cast<long>(drawn + count));
    drawn += count;
    return out;
  };
  EXPECT_EQ(PasswordGenerator::make(length, source), v.at("result").as_string());
}

TEST(PasswordGenerator, RejectsBiasedBytesAndDrawsAgainWhenShort) {
  // 247 is the last accepted byte (index 30, "9"); 248 and above are skipped, so a second pass is needed.
  int passes = 0;
  auto source = [&](std::size_t count) {
    ++passes;
    Bytes out(count, 248);
    if (passes == 2) out[0] = 247, out[1] = 31;
    return out;
  };
  EXPECT_EQ(PasswordGenerator::make(2, source), "9a");
  EXPECT_EQ(passes, 2);
}

}  // namespace
}  // namespace pellora
