#pragma once

#include <boost/asio/awaitable.hpp>
#include <boost/asio/ssl/context.hpp>
#include <cstdint>
#include <map>
#include <memory>
#include <string>
#include <string_view>

#include "core/relay_identity.h"
#include "core/wire.h"

namespace pellora {

// How a viewer and a host meet through a relay: registration over HTTP(S), and HTTP/1.1 upgrades whose
// connections, after the relay's 101, are plain Wires spliced to the other side. Holds nothing but the
// relay's base URL (and the TLS roots to trust); every operation opens its own connection, and several may
// run at once. Operations are awaitable from any executor; their sockets run on `executor`.
class RelayClient {
 public:
  // The relay used when none is configured. A build option whose default is a reserved ".invalid" name,
  // so that nothing is contacted until an operator sets one.
  static std::string defaultURL();
  // The relay to use: PELLORA_RELAY_URL from the environment, else `setting` when it is a URL with a host,
  // else defaultURL().
  static std::string effectiveURL(std::string_view setting);

  // `tls`: the roots to verify the relay's certificate with (default: the system's, Wire::clientTlsContext()).
  RelayClient(Wire::Executor executor, std::string baseURL, std::shared_ptr<boost::asio::ssl::context> tls = nullptr);

  const std::string& baseURL() const { return baseURL_; }
  // The base URL's host; empty when it has none (operations then throw RelayError::badURL).
  const std::string& host() const { return host_; }
  // The explicit port, else 443 for https and 80 for anything else.
  std::uint16_t port() const { return port_; }
  bool usesTLS() const { return tls_; }
  // Whether operations would cross the network unencrypted: plain http:// to a host other than a loopback
  // address or "localhost". Such a client refuses every operation with RelayError::badURL (the host's
  // secret and every identity would travel in clear) unless allowPlainHTTPEnvironment is "1".
  bool plainTextToAnotherMachine() const;
  static constexpr const char* allowPlainHTTPEnvironment = "PELLORA_RELAY_ALLOW_HTTP";
  static bool plainHTTPAllowed();
  // The base URL's path with "v1/register" appended as a path component.
  std::string registerPath() const;
  // The exact bytes of an upgrade request to `path` with `headers` (sent in ascending name order).
  std::string upgradeRequest(std::string_view path, const std::map<std::string, std::string>& headers) const;

  // POST .../v1/register (15 s): a fresh identity. Throws RelayError for an answer other than 200,
  // WireError::invalid("JSON") for a 200 without one, TransportError when the relay cannot be reached.
  boost::asio::awaitable<RelayIdentity> registerIdentity() const;
  // The viewer's side: a wire spliced to the host of `id` (only its digits are sent, so "123 456 789" works).
  boost::asio::awaitable<std::shared_ptr<Wire>> connect(std::string_view id) const;
  // The host's side of one incoming viewer.
  boost::asio::awaitable<std::shared_ptr<Wire>> accept(std::string token) const;
  // The host's control connection, carrying RelayControl lines.
  boost::asio::awaitable<std::shared_ptr<Wire>> hostControl(const RelayIdentity& identity) const;
  // The common upgrade: connect, send the request, read the head; a wire after 101, else RelayError with
  // the code of the error body. The wire is cancelled on every failure.
  boost::asio::awaitable<std::shared_ptr<Wire>> upgrade(std::string path, std::map<std::string, std::string> headers) const;

 private:
  Wire::Executor executor_;
  std::string baseURL_;
  std::shared_ptr<boost::asio::ssl::context> tlsContext_;
  std::string host_;
  std::string basePath_;
  std::uint16_t port_ = 80;
  bool tls_ = false;
};

}  // namespace pellora
