#include "core/relay_client.h"

#include <boost/asio/as_tuple.hpp>
#include <boost/asio/ip/tcp.hpp>
#include <boost/asio/ssl/host_name_verification.hpp>
#include <boost/asio/use_awaitable.hpp>
#include <boost/beast/core.hpp>
#include <boost/beast/http.hpp>
#include <boost/beast/ssl.hpp>
#include <boost/url/parse.hpp>
#include <cstdlib>

#include "core/relay_error.h"
#include "core/relay_protocol.h"
#include "core/transport_error.h"
#include "core/wire_error.h"

#ifndef PELLORA_DEFAULT_RELAY_URL
#define PELLORA_DEFAULT_RELAY_URL "https://relay.pellora.invalid"
#endif

namespace pellora {

namespace net = boost::asio;
namespace beast = boost::beast;
namespace http = beast::http;
using net::awaitable;
using net::use_awaitable;

namespace {

constexpr auto registrationTimeout = std::chrono::seconds(15);

struct ParsedURL {
  std::string scheme, host, path;
  std::optional<std::uint16_t> port;
};

std::optional<ParsedURL> parseURL(std::string_view text) {
  auto url = boost::urls::parse_uri(text);
  if (!url) return std::nullopt;
  ParsedURL p;
  p.scheme = std::string(url->scheme());
  p.host = std::string(url->host_address());
  p.path = std::string(url->encoded_path());
  if (url->has_port() && !url->port().empty()) p.port = url->port_number();
  return p;
}

// Runs `request` and returns its status and body; the stream is plain or TLS.
template <typename Stream>
awaitable<std::pair<int, std::string>> exchange(Stream& stream, http::request<http::empty_body>& request) {
  co_await http::async_write(stream, request, use_awaitable);
  beast::flat_buffer buffer;
  http::response_parser<http::string_body> parser;
  parser.body_limit(64 * 1024);
  co_await http::async_read(stream, buffer, parser, use_awaitable);
  co_return std::make_pair(static_cast<int>(parser.get().result_int()), std::move(parser.get().body()));
}

[[noreturn]] void rethrowAsTransport(const boost::system::system_error& e) {
  throw TransportError::connectFailed(e.code().message());
}

}  // namespace

std::string RelayClient::defaultURL() { return PELLORA_DEFAULT_RELAY_URL; }

std::string RelayClient::effectiveURL(std::string_view setting) {
  if (const char* env = std::getenv("PELLORA_RELAY_URL"); env && *env) return env;
  auto parsed = parseURL(setting);
  if (parsed && !parsed->host.empty()) return std::string(setting);
  return defaultURL();
}

RelayClient::RelayClient(Wire::Executor executor, std::string baseURL, std::shared_ptr<net::ssl::context> tls)
    : executor_(std::move(executor)), baseURL_(std::move(baseURL)), tlsContext_(std::move(tls)) {
  if (auto parsed = parseURL(baseURL_)) {
    host_ = parsed->host;
    basePath_ = parsed->path;
    tls_ = parsed->scheme == "https";
    port_ = parsed->port.value_or(tls_ ? 443 : 80);
  }
}

bool RelayClient::plainTextToAnotherMachine() const {
  if (tls_ || host_.empty() || beast::iequals(host_, "localhost")) return false;
  boost::system::error_code ec;
  const auto address = net::ip::make_address(host_, ec);
  return ec || !address.is_loopback();
}

bool RelayClient::plainHTTPAllowed() {
  const char* allow = std::getenv(allowPlainHTTPEnvironment);
  return allow && std::string_view(allow) == "1";
}

namespace {
// Nothing is sent where the URL would have it travel in clear to another machine without the operator's
// say-so.
void checkUsable(const RelayClient& client) {
  if (client.host().empty() || (client.plainTextToAnotherMachine() && !RelayClient::plainHTTPAllowed()))
    throw RelayError::badURL();
}
}  // namespace

std::string RelayClient::registerPath() const {
  std::string path = basePath_;
  if (path.empty() || path.back() != '/') path.push_back('/');
  return path + "v1/register";
}

std::string RelayClient::upgradeRequest(std::string_view path, const std::map<std::string, std::string>& headers) const {
  return RelayProtocol::upgradeRequest(path, host_, headers);
}

awaitable<std::shared_ptr<Wire>> RelayClient::upgrade(std::string path, std::map<std::string, std::string> headers) const {
  checkUsable(*this);
  auto wire = Wire::tcp(executor_, host_, port_, tls_, tlsContext_);
  std::exception_ptr failure;
  try {
    co_await wire->start();
    const std::string request = upgradeRequest(path, headers);
    co_await wire->write(Bytes(request.begin(), request.end()));
    Bytes endOfHead{'\r', '\n', '\r', '\n'};
    const Bytes head = co_await wire->readUntil(std::move(endOfHead), RelayProtocol::maxHead);
    const RelayProtocol::Head parsed = RelayProtocol::parseHead(head);
    if (parsed.status == 101) co_return wire;  // its next bytes are the other side's

    Bytes body;
    const auto length = static_cast<std::size_t>(
        std::clamp<std::int64_t>(parsed.contentLength, 0, static_cast<std::int64_t>(RelayProtocol::maxErrorBody)));
    try {
      body = co_await wire->read(length);
    } catch (const std::exception&) {
      body.clear();  // an error without its body still has its status
    }
    throw RelayError::http(parsed.status, RelayProtocol::errorCode(body));
  } catch (...) {
    failure = std::current_exception();
  }
  wire->cancel();
  std::rethrow_exception(failure);
}

awaitable<std::shared_ptr<Wire>> RelayClient::connect(std::string_view id) const {
  std::map<std::string, std::string> headers;
  headers[std::string(RelayProtocol::idHeader)] = RelayProtocol::digitsOf(id);
  std::string path(RelayProtocol::connectPath);
  co_return co_await upgrade(std::move(path), std::move(headers));
}

awaitable<std::shared_ptr<Wire>> RelayClient::accept(std::string token) const {
  std::map<std::string, std::string> headers;
  headers[std::string(RelayProtocol::tokenHeader)] = std::move(token);
  std::string path(RelayProtocol::acceptPath);
  co_return co_await upgrade(std::move(path), std::move(headers));
}

awaitable<std::shared_ptr<Wire>> RelayClient::hostControl(const RelayIdentity& identity) const {
  std::map<std::string, std::string> headers;
  headers[std::string(RelayProtocol::idHeader)] = identity.id;
  headers[std::string(RelayProtocol::secretHeader)] = identity.secret;
  std::string path(RelayProtocol::hostPath);
  co_return co_await upgrade(std::move(path), std::move(headers));
}

awaitable<RelayIdentity> RelayClient::registerIdentity() const {
  checkUsable(*this);
  http::request<http::empty_body> request{http::verb::post, registerPath(), 11};
  request.set(http::field::host, host_);
  request.set(http::field::content_length, "0");

  std::pair<int, std::string> response;
  try {
    net::ip::tcp::resolver resolver(executor_);
    const auto endpoints = co_await resolver.async_resolve(host_, std::to_string(port_), use_awaitable);
    if (tls_) {
      auto context = tlsContext_ ? tlsContext_ : Wire::clientTlsContext();
      beast::ssl_stream<beast::tcp_stream> stream(executor_, *context);
      beast::get_lowest_layer(stream).expires_after(registrationTimeout);
      SSL_set_tlsext_host_name(stream.native_handle(), host_.c_str());
      stream.set_verify_mode(net::ssl::verify_peer);
      stream.set_verify_callback(net::ssl::host_name_verification(host_));
      co_await beast::get_lowest_layer(stream).async_connect(endpoints, use_awaitable);
      co_await stream.async_handshake(net::ssl::stream_base::client, use_awaitable);
      response = co_await exchange(stream, request);
    } else {
      beast::tcp_stream stream(executor_);
      stream.expires_after(registrationTimeout);
      co_await stream.async_connect(endpoints, use_awaitable);
      response = co_await exchange(stream, request);
    }
  } catch (const boost::system::system_error& e) {
    rethrowAsTransport(e);
  }
  if (response.first != 200) throw RelayError::http(response.first, RelayProtocol::errorCode(asBytes(response.second)));
  auto identity = RelayIdentity::fromJSON(response.second);
  if (!identity) throw WireError::invalid("JSON");
  co_return *identity;
}

}  // namespace pellora
