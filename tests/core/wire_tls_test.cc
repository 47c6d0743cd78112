// TLS wires against a local server whose certificate comes from a CA made for the test.

#include <gtest/gtest.h>
#include <openssl/ssl.h>

#include <boost/asio/read.hpp>
#include <boost/asio/ssl.hpp>
#include <boost/asio/write.hpp>

#include "core/wire.h"
#include "support/loopback.h"
#include "support/test_ca.h"

namespace pellora {
namespace {

namespace asio = boost::asio;
using test::Loopback;

// Accepts one TLS connection, records the protocols the client offered, and echoes four bytes.
struct TlsEchoServer {
  explicit TlsEchoServer(const test::TestCA& ca) : context(asio::ssl::context::tls_server) {
    context.use_certificate_chain_file(ca.serverCertificate.string());
    context.use_private_key_file(ca.serverKey.string(), asio::ssl::context::pem);
    SSL_CTX_set_alpn_select_cb(
        context.native_handle(),
        [](SSL*, const unsigned char** out, unsigned char* outLength, const unsigned char* in, unsigned int inLength,
           void* arg) {
          *static_cast<std::string*>(arg) = std::string(reinterpret_cast<const char*>(in), inLength);
          *out = in + 1;
          *outLength = in[0];
          return SSL_TLSEXT_ERR_OK;
        },
        &offeredProtocols);
  }

  asio::awaitable<void> serve(Loopback& net) {
    auto socket = co_await net.acceptSocket();
    asio::ssl::stream<asio::ip::tcp::socket&> tls(*socket, context);
    co_await tls.async_handshake(asio::ssl::stream_base::server, asio::use_awaitable);
    std::array<char, 4> buffer;
    co_await asio::async_read(tls, asio::buffer(buffer), asio::use_awaitable);
    co_await asio::async_write(tls, asio::buffer(buffer), asio::use_awaitable);
  }

  asio::ssl::context context;
  std::string offeredProtocols;
};

class WireTls : public ::testing::Test {
 protected:
  // Connects to the test server as `host` and exchanges four bytes; returns the error text, or "" on success.
  std::string exchange(const std::string& host, std::shared_ptr<asio::ssl::context> clientContext) {
    TlsEchoServer server(ca);
    auto served = net.spawn(server.serve(net));
    auto wire = Wire::tcp(net.io.get_executor(), host, net.port(), true, std::move(clientContext));
    const auto client = net.run(ping(wire));
    wire->cancel();
    net.runUntil([&] { return served->done; });
    if (client.error) return client.errorText();
    EXPECT_EQ(*client.value, pingBytes());
    offered = server.offeredProtocols;
    return "";
  }

  static asio::awaitable<Bytes> ping(std::shared_ptr<Wire> w) {
    co_await w->start();
    co_await w->write(pingBytes());
    co_return co_await w->read(4);
  }
  // (GCC 12 miscompiles an initializer list inside a coroutine.)
  static Bytes pingBytes() { return {'p', 'i', 'n', 'g'}; }

  test::TestCA ca{false};  // names localhost, not 127.0.0.1
  Loopback net;
  std::string offered;
};

TEST_F(WireTls, TrustedAuthorityIsAcceptedWithAlpnAndHostNameChecked) {
  EXPECT_EQ(exchange("localhost", Wire::clientTlsContext(ca.caCertificate.string())), "");
  EXPECT_EQ(offered, std::string("\x08http/1.1"));

  // The same trusted certificate does not name 127.0.0.1.
  const std::string error = exchange("127.0.0.1", Wire::clientTlsContext(ca.caCertificate.string()));
  EXPECT_EQ(error.rfind("Bağlanılamadı: ", 0), 0u) << error;
}

}  // namespace
}  // namespace pellora
