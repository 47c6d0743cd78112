#pragma once

#include <boost/asio/awaitable.hpp>
#include <chrono>
#include <atomic>
#include <cstdint>
#include <functional>
#include <memory>
#include <mutex>
#include <optional>
#include <string>

#include "base/cpu_pool.h"
#include "core/cipher_state.h"
#include "core/handshake_error.h"
#include "core/hello.h"
#include "core/message.h"
#include "core/wire.h"

namespace pellora {

// Which handshake versions the viewer's side offers and accepts. Version 2 (SPAKE2) is asked for inside
// the version-1 client hello, so a version-1 host answers in version 1 as before.
struct ClientHandshakeOptions {
  bool offerVersion2 = true;
  // The target completed version 2 before (it is pinned): an answer in version 1 ends the attempt with
  // HandshakeError::downgraded before anything derived from the password is sent.
  bool requireVersion2 = false;
};

// Which versions the host's side answers in, and how long a caller may take over its part.
struct ServerHandshakeOptions {
  bool acceptVersion2 = true;
  // Callers that do not ask for version 2 are refused: they get a version-1 hello, their proof is not
  // checked and they are answered `rejected` (no password is derived, `admit` is not called).
  bool refuseVersion1 = false;
  // Deadlines inside the whole handshake's timeout, so that a silent caller frees its place soon: the
  // client's hello must arrive within `helloTimeout` of the start, its proof (version 2: its finish)
  // within `proofTimeout` of the server's hello. `admit` runs under the whole timeout only.
  std::chrono::steady_clock::duration helloTimeout = std::chrono::seconds(5);
  std::chrono::steady_clock::duration proofTimeout = std::chrono::seconds(15);
  // Asked once the client's hello is read, before any work on a password. A status other than `ok` turns
  // the caller away the way `refuseVersion1` does, with that status (`admit` is not called). Runs on the
  // handshake's executor.
  std::function<HandshakeStatus(const Hello& client)> screen;
};

// An authenticated, encrypted message channel over one Wire, created only by the handshake. Shared by
// everything that talks over the connection: `send`, `queuedBytes` and `close` may be called from any
// thread; `receive` has exactly one reader (a session's receive task). Owns its wire; destroying the
// channel does not close the connection by itself.
class SecureChannel : public std::enable_shared_from_this<SecureChannel> {
 public:
  // Which of the server's passwords the client's proof matched.
  enum class PasswordMatch { none, session, permanent };

  // Decides whether a caller is admitted; may suspend (an approval prompt) while the handshake timer runs.
  using Admit = std::function<boost::asio::awaitable<HandshakeStatus>(const Hello& client, PasswordMatch match)>;
  using SessionAdmit = std::function<boost::asio::awaitable<HandshakeStatus>(const Hello& client, bool matched)>;
  using Duration = std::chrono::steady_clock::duration;

  // How long a refused caller or a `bye` gets to leave before the connection is cancelled.
  static constexpr std::chrono::milliseconds cancelDelay{300};
  // The largest frame either side reads before the channel is up: room for the largest valid record of
  // both versions, so that a stranger cannot make us buffer more than this.
  static constexpr std::uint32_t maxHandshakeFrame = 1024;

  using ClientOptions = ClientHandshakeOptions;
  using ServerOptions = ServerHandshakeOptions;

  // The viewer's side. Starts the wire; PBKDF2 runs on `cpu`. Throws TransportError, WireError,
  // HandshakeError or CryptoError (a peer key or share that is not a P-256 point). On failure the caller
  // cancels the wire; the timer cancels it when `timeout` passes first.
  static boost::asio::awaitable<std::shared_ptr<SecureChannel>> client(std::shared_ptr<Wire> wire, std::string password,
                                                                       std::string name, Duration timeout, CpuPool& cpu,
                                                                       ClientOptions options = {});

  // The host's side. Version 1: both PBKDF2 runs (session password, then the permanent one or a throwaway)
  // on `cpu`. Version 2: one PBKDF2 run per password held, side by side on `cpu`. A status other than `ok`
  // from `admit` (or from `options.screen`, before any derivation) is sent, the wire is cancelled 0.3 s later
  // and HandshakeError::status is thrown. Every record read before the channel is up is bounded by
  // `maxHandshakeFrame`.
  static boost::asio::awaitable<std::shared_ptr<SecureChannel>> server(std::shared_ptr<Wire> wire, std::string password,
                                                                       std::optional<std::string> permanentPassword,
                                                                       std::string name, Duration timeout, Admit admit,
                                                                       CpuPool& cpu, ServerOptions options = {});
  // Without a permanent password; `admit` learns whether the session password matched.
  static boost::asio::awaitable<std::shared_ptr<SecureChannel>> server(std::shared_ptr<Wire> wire, std::string password,
                                                                       std::string name, Duration timeout,
                                                                       SessionAdmit admit, CpuPool& cpu,
                                                                       ServerOptions options = {});

  // A channel over keys agreed elsewhere (the handshake; tests).
  static std::shared_ptr<SecureChannel> make(std::shared_ptr<Wire> wire, Hello peer, CipherState sendCipher,
                                             CipherState receiveCipher, int handshakeVersion = 1);

  const std::shared_ptr<Wire>& wire() const { return wire_; }
  // The other side's hello: its name and system (after version 2 also the host's salt and iterations;
  // no key).
  const Hello& peer() const { return peer_; }
  // Which handshake protects the channel: 1, or 2 (SPAKE2).
  int handshakeVersion() const { return handshakeVersion_; }

  // Seals and hands the message to the wire without waiting; never throws. Dropped silently once the
  // channel is closed. Failures surface on the receiving side.
  void send(const Message& message);
  // Bytes of frames handed to the wire and not yet written.
  std::int64_t queuedBytes() const;
  // The next message. Throws TransportError, WireError or CryptoError (a tampered, replayed or reordered
  // record; once one failed, every later receive fails the same way).
  boost::asio::awaitable<Message> receive();
  // Sends `bye(reason)` and cancels the wire 0.3 s later, or without a reason cancels at once. Only the
  // first close (or failed send) cancels.
  void close(std::optional<std::string> reason);
  bool isClosed() const;

 private:
  SecureChannel(std::shared_ptr<Wire> wire, Hello peer, CipherState sendCipher, CipherState receiveCipher,
                int handshakeVersion);
  void sent(std::size_t frameSize, bool failed);

  const std::shared_ptr<Wire> wire_;
  const Hello peer_;
  const int handshakeVersion_;
  // Guards sendCipher_ and the hand-over to the wire; never held across a wait. A sender holds it while it
  // seals a whole frame (a keyframe: megabytes), so the network thread never takes it on its hot paths:
  // write completions and the budget's reads use the atomics alone.
  std::mutex lock_;
  CipherState sendCipher_;
  std::atomic<std::int64_t> pendingBytes_{0};
  std::atomic<bool> closed_{false};  // set under lock_ by close(), so that no frame follows its bye
  CipherState receiveCipher_;   // the single reader's
  bool receiveFailed_ = false;  // the single reader's: a record failed authentication
};

}  // namespace pellora
