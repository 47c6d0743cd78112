// Arbitrary bytes sent to a running relay: it answers or closes, never crashes, hangs or grows. The server
// runs in this process on a loopback port; each input is one connection whose sending side is closed after
// the input, so an incomplete head ends at once instead of waiting for the header deadline.

#include <arpa/inet.h>
#include <sys/socket.h>
#include <sys/time.h>
#include <unistd.h>

#include <cstdlib>
#include <filesystem>
#include <thread>

#include "relay/relay_server.h"

namespace {

std::filesystem::path database;

// libFuzzer ends a run with exit(): the relay's database and its journal files go then.
void removeDatabase() {
  std::error_code ignored;
  for (const char* suffix : {"", "-wal", "-shm"}) std::filesystem::remove(database.string() + suffix, ignored);
}

struct Relay {
  boost::asio::io_context io;
  std::unique_ptr<pellora::relay::LocalRelayRegistry> registry;
  std::unique_ptr<pellora::relay::RelayServer> server;
  std::thread thread;
  std::uint16_t port = 0;

  Relay() {
    pellora::relay::RelayConfig config;
    config.listenPort = 0;
    config.registrationsPerMinute = 1'000'000;
    config.connectsPerMinute = 1'000'000;
    config.acceptsPerMinute = 1'000'000;
    config.hostLoginsPerMinute = 1'000'000;
    config.connectsPerIdentityPerMinute = 1'000'000;
    config.acceptTimeout = std::chrono::seconds(1);
    database = std::filesystem::temp_directory_path() / ("relay-fuzz-" + std::to_string(getpid()) + ".db");
    removeDatabase();
    std::atexit(removeDatabase);
    registry = std::make_unique<pellora::relay::LocalRelayRegistry>(database);
    server = std::make_unique<pellora::relay::RelayServer>(io, config, *registry);
    server->start();
    port = server->localEndpoint().port();
    thread = std::thread([this] { io.run(); });
  }
};

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  static Relay* relay = new Relay();  // lives for the whole run
  int fd = socket(AF_INET, SOCK_STREAM, 0);
  sockaddr_in addr{};
  addr.sin_family = AF_INET;
  addr.sin_port = htons(relay->port);
  addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  if (connect(fd, reinterpret_cast<sockaddr*>(&addr), sizeof addr) != 0) std::abort();
  timeval tv{5, 0};  // a relay that neither answers nor closes within this is hanging
  setsockopt(fd, SOL_SOCKET, SO_RCVTIMEO, &tv, sizeof tv);
  for (std::size_t sent = 0; sent < size;) {
    ssize_t n = send(fd, data + sent, size - sent, MSG_NOSIGNAL);
    if (n <= 0) break;  // the relay may answer and close before reading everything
    sent += static_cast<std::size_t>(n);
  }
  shutdown(fd, SHUT_WR);
  char buffer[4096];
  for (;;) {
    ssize_t n = recv(fd, buffer, sizeof buffer, 0);
    if (n == 0 || (n < 0 && errno == ECONNRESET)) break;
    if (n < 0) std::abort();
  }
  close(fd);
  return 0;
}
