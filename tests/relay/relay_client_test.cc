// The relay client against a real pellora-relay process (registration, the host's control connection,
// TLS, and every error the relay can answer with) and against a scripted stand-in.

#include "core/relay_client.h"

#include <gtest/gtest.h>
#include <unistd.h>

#include <boost/asio/read.hpp>
#include <boost/asio/write.hpp>
#include <filesystem>

#include "core/relay_error.h"
#include "core/relay_protocol.h"
#include "support/loopback.h"
#include "support/relay_process.h"
#include "support/scoped_env.h"
#include "support/temp_dir.h"
#include "support/test_ca.h"
#include "support/test_vectors.h"

namespace pellora {
namespace {

using boost::asio::awaitable;
using test::RelayProcess;

std::string relayErrorText(const std::exception_ptr& e) {
  try {
    std::rethrow_exception(e);
  } catch (const RelayError& r) {
    return r.description();
  } catch (...) {
    return test::errorText(e);
  }
}

class RelayClientTest : public ::testing::Test {
 protected:
  // The relay's options after its own database.
  std::vector<std::string> options(const std::vector<std::string>& more = {}) {
    std::vector<std::string> all{"--db", (folder / "relay.db").string()};
    all.insert(all.end(), more.begin(), more.end());
    return all;
  }
  RelayClient client(const RelayProcess& relay) { return RelayClient(net.io.get_executor(), relay.url()); }

  template <typename T>
  T run(awaitable<T> task) {
    auto outcome = net.spawn(std::move(task));
    net.runUntil([&] { return outcome->done; });
    if (outcome->error) std::rethrow_exception(outcome->error);
    if constexpr (!std::is_void_v<T>) return std::move(*outcome->value);
  }
  template <typename T>
  std::string failure(awaitable<T> task) {
    auto outcome = net.spawn(std::move(task));
    net.runUntil([&] { return outcome->done; });
    return outcome->error ? relayErrorText(outcome->error) : "(succeeded)";
  }
  std::string readLine(const std::shared_ptr<Wire>& wire) {
    Bytes line = run(wire->readUntil(Bytes{'\n'}, RelayProtocol::maxHead));
    return std::string(line.begin(), line.end());
  }

  test::TempDir folder{"relay-client"};
  test::Loopback net;
};

TEST_F(RelayClientTest, RelayRefusalsCarryTheirTexts) {
  RelayProcess relay(options({"--accept-timeout", "1", "--connects-per-minute", "2"}));
  RelayClient relayClient = client(relay);
  const RelayIdentity identity = run(relayClient.registerIdentity());

  EXPECT_EQ(failure(relayClient.connect(identity.id)), "Karşı bilgisayar çevrimdışı ya da kimlik yanlış");
  EXPECT_EQ(failure(relayClient.hostControl({identity.id, "yanlış"})), "Relay kimliği doğrulanamadı");
  auto control = run(relayClient.hostControl(identity));
  EXPECT_EQ(failure(relayClient.connect(identity.id)), "Karşı bilgisayar yanıt vermedi") << "the host never accepted";
  EXPECT_EQ(failure(relayClient.accept("no-such-token")), "Relay hatası 404 token");
  EXPECT_EQ(failure(relayClient.connect(identity.id)), "Çok fazla deneme; biraz bekleyin");
}

TEST_F(RelayClientTest, HttpsRelayWithTheOperatorsCertificate) {
  test::TestCA ca;
  RelayProcess relay(options({"--tls-cert", ca.serverCertificate.string(), "--tls-key", ca.serverKey.string()}));
  RelayClient trusting(net.io.get_executor(), relay.url("https", "localhost"), Wire::clientTlsContext(ca.caCertificate.string()));
  EXPECT_TRUE(trusting.usesTLS());
  const RelayIdentity identity = run(trusting.registerIdentity());
  auto control = run(trusting.hostControl(identity));
  run(control->write(Bytes(RelayControl::ping.begin(), RelayControl::ping.end())));
  EXPECT_EQ(RelayControl::parse(asBytes(readLine(control))).kind, RelayControl::Event::Kind::pong);

  RelayClient systemRoots(net.io.get_executor(), relay.url("https", "localhost"));
  EXPECT_EQ(failure(systemRoots.registerIdentity()).rfind("Bağlanılamadı: ", 0), 0u);
  EXPECT_EQ(failure(systemRoots.hostControl(identity)).rfind("Bağlanılamadı: ", 0), 0u);
}

TEST_F(RelayClientTest, ErrorBodiesAndEarlyPeerBytesFromAScriptedRelay) {
  // A relay stand-in that answers each connection with a scripted reply.
  auto answer = [&](std::string reply) {
    return [this, reply]() -> awaitable<std::string> {
      auto socket = co_await net.acceptSocket();
      std::string request;
      char c;
      while (!request.ends_with("\r\n\r\n")) {
        co_await boost::asio::async_read(*socket, boost::asio::buffer(&c, 1), boost::asio::use_awaitable);
        request.push_back(c);
      }
      co_await boost::asio::async_write(*socket, boost::asio::buffer(reply), boost::asio::use_awaitable);
      co_return request;
    };
  };
  RelayClient relayClient(net.io.get_executor(), "http://127.0.0.1:" + std::to_string(net.port()) + "/base/");

  auto script = answer("HTTP/1.1 101 Switching Protocols\r\n\r\nPEER");
  auto seen = net.spawn(script());
  auto wire = run(relayClient.connect("123 456 789"));
  EXPECT_EQ(run(wire->read(4)), (Bytes{'P', 'E', 'E', 'R'})) << "bytes after the head belong to the peer";
  net.runUntil([&] { return seen->done; });
  EXPECT_EQ(*seen->value, test::wireVectors().at("relay").at("upgradeRequests").at(0).at("bytes").as_string());

  auto capacity = answer("HTTP/1.1 503 Service Unavailable\r\nContent-Length: 20\r\n\r\n{\"error\":\"capacity\"}");
  net.spawn(capacity());
  EXPECT_EQ(failure(relayClient.accept("t")), "Relay şu an dolu");
  auto bare = answer("HTTP/1.1 429 Too Many Requests\r\n\r\n");
  net.spawn(bare());
  EXPECT_EQ(failure(relayClient.accept("t")), "Relay hatası 429 unknown");
  auto endless = answer("HTTP/1.1 200 OK\r\n" + std::string(20000, 'x'));
  net.spawn(endless());
  EXPECT_EQ(failure(relayClient.accept("t")), "Çerçeve çok büyük (16384 bayt)") << "a head without an end";
}

TEST(RelayClientURL, PortsTlsAndPathsAsTheVectorsSay) {
  boost::asio::io_context io;
  for (const auto& c : test::wireVectors().at("relay").at("ports").as_array()) {
    RelayClient r(io.get_executor(), std::string(c.at("base").as_string()));
    EXPECT_EQ(r.port(), c.at("port").as_int64()) << c.at("base");
    EXPECT_EQ(r.usesTLS(), c.at("tls").as_bool());
    EXPECT_EQ(r.registerPath(), c.at("registerPath").as_string());
  }
  RelayClient hostControl(io.get_executor(), "https://relay.example.org:8443/base");
  EXPECT_EQ(hostControl.upgradeRequest("/v1/host", {{"X-Pellora-Id", "987654321"}, {"X-Pellora-Secret", "s3cr3t"}}),
            test::wireVectors().at("relay").at("upgradeRequests").at(2).at("bytes").as_string());
  RelayClient noHost(io.get_executor(), "not a url");
  EXPECT_EQ(noHost.host(), "");
  EXPECT_EQ(RelayClient(io.get_executor(), "relay.example.org").port(), 80) << "no scheme";
}

// The host's secret (and every identity) travels in clear only to this machine, unless the operator allows
// it for a trusted network. (The other tests here use a relay on this machine over plain http.)
TEST_F(RelayClientTest, PlainHttpOnlyToThisMachine) {
  test::ScopedEnv env(RelayClient::allowPlainHTTPEnvironment, nullptr);
  auto inClear = [this](const char* url) { return RelayClient(net.io.get_executor(), url).plainTextToAnotherMachine(); };
  for (const char* url : {"http://127.0.0.1:8270", "http://127.3.2.1", "http://[::1]:8270/relay", "http://LocalHost:1",
                          "https://relay.example.org", "https://192.0.2.1"})
    EXPECT_FALSE(inClear(url)) << url;
  for (const char* url :
       {"http://relay.example.org", "http://10.0.0.1:81/x/", "http://[2001:db8::1]", "http://localhost.example.org"})
    EXPECT_TRUE(inClear(url)) << url;

  // Refused before anything is sent (192.0.2.1 is a documentation address that nothing answers).
  RelayClient remote(net.io.get_executor(), "http://192.0.2.1:8270");
  EXPECT_EQ(failure(remote.registerIdentity()), "Geçersiz relay adresi");
  EXPECT_EQ(failure(remote.hostControl(RelayIdentity{"123456789", "s3cr3t"})), "Geçersiz relay adresi");
  EXPECT_EQ(failure(remote.connect("123456789")), "Geçersiz relay adresi");
  EXPECT_FALSE(RelayClient::plainHTTPAllowed());
  env.set(RelayClient::allowPlainHTTPEnvironment, "yes");
  EXPECT_FALSE(RelayClient::plainHTTPAllowed()) << "only an explicit 1";
  env.set(RelayClient::allowPlainHTTPEnvironment, "1");
  EXPECT_TRUE(RelayClient::plainHTTPAllowed());
}

TEST(RelayClientURL, EnvironmentOverridesTheSetting) {
  unsetenv("PELLORA_RELAY_URL");
  EXPECT_EQ(RelayClient::effectiveURL("https://r.example.org"), "https://r.example.org");
  EXPECT_EQ(RelayClient::effectiveURL("kein url"), RelayClient::defaultURL());
  setenv("PELLORA_RELAY_URL", "http://127.0.0.1:8270", 1);
  EXPECT_EQ(RelayClient::effectiveURL("https://r.example.org"), "http://127.0.0.1:8270");
  unsetenv("PELLORA_RELAY_URL");
}

}  // namespace
}  // namespace pellora
