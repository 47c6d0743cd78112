#include "core/tcp_path.h"

#include <gtest/gtest.h>
#include <netinet/in.h>
#include <sys/socket.h>

#include "core/wire.h"
#include "support/loopback.h"

namespace pellora {
namespace {

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
}

TEST(TcpPath, FiguresComeFromTheLiveConnectionAndEndWithIt) {
  test::Loopback net;
  auto [client, server] = net.pair();
  // A few exchanges give the kernel round-trip samples.
  const Bytes payload(4096, 7);
  for (int i = 0; i < 4; ++i) {
    auto got = net.spawn(server->readFrame());
    auto sent = net.spawn(client->writeFrame(payload));
    net.runUntil([&] { return got->done && sent->done; });
    ASSERT_TRUE(got->value);
  }
  const std::optional<PathFigures> figures = client->pathFigures();
  ASSERT_TRUE(figures);
  EXPECT_GT(figures->rttMicros, 0);
  EXPECT_GT(figures->minRttMicros, 0);
  EXPECT_LE(figures->minRttMicros, figures->rttMicros);
  EXPECT_EQ(figures->queueingMicros(), figures->rttMicros - figures->minRttMicros);
  EXPECT_GE(figures->notsentBytes, 0);

  client->cancel();
  net.runUntil([&] { return !client->pathFigures(); });
  EXPECT_FALSE(TcpPath::read(-1));
}

TEST(TcpPath, QueueingIsNeverNegative) {
  PathFigures f;
  f.rttMicros = 900;
  f.minRttMicros = 1000;  // the smoothed value may dip below the minimum sample
  EXPECT_EQ(f.queueingMicros(), 0);
}

}  // namespace
}  // namespace pellora
