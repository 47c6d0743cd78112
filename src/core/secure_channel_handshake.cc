// The two handshake procedures: hellos, key schedule, proofs, status. Version 1 derives the keys from an
// ECDH exchange and PBKDF2; version 2 (asked for by a marker in the client's nonce) runs SPAKE2, so that
// someone posing as the host learns nothing that tests a password offline.

#include <boost/asio/experimental/awaitable_operators.hpp>
#include <boost/asio/steady_timer.hpp>
#include <boost/asio/this_coro.hpp>

#include "core/crypto.h"
#include "core/password_generator.h"
#include "core/secure_channel.h"
#include "core/session_keys.h"
#include "core/spake2_hello.h"

namespace pellora {

namespace asio = boost::asio;
using asio::awaitable;

namespace {

// This build announces itself as Linux in its hellos.
constexpr PeerOS ownOS = PeerOS::linux;

static_assert(Hello::maxSize <= SecureChannel::maxHandshakeFrame,
              "a valid version-1 hello must fit a handshake frame");
static_assert(Spake2Hello::maxSize <= SecureChannel::maxHandshakeFrame,
              "a valid version-2 hello must fit a handshake frame");
static_assert(Spake2::shareSize + Spake2Hello::maxShares * Spake2::confirmationSize <= SecureChannel::maxHandshakeFrame,
              "a valid version-2 finish must fit a handshake frame");

// Cancels the wire when `timeout` passes before the procedure ends; the procedure's pending read or write
// then fails, and that error is what the procedure throws. A step that waits on the peer may bring the
// moment closer for a while (`limit`), never past the whole timeout. Destroying the timer stops it
// untouched. Used on the procedure's executor only.
class HandshakeTimer {
 public:
  HandshakeTimer(const asio::any_io_executor& executor, SecureChannel::Duration timeout,
                 const std::shared_ptr<Wire>& wire)
      : timer_(executor), end_(Clock::now() + timeout), wire_(wire) {
    arm(end_);
  }
  ~HandshakeTimer() { timer_.cancel(); }
  HandshakeTimer(const HandshakeTimer&) = delete;
  HandshakeTimer& operator=(const HandshakeTimer&) = delete;

  // Until `release`, the wire is cancelled `step` from now (or at the end, when that comes first).
  void limit(SecureChannel::Duration step) { arm(std::min(end_, Clock::now() + step)); }
  void release() { arm(end_); }

 private:
  using Clock = std::chrono::steady_clock;
  void arm(Clock::time_point at) {
    timer_.expires_at(at);  // a wait in progress ends with operation_aborted
    timer_.async_wait([weak = wire_](const boost::system::error_code& ec) {
      if (ec) return;
      if (auto w = weak.lock()) w->cancel();
    });
  }

  asio::steady_timer timer_;
  const Clock::time_point end_;
  const std::weak_ptr<Wire> wire_;
};

// Reads the peer's next handshake record, within `step` when one is given.
awaitable<Bytes> readRecord(const std::shared_ptr<Wire>& wire, HandshakeTimer& timer,
                            std::optional<SecureChannel::Duration> step = std::nullopt) {
  if (step) timer.limit(*step);
  Bytes record = co_await wire->readFrame(SecureChannel::maxHandshakeFrame);
  if (step) timer.release();
  co_return record;
}

// Message 4 as the client reads it: the status, then on `ok` the server's 32-byte proof (version 1) or key
// confirmation (version 2), returned here. Bytes after it are ignored.
ByteView serverProof(const Bytes& reply) {
  if (reply.empty()) throw WireError::truncated();
  const HandshakeStatus status = handshakeStatusFromByte(reply[0]);
  if (status != HandshakeStatus::ok) throw HandshakeError::status(status);
  if (reply.size() < 1 + SessionKeys::proofSize) throw WireError::truncated();
  return ByteView(reply).subspan(1, SessionKeys::proofSize);
}

// Message 4 as the server sends it: the status, and `proof` only with `ok`. Any other status leaves the
// connection to be cancelled shortly (so that the frame can go first) and is thrown.
awaitable<void> answer(const std::shared_ptr<Wire>& wire, HandshakeStatus status, ByteView proof) {
  ByteWriter reply(1 + proof.size());
  reply.u8(static_cast<std::uint8_t>(status));
  if (status == HandshakeStatus::ok) reply.raw(proof);
  co_await wire->writeFrame(reply.data());
  if (status != HandshakeStatus::ok) {
    wire->cancelAfter(SecureChannel::cancelDelay);
    throw HandshakeError::status(status);
  }
}

// Version 2's record keys: the matched exchange's shared secret, expanded once per direction and bound
// to both hello records.
struct RecordKeys {
  Bytes clientToServer, serverToClient;
};
RecordKeys version2RecordKeys(ByteView ke, ByteView clientHello, ByteView serverHello) {
  PelloraCrypto::Sha256 transcript;
  transcript.update(clientHello);
  transcript.update(serverHello);
  const Bytes hash = transcript.finish();
  return {PelloraCrypto::hkdfSha256(ke, hash, asBytes("pellora v2 c2s"), 32),
          PelloraCrypto::hkdfSha256(ke, hash, asBytes("pellora v2 s2c"), 32)};
}

// The client's side of version 2, from the server's hello on. The client is SPAKE2's party A with the
// hello records as the two identities; it answers every server share with one confirmation.
awaitable<std::shared_ptr<SecureChannel>> clientVersion2(std::shared_ptr<Wire> wire, std::string password,
                                                         Bytes clientHello, Bytes serverHello, CpuPool& cpu) {
  Spake2Hello server = Spake2Hello::decode(serverHello);
  if (!PelloraCrypto::iterationsInRange(server.iterations)) throw HandshakeError::badIterations(server.iterations);

  struct Answer {
    Bytes share;
    std::vector<Spake2::Keys> keys;  // one per server share
  };
  auto derive = [password = std::move(password), server, clientHello, serverHello] {
    const Spake2 party(Spake2::Role::a, Spake2::passwordScalar(password, server.salt, server.iterations));
    Answer answer{party.share(), {}};
    for (const Bytes& share : server.shares) answer.keys.push_back(party.finish(share, clientHello, serverHello));
    return answer;
  };
  const Answer answer = co_await cpu.run(std::move(derive));
  Spake2Finish finish{answer.share, {}};
  for (const Spake2::Keys& keys : answer.keys) finish.confirmations.push_back(keys.confirmationA);
  co_await wire->writeFrame(finish.encode());

  const Bytes reply = co_await wire->readFrame(SecureChannel::maxHandshakeFrame);
  const ByteView confirmation = serverProof(reply);
  const Spake2::Keys* matched = nullptr;
  for (const Spake2::Keys& keys : answer.keys)  // every candidate is compared
    if (PelloraCrypto::constantTimeEqual(confirmation, keys.confirmationB) && !matched) matched = &keys;
  if (!matched) throw HandshakeError::badServerProof();

  const RecordKeys record = version2RecordKeys(matched->ke, clientHello, serverHello);
  Hello peer{server.os, {}, {}, std::move(server.salt), server.iterations, std::move(server.name)};
  co_return SecureChannel::make(std::move(wire), std::move(peer), CipherState(record.clientToServer),
                                CipherState(record.serverToClient), 2);
}

// The server's side of version 2, from the client's hello on: SPAKE2's party B once per password held,
// each with its own scalar and share; the client's confirmations tell which password it used.
awaitable<std::shared_ptr<SecureChannel>> serverVersion2(std::shared_ptr<Wire> wire, Hello client, Bytes clientHello,
                                                         std::string password,
                                                         std::optional<std::string> permanentPassword, std::string name,
                                                         const SecureChannel::Admit& admit, CpuPool& cpu,
                                                         HandshakeTimer& timer, SecureChannel::Duration proofTimeout) {
  using asio::experimental::awaitable_operators::operator&&;
  using Match = SecureChannel::PasswordMatch;

  const Bytes salt = PelloraCrypto::randomBytes(Hello::saltSize);
  // (An optional: a result that crosses co_spawn must be default-constructible.)
  const auto partyFor = [&salt](std::string p) {
    return [p = std::move(p), salt] {
      return std::optional<Spake2>(std::in_place, Spake2::Role::b,
                                   Spake2::passwordScalar(p, salt, PelloraCrypto::defaultIterations));
    };
  };
  // The shares go into the hello, so PBKDF2 runs before it is sent; two passwords derive side by side.
  std::vector<Spake2> parties;
  auto session = cpu.run(partyFor(std::move(password)));
  if (permanentPassword) {
    auto permanent = cpu.run(partyFor(std::move(*permanentPassword)));
    auto both = co_await (std::move(session) && std::move(permanent));
    parties.push_back(std::move(*std::get<0>(both)));
    parties.push_back(std::move(*std::get<1>(both)));
  } else {
    parties.push_back(std::move(*co_await std::move(session)));
  }

  Spake2Hello hello{ownOS, salt, PelloraCrypto::defaultIterations, {}, std::move(name)};
  for (const Spake2& party : parties) hello.shares.push_back(party.share());
  const Bytes serverHello = hello.encode();
  co_await wire->writeFrame(serverHello);

  const Bytes finishRecord = co_await readRecord(wire, timer, proofTimeout);
  const Spake2Finish finish = Spake2Finish::decode(finishRecord, parties.size());
  auto check = [parties, share = finish.share, clientHello, serverHello] {
    std::vector<Spake2::Keys> keys;
    for (const Spake2& party : parties) keys.push_back(party.finish(share, clientHello, serverHello));
    return keys;
  };
  const std::vector<Spake2::Keys> keys = co_await cpu.run(std::move(check));
  std::vector<bool> valid;  // every confirmation is checked
  for (std::size_t i = 0; i < keys.size(); ++i)
    valid.push_back(PelloraCrypto::constantTimeEqual(finish.confirmations[i], keys[i].confirmationA));
  const Match match = valid[0] ? Match::session : valid.size() > 1 && valid[1] ? Match::permanent : Match::none;
  const Spake2::Keys& used = keys[match == Match::permanent ? 1 : 0];

  const HandshakeStatus status = co_await admit(client, match);
  co_await answer(wire, status, used.confirmationB);
  const RecordKeys record = version2RecordKeys(used.ke, clientHello, serverHello);
  co_return SecureChannel::make(std::move(wire), std::move(client), CipherState(record.serverToClient),
                                CipherState(record.clientToServer), 2);
}

// Turns a caller away before any work on a password, in the version it asked for, so that its viewer shows
// the status: a hello with throwaway key material (a fresh point stands in for a version-2 share), the
// caller's proof or finish read but not checked, then `status`. Never returns a channel: throws
// HandshakeError::status(status).
awaitable<std::shared_ptr<SecureChannel>> turnAway(const std::shared_ptr<Wire>& wire, bool version2, std::string name,
                                                   HandshakeStatus status, HandshakeTimer& timer,
                                                   SecureChannel::Duration proofTimeout) {
  const Bytes salt = PelloraCrypto::randomBytes(Hello::saltSize);
  const Bytes throwaway = EcdhKey::generate().publicKey();
  Bytes hello;
  if (version2)
    hello = Spake2Hello{ownOS, salt, PelloraCrypto::defaultIterations, {throwaway}, std::move(name)}.encode();
  else
    hello = Hello{ownOS, throwaway, PelloraCrypto::randomBytes(Hello::nonceSize), salt, PelloraCrypto::defaultIterations,
                  std::move(name)}
                .encode();
  co_await wire->writeFrame(hello);
  co_await readRecord(wire, timer, proofTimeout);
  co_await answer(wire, status, {});
  co_return nullptr;
}

}  // namespace

awaitable<std::shared_ptr<SecureChannel>> SecureChannel::client(std::shared_ptr<Wire> wire, std::string password,
                                                                std::string name, Duration timeout, CpuPool& cpu,
                                                                ClientOptions options) {
  HandshakeTimer timer(co_await asio::this_coro::executor, timeout, wire);
  co_await wire->start();

  // The version-1 hello in any case; its key serves if the server answers in version 1.
  const EcdhKey key = EcdhKey::generate();
  Bytes nonce = PelloraCrypto::randomBytes(Hello::nonceSize);
  if (options.offerVersion2)
    std::copy(Spake2Hello::clientMarker.begin(), Spake2Hello::clientMarker.end(), nonce.begin());
  const Hello hello{ownOS, key.publicKey(), std::move(nonce), std::nullopt, std::nullopt, std::move(name)};
  const Bytes clientHello = hello.encode();
  co_await wire->writeFrame(clientHello);

  const Bytes serverHello = co_await wire->readFrame(maxHandshakeFrame);
  ByteReader header(serverHello);
  const std::uint8_t version = Hello::readHeader(header);
  if (options.offerVersion2 && version == Spake2Hello::version)
    co_return co_await clientVersion2(std::move(wire), std::move(password), clientHello, serverHello, cpu);
  // Refused before any work on the password, so nothing derived from it reaches whoever answered.
  if (options.requireVersion2 && version == Hello::version) throw HandshakeError::downgraded();

  Hello server = Hello::decode(serverHello, true);
  if (!server.salt || !server.iterations) throw WireError::invalid("ServerHello");
  // The announced count bounds the work a server can demand; it is checked before any PBKDF2 work.
  if (!PelloraCrypto::iterationsInRange(*server.iterations)) throw HandshakeError::badIterations(*server.iterations);

  // (Jobs are named before they are awaited: GCC 12 destroys a lambda temporary inside a co_await
  // expression twice.)
  auto derive = [key, peerKey = server.publicKey, password = std::move(password), salt = *server.salt,
                 iterations = *server.iterations, clientHello, serverHello] {
    return PelloraCrypto::deriveKeys(key, peerKey, password, salt, iterations, clientHello, serverHello);
  };
  const SessionKeys keys = co_await cpu.run(std::move(derive));
  co_await wire->writeFrame(keys.clientProof());

  const Bytes reply = co_await wire->readFrame(maxHandshakeFrame);
  if (!keys.isValid(serverProof(reply), "server")) throw HandshakeError::badServerProof();

  co_return make(wire, std::move(server), CipherState(keys.clientToServer), CipherState(keys.serverToClient));
}

awaitable<std::shared_ptr<SecureChannel>> SecureChannel::server(std::shared_ptr<Wire> wire, std::string password,
                                                                std::optional<std::string> permanentPassword,
                                                                std::string name, Duration timeout, Admit admit,
                                                                CpuPool& cpu, ServerOptions options) {
  HandshakeTimer timer(co_await asio::this_coro::executor, timeout, wire);
  co_await wire->start();

  const Bytes clientHello = co_await readRecord(wire, timer, options.helloTimeout);
  Hello client = Hello::decode(clientHello, false);
  const bool version2 = options.acceptVersion2 && Spake2Hello::isAskedFor(client);
  HandshakeStatus early = HandshakeStatus::ok;
  if (!version2 && options.refuseVersion1)
    early = HandshakeStatus::rejected;
  else if (options.screen)
    early = options.screen(client);
  if (early != HandshakeStatus::ok)
    co_return co_await turnAway(wire, version2, std::move(name), early, timer, options.proofTimeout);
  if (version2)
    co_return co_await serverVersion2(std::move(wire), std::move(client), clientHello, std::move(password),
                                      std::move(permanentPassword), std::move(name), admit, cpu, timer,
                                      options.proofTimeout);

  const EcdhKey key = EcdhKey::generate();
  const Bytes salt = PelloraCrypto::randomBytes(Hello::saltSize);
  const Hello hello{ownOS, key.publicKey(), PelloraCrypto::randomBytes(Hello::nonceSize), salt,
                    PelloraCrypto::defaultIterations, std::move(name)};
  const Bytes serverHello = hello.encode();
  co_await wire->writeFrame(serverHello);

  // Two PBKDF2 runs whether or not a permanent password exists, so that the time taken tells nothing. They
  // run off the network thread while the client derives its own key.
  const bool hasPermanent = permanentPassword.has_value();
  std::string second = hasPermanent ? std::move(*permanentPassword) : PasswordGenerator::make(24);
  auto deriveBoth = [key, peerKey = client.publicKey, password = std::move(password), second = std::move(second),
                     salt, clientHello, serverHello] {
    auto derive = [&](const std::string& p) {
      return PelloraCrypto::deriveKeys(key, peerKey, p, salt, PelloraCrypto::defaultIterations, clientHello,
                                       serverHello);
    };
    SessionKeys first = derive(password);
    return std::pair(std::move(first), derive(second));
  };
  // The proof is due within proofTimeout of our hello; our own derivation runs meanwhile.
  timer.limit(options.proofTimeout);
  const auto [sessionKeys, secondKeys] = co_await cpu.run(std::move(deriveBoth));
  const Bytes proof = co_await wire->readFrame(maxHandshakeFrame);
  timer.release();
  // Both checks always run.
  const bool sessionMatches = sessionKeys.isValid(proof, "client");
  const bool secondMatches = secondKeys.isValid(proof, "client");
  const PasswordMatch match = sessionMatches                   ? PasswordMatch::session
                              : hasPermanent && secondMatches ? PasswordMatch::permanent
                                                               : PasswordMatch::none;
  const SessionKeys& keys = match == PasswordMatch::permanent ? secondKeys : sessionKeys;

  const HandshakeStatus status = co_await admit(client, match);
  co_await answer(wire, status, keys.serverProof());
  co_return make(wire, std::move(client), CipherState(keys.serverToClient), CipherState(keys.clientToServer));
}

awaitable<std::shared_ptr<SecureChannel>> SecureChannel::server(std::shared_ptr<Wire> wire, std::string password,
                                                                std::string name, Duration timeout,
                                                                SessionAdmit admit, CpuPool& cpu,
                                                                ServerOptions options) {
  Admit byMatch = [admit = std::move(admit)](const Hello& client, PasswordMatch match) {
    return admit(client, match != PasswordMatch::none);
  };
  co_return co_await server(std::move(wire), std::move(password), std::nullopt, std::move(name), timeout,
                            std::move(byMatch), cpu, options);
}

}  // namespace pellora
