#include "shaping_proxy.h"

#include <arpa/inet.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <condition_variable>
#include <deque>
#include <mutex>
#include <stdexcept>

namespace pellora::bench {

using Clock = std::chrono::steady_clock;

// One direction of one connection: bytes read from `from` leave the bottleneck one after another at the
// path's rate and reach `to` one one-way delay later.
struct ShapingProxy::Direction {
  struct Chunk {
    std::vector<char> data;
    Clock::time_point deliverAt;
  };
  int from, to;
  const Path path;
  std::atomic<std::int64_t>& rate;
  std::mutex lock;
  std::condition_variable changed;
  std::deque<Chunk> line;
  Clock::time_point lastDeparture = Clock::now();
  bool ended = false;
  std::thread reader, writer;

  Direction(int f, int t, Path p, std::atomic<std::int64_t>& r) : from(f), to(t), path(p), rate(r) {
    reader = std::thread([this] { readLoop(); });
    writer = std::thread([this] { writeLoop(); });
  }
  ~Direction() {
    reader.join();
    writer.join();
  }

  void readLoop() {
    std::vector<char> buffer(16 * 1024);
    for (;;) {
      {
        // The router queue is full: stop reading, so that the sender's socket fills.
        std::unique_lock guard(lock);
        const auto until = lastDeparture - path.routerQueue;
        if (Clock::now() < until) changed.wait_until(guard, until, [&] { return ended || Clock::now() >= until; });
        if (ended) return;
      }
      const double bytesPerSecond = static_cast<double>(rate.load()) / 8;
      // Small reads at low rates, so that one read is never a long burst at the bottleneck.
      const auto chunk = static_cast<std::size_t>(std::clamp(bytesPerSecond / 500, 1500.0, 16384.0));
      const ssize_t n = ::read(from, buffer.data(), chunk);
      std::lock_guard guard(lock);
      if (n <= 0) {
        ended = true;
        changed.notify_all();
        return;
      }
      const auto now = Clock::now();
      const auto transmit = std::chrono::duration_cast<Clock::duration>(
          std::chrono::duration<double>(static_cast<double>(n) / bytesPerSecond));
      lastDeparture = std::max(now, lastDeparture) + transmit;
      line.push_back({std::vector<char>(buffer.begin(), buffer.begin() + n), lastDeparture + path.oneWay});
      changed.notify_all();
    }
  }

  void writeLoop() {
    for (;;) {
      Chunk chunk;
      {
        std::unique_lock guard(lock);
        changed.wait(guard, [&] { return ended || !line.empty(); });
        if (line.empty()) break;
        chunk = std::move(line.front());
        line.pop_front();
      }
      std::this_thread::sleep_until(chunk.deliverAt);
      for (std::size_t sent = 0; sent < chunk.data.size();) {
        const ssize_t n = ::send(to, chunk.data.data() + sent, chunk.data.size() - sent, MSG_NOSIGNAL);
        if (n <= 0) {
          std::lock_guard guard(lock);
          ended = true;
          changed.notify_all();
          ::shutdown(from, SHUT_RDWR);  // the reader stops too
          return;
        }
        sent += static_cast<std::size_t>(n);
      }
      std::lock_guard guard(lock);
      changed.notify_all();
    }
    ::shutdown(to, SHUT_WR);
  }
};

namespace {

sockaddr_in loopback(std::uint16_t port) {
  sockaddr_in a{};
  a.sin_family = AF_INET;
  a.sin_port = htons(port);
  a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  return a;
}

// A small receive buffer, so that the proxy's own socket adds no hidden queue before the bottleneck.
void tune(int fd) {
  const int size = 16 * 1024, one = 1;
  ::setsockopt(fd, SOL_SOCKET, SO_RCVBUF, &size, sizeof size);
  ::setsockopt(fd, IPPROTO_TCP, TCP_NODELAY, &one, sizeof one);
}

}  // namespace

ShapingProxy::ShapingProxy(std::uint16_t targetPort, Path path)
    : targetPort_(targetPort), path_(path), rate_(path.bitsPerSecond) {
  listener_ = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
  tune(listener_);  // inherited by accepted sockets before the handshake sizes their window
  sockaddr_in address = loopback(0);
  socklen_t size = sizeof address;
  if (::bind(listener_, reinterpret_cast<sockaddr*>(&address), sizeof address) != 0 || ::listen(listener_, 8) != 0 ||
      ::getsockname(listener_, reinterpret_cast<sockaddr*>(&address), &size) != 0)
    throw std::runtime_error("the shaping proxy cannot listen");
  port_ = ntohs(address.sin_port);
  acceptor_ = std::thread([this] { acceptLoop(); });
}

ShapingProxy::~ShapingProxy() {
  stopping_ = true;
  ::shutdown(listener_, SHUT_RDWR);
  acceptor_.join();
  for (int fd : sockets_) ::shutdown(fd, SHUT_RDWR);
  for (auto& d : directions_) {
    std::lock_guard guard(d->lock);
    d->ended = true;
    d->changed.notify_all();
  }
  directions_.clear();
  for (int fd : sockets_) ::close(fd);
  ::close(listener_);
}

void ShapingProxy::acceptLoop() {
  while (!stopping_) {
    const int client = ::accept4(listener_, nullptr, nullptr, SOCK_CLOEXEC);
    if (client < 0) return;
    const int server = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    tune(server);
    const sockaddr_in target = loopback(targetPort_);
    if (::connect(server, reinterpret_cast<const sockaddr*>(&target), sizeof target) != 0) {
      ::close(server);
      ::close(client);
      continue;
    }
    sockets_.insert(sockets_.end(), {client, server});
    directions_.push_back(std::make_shared<Direction>(client, server, path_, rate_));
    directions_.push_back(std::make_shared<Direction>(server, client, path_, rate_));
  }
}

}  // namespace pellora::bench
