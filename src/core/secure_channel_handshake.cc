// The two handshake procedures: hellos, key schedule, proofs, status.

#include <boost/asio/steady_timer.hpp>
#include <boost/asio/this_coro.hpp>

#include "core/crypto.h"
#include "core/password_generator.h"
#include "core/secure_channel.h"
#include "core/session_keys.h"

namespace pellora {

namespace asio = boost::asio;
using asio::awaitable;

namespace {

// This build announces itself as Linux in its hellos.
constexpr PeerOS ownOS = PeerOS::linux;

// Cancels the wire when `timeout` passes before the procedure ends; the procedure's pending read or write
// then fails, and that error is what the procedure throws. Destroying the timer stops it untouched.
class HandshakeTimer {
 public:
  HandshakeTimer(const asio::any_io_executor& executor, SecureChannel::Duration timeout,
                 const std::shared_ptr<Wire>& wire)
      : timer_(executor, timeout) {
    timer_.async_wait([weak = std::weak_ptr<Wire>(wire)](const boost::system::error_code& ec) {
      if (ec) return;
      if (auto w = weak.lock()) w->cancel();
    });
  }
  ~HandshakeTimer() { timer_.cancel(); }
  HandshakeTimer(const HandshakeTimer&) = delete;
  HandshakeTimer& operator=(const HandshakeTimer&) = delete;

 private:
  asio::steady_timer timer_;
};

}  // namespace

awaitable<std::shared_ptr<SecureChannel>> SecureChannel::client(std::shared_ptr<Wire> wire, std::string password,
                                                                std::string name, Duration timeout, CpuPool& cpu) {
  HandshakeTimer timer(co_await asio::this_coro::executor, timeout, wire);
  co_await wire->start();

  const EcdhKey key = EcdhKey::generate();
  const Hello hello{ownOS, key.publicKey(), PelloraCrypto::randomBytes(Hello::nonceSize), std::nullopt,
                    std::nullopt, std::move(name)};
  const Bytes clientHello = hello.encode();
  co_await wire->writeFrame(clientHello);

  const Bytes serverHello = co_await wire->readFrame();
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

  const Bytes reply = co_await wire->readFrame();
  if (reply.empty()) throw WireError::truncated();
  const HandshakeStatus status = handshakeStatusFromByte(reply[0]);
  if (status != HandshakeStatus::ok) throw HandshakeError::status(status);
  if (reply.size() < 1 + SessionKeys::proofSize) throw WireError::truncated();
  if (!keys.isValid(ByteView(reply).subspan(1, SessionKeys::proofSize), "server"))
    throw HandshakeError::badServerProof();

  co_return make(wire, std::move(server), CipherState(keys.clientToServer), CipherState(keys.serverToClient));
}

awaitable<std::shared_ptr<SecureChannel>> SecureChannel::server(std::shared_ptr<Wire> wire, std::string password,
                                                                std::optional<std::string> permanentPassword,
                                                                std::string name, Duration timeout, Admit admit,
                                                                CpuPool& cpu) {
  HandshakeTimer timer(co_await asio::this_coro::executor, timeout, wire);
  co_await wire->start();

  const Bytes clientHello = co_await wire->readFrame();
  Hello client = Hello::decode(clientHello, false);

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
  const auto [sessionKeys, secondKeys] = co_await cpu.run(std::move(deriveBoth));

  const Bytes proof = co_await wire->readFrame();
  // Both checks always run.
  const bool sessionMatches = sessionKeys.isValid(proof, "client");
  const bool secondMatches = secondKeys.isValid(proof, "client");
  const PasswordMatch match = sessionMatches                   ? PasswordMatch::session
                              : hasPermanent && secondMatches ? PasswordMatch::permanent
                                                               : PasswordMatch::none;
  const SessionKeys& keys = match == PasswordMatch::permanent ? secondKeys : sessionKeys;

  const HandshakeStatus status = co_await admit(client, match);

  Bytes reply{static_cast<std::uint8_t>(status)};
  if (status == HandshakeStatus::ok) {
    const Bytes serverProof = keys.serverProof();
    reply.insert(reply.end(), serverProof.begin(), serverProof.end());
  }
  co_await wire->writeFrame(reply);
  if (status != HandshakeStatus::ok) {
    wire->cancelAfter(cancelDelay);  // lets the status frame leave first
    throw HandshakeError::status(status);
  }
  co_return make(wire, std::move(client), CipherState(keys.serverToClient), CipherState(keys.clientToServer));
}

awaitable<std::shared_ptr<SecureChannel>> SecureChannel::server(std::shared_ptr<Wire> wire, std::string password,
                                                                std::string name, Duration timeout,
                                                                SessionAdmit admit, CpuPool& cpu) {
  Admit byMatch = [admit = std::move(admit)](const Hello& client, PasswordMatch match) {
    return admit(client, match != PasswordMatch::none);
  };
  co_return co_await server(std::move(wire), std::move(password), std::nullopt, std::move(name), timeout,
                            std::move(byMatch), cpu);
}

}  // namespace pellora
