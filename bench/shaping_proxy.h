#pragma once

// A slow network path on loopback, for benchmarks: a TCP proxy that passes each direction through a
// bottleneck of a given rate with a small router queue, then a one-way delay. It stops reading while its
// queue is full, so back-pressure reaches the sender through its own socket as on a real path.

#include <atomic>
#include <chrono>
#include <cstdint>
#include <memory>
#include <thread>
#include <vector>

namespace pellora::bench {

// Threads of its own: one accepting, and a reader and a writer per direction of each connection.
class ShapingProxy {
 public:
  struct Path {
    std::int64_t bitsPerSecond = 10'000'000;
    std::chrono::microseconds oneWay{30'000};
    std::chrono::microseconds routerQueue{50'000};
  };

  // Listens on 127.0.0.1 (a port of its own choosing) and forwards every connection to `targetPort`.
  ShapingProxy(std::uint16_t targetPort, Path path);
  ~ShapingProxy();
  ShapingProxy(const ShapingProxy&) = delete;
  ShapingProxy& operator=(const ShapingProxy&) = delete;

  std::uint16_t port() const { return port_; }
  // A new bottleneck rate for both directions, from now on.
  void setRate(std::int64_t bitsPerSecond) { rate_ = bitsPerSecond; }

 private:
  struct Direction;
  void acceptLoop();

  const std::uint16_t targetPort_;
  const Path path_;
  std::atomic<std::int64_t> rate_;
  int listener_ = -1;
  std::uint16_t port_ = 0;
  std::atomic<bool> stopping_{false};
  std::thread acceptor_;
  std::vector<std::shared_ptr<Direction>> directions_;  // acceptor thread until it ends
  std::vector<int> sockets_;
};

}  // namespace pellora::bench
