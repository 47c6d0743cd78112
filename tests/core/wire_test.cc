#include "core/wire.h"

#include <gtest/gtest.h>
#include <netinet/in.h>
#include <sys/socket.h>

#include <boost/asio/read.hpp>
#include <boost/asio/write.hpp>
#include <algorithm>
#include <functional>
#include <thread>

#include "core/tcp_path.h"
#include "support/loopback.h"

namespace pellora {
namespace {

namespace asio = boost::asio;
using asio::awaitable;
using test::Loopback;

Bytes text(std::string_view s) { return Bytes(s.begin(), s.end()); }

// The far end as a raw socket, so that the tests control every byte and every close.
struct RawPeer {
  Loopback net;
  std::shared_ptr<Wire> wire;
  std::shared_ptr<asio::ip::tcp::socket> socket;

  RawPeer() {
    wire = net.connect();
    auto accepted = net.spawn(net.acceptSocket());
    auto started = net.spawn(wire->start());
    net.runUntil([&] { return accepted->done && started->done; });
    socket = *accepted->value;
  }
  void send(const Bytes& bytes) { asio::write(*socket, asio::buffer(bytes)); }
  Bytes receive(std::size_t n) {
    Bytes out(n);
    asio::read(*socket, asio::buffer(out));
    return out;
  }
};

TEST(WireRead, BoundsAndEndsOfStream) {
  enum class End { open, closed, halfClosed };
  const auto frame = [](Wire& w) { return w.readFrame(); };
  const struct {
    const char* what;
    Bytes sent;
    End end;
    std::function<awaitable<Bytes>(Wire&)> read;
    const char* error;
  } cases[] = {
      {"a head past its bound", text("0123456789abcdefXYZ"), End::open,
       [](Wire& w) { return w.readUntil(text("\r\n\r\n"), 16); }, "Çerçeve çok büyük (16 bayt)"},
      {"a zero bound", {}, End::open, [](Wire& w) { return w.readUntil(text("\n"), 0); }, "Çerçeve çok büyük (0 bayt)"},
      {"an oversize prefix", {0x02, 0x00, 0x00, 0x01}, End::open, frame, "Çerçeve çok büyük (33554433 bayt)"},
      {"a reader's own bound: the prefix alone decides, nothing of the payload is awaited", {0x00, 0x00, 0x04, 0x01},
       End::open, [](Wire& w) { return w.readFrame(1024); }, "Çerçeve çok büyük (1025 bayt)"},
      {"two of four bytes, then the peer closes", {1, 2}, End::closed, [](Wire& w) { return w.read(4); },
       "Bağlantı kapandı"},
      {"the peer closes in the middle of a frame", {0, 0, 0, 10, 1, 2, 3}, End::halfClosed, frame, "Bağlantı kapandı"},
  };
  for (const auto& c : cases) {
    RawPeer peer;
    if (!c.sent.empty()) peer.send(c.sent);
    if (c.end == End::closed) peer.socket->close();
    if (c.end == End::halfClosed) peer.socket->shutdown(asio::socket_base::shutdown_send);
    EXPECT_EQ(peer.net.run(c.read(*peer.wire)).errorText(), c.error) << c.what;
  }
}

TEST(WireCancel, FailsPendingAndLaterOperationsFromAnyThread) {
  RawPeer peer;
  auto pending = peer.net.spawn(peer.wire->readFrame());
  peer.net.poll();
  std::thread([&] { peer.wire->cancel(); }).join();
  peer.net.runUntil([&] { return pending->done; });
  EXPECT_EQ(pending->errorText(), "Bağlantı kapandı");
  EXPECT_EQ(peer.net.run(peer.wire->read(1)).errorText(), "Bağlantı kapandı");
  EXPECT_EQ(peer.net.run(peer.wire->start()).errorText(), "Bağlantı kapandı");
  EXPECT_FALSE(peer.net.run(peer.wire->write(text("late"))).value);

  // The peer sees the connection end.
  Bytes one(1);
  boost::system::error_code ec;
  asio::read(*peer.socket, asio::buffer(one), ec);
  EXPECT_EQ(ec, asio::error::eof);
}

TEST(WireConnect, ReportsFailuresAndDescribesTheRemoteEnd) {
  Loopback net;
  auto [client, server] = net.pair();
  EXPECT_EQ(client->remoteDescription(), "127.0.0.1:" + std::to_string(net.port()));
  EXPECT_EQ(server->remoteDescription().rfind("127.0.0.1:", 0), 0u);

  // start on a ready wire returns at once.
  EXPECT_TRUE(net.run(client->start()).value);

  const auto unknown = net.run(Wire::tcp(net.io.get_executor(), "no-such-host.invalid", 7171, false)->start());
  EXPECT_EQ(unknown.errorText().rfind("Bağlanılamadı: ", 0), 0u) << unknown.errorText();
}

// The connected TCP sockets of this process whose local or remote port is `port` (the listener has no peer).
std::vector<int> connectedSocketsOn(std::uint16_t port) {
  std::vector<int> found;
  for (int fd = 0; fd < 4096; ++fd) {
    sockaddr_storage local{}, remote{};
    socklen_t localSize = sizeof local, remoteSize = sizeof remote;
    if (::getsockname(fd, reinterpret_cast<sockaddr*>(&local), &localSize) != 0 || local.ss_family != AF_INET) continue;
    if (::getpeername(fd, reinterpret_cast<sockaddr*>(&remote), &remoteSize) != 0) continue;
    const auto portOf = [](const sockaddr_storage& a) { return ntohs(reinterpret_cast<const sockaddr_in&>(a).sin_port); };
    if (portOf(local) == port || portOf(remote) == port) found.push_back(fd);
  }
  return found;
}

TEST(TcpPath, BothEndsOfASessionSocketLimitWhatTheKernelHoldsUnsent) {
  test::Loopback net;
  auto [client, server] = net.pair();
  const std::vector<int> sockets = connectedSocketsOn(net.port());
  ASSERT_EQ(sockets.size(), 2u);
  for (int fd : sockets) EXPECT_EQ(TcpPath::unsentLimitOf(fd), TcpPath::unsentLimit);
  // A session that learnt its path lowers the limit on the live connection; a closed wire ignores it.
  client->limitUnsent(4096);
  EXPECT_EQ(std::count_if(sockets.begin(), sockets.end(), [](int fd) { return TcpPath::unsentLimitOf(fd) == 4096; }), 1);
  client->cancel();
  net.runUntil([&] { return !client->pathFigures(); });
  client->limitUnsent(2048);
  for (int fd : sockets) EXPECT_NE(TcpPath::unsentLimitOf(fd), 2048);
}

TEST(TcpPath, QueueingIsNeverNegativeAndAClosedSocketHasNoFigures) {
  EXPECT_FALSE(TcpPath::read(-1));
  PathFigures dipped{};
  dipped.rttMicros = 1000;
  dipped.minRttMicros = 1100;  // the smoothed value may dip below the minimum sample
  EXPECT_EQ(dipped.queueingMicros(), 0);
}

}  // namespace
}  // namespace pellora
