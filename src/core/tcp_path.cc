#include "core/tcp_path.h"

// The kernel's own header: glibc's struct tcp_info stops before the delivery-rate fields.
#include <linux/tcp.h>
#include <netinet/in.h>
#include <sys/socket.h>

namespace pellora::TcpPath {

bool limitUnsent(int fd, int bytes) {
  return ::setsockopt(fd, IPPROTO_TCP, TCP_NOTSENT_LOWAT, &bytes, sizeof bytes) == 0;
}

std::optional<int> unsentLimitOf(int fd) {
  int value = 0;
  socklen_t size = sizeof value;
  if (::getsockopt(fd, IPPROTO_TCP, TCP_NOTSENT_LOWAT, &value, &size) != 0) return std::nullopt;
  return value;
}

std::optional<PathFigures> read(int fd) {
  if (fd < 0) return std::nullopt;
  tcp_info info{};
  socklen_t size = sizeof info;
  if (::getsockopt(fd, IPPROTO_TCP, TCP_INFO, &info, &size) != 0) return std::nullopt;
  PathFigures figures;
  figures.rttMicros = info.tcpi_rtt;
  // Older kernels fill less of the structure; what they leave out stays zero.
  figures.minRttMicros = info.tcpi_min_rtt != 0 && info.tcpi_min_rtt != ~0u ? info.tcpi_min_rtt : info.tcpi_rtt;
  figures.deliveryRate = static_cast<std::int64_t>(info.tcpi_delivery_rate);
  figures.appLimited = info.tcpi_delivery_rate_app_limited != 0;
  figures.notsentBytes = info.tcpi_notsent_bytes;
  figures.bytesAcked = static_cast<std::int64_t>(info.tcpi_bytes_acked);
  figures.bytesSent = static_cast<std::int64_t>(info.tcpi_bytes_sent);
  return figures;
}

}  // namespace pellora::TcpPath
