#pragma once

// What the kernel knows about one TCP connection's path, and the limit on what it holds unsent.

#include <cstdint>
#include <optional>

namespace pellora {

// One reading of a connection's TCP_INFO. Times in microseconds, rates in bytes per second.
struct PathFigures {
  std::int64_t rttMicros = 0;     // smoothed round trip
  std::int64_t minRttMicros = 0;  // the smallest round trip seen: the path without its queues
  std::int64_t deliveryRate = 0;  // the kernel's latest delivery-rate sample
  bool appLimited = false;        // that sample was limited by us, not by the path
  std::int64_t notsentBytes = 0;  // written by us, not yet handed to the network
  std::int64_t bytesAcked = 0;    // acknowledged by the peer since the connection began
  std::int64_t bytesSent = 0;     // handed to the network since the connection began, resent ones too

  // Round trip above the path's own: how long our bytes wait in queues along the way.
  std::int64_t queueingMicros() const { return rttMicros > minRttMicros ? rttMicros - minRttMicros : 0; }
};

namespace TcpPath {

// What the kernel may hold unsent per session socket. Without a limit autotuning grows the send buffer to
// megabytes, seconds of video on a slow uplink that nobody can take back; 16 KiB is a few packets and
// never limits throughput (bytes in flight are not counted). It is the ceiling: a session that knows its
// path lowers it to a few milliseconds of the path's rate (16 KiB alone is 130 ms at 1 Mbit/s).
inline constexpr int unsentLimit = 16 * 1024;

// Sets TCP_NOTSENT_LOWAT on `fd`, also on a live connection; false when the kernel refuses.
bool limitUnsent(int fd, int bytes = unsentLimit);
// The configured limit, none when unreadable.
std::optional<int> unsentLimitOf(int fd);
// TCP_INFO of `fd`, none when it is not a TCP socket (or closed).
std::optional<PathFigures> read(int fd);

}  // namespace TcpPath

}  // namespace pellora
