#include "support/raw_client.h"

#include <arpa/inet.h>
#include <netdb.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <sys/time.h>
#include <unistd.h>

#include <cstring>
#include <stdexcept>

namespace pellora::test {

RawClient::RawClient(const std::string& host, std::uint16_t port, int timeoutMs, const std::string& source) {
  addrinfo hints{};
  hints.ai_socktype = SOCK_STREAM;
  addrinfo* found = nullptr;
  if (getaddrinfo(host.c_str(), std::to_string(port).c_str(), &hints, &found) != 0 || !found)
    throw std::runtime_error("cannot resolve " + host);
  fd_ = ::socket(found->ai_family, SOCK_STREAM, 0);
  timeval tv{timeoutMs / 1000, (timeoutMs % 1000) * 1000};
  setsockopt(fd_, SOL_SOCKET, SO_RCVTIMEO, &tv, sizeof tv);
  setsockopt(fd_, SOL_SOCKET, SO_SNDTIMEO, &tv, sizeof tv);
  if (!source.empty()) {
    // The port is chosen at connect, where a loopback port in TIME_WAIT may be taken again: chosen at bind,
    // a flood of short connections from one address runs out of ports within seconds.
    const int late = 1;
    setsockopt(fd_, IPPROTO_IP, IP_BIND_ADDRESS_NO_PORT, &late, sizeof late);
    sockaddr_in from{};
    from.sin_family = AF_INET;
    inet_pton(AF_INET, source.c_str(), &from.sin_addr);
    if (::bind(fd_, reinterpret_cast<sockaddr*>(&from), sizeof from) != 0) throw std::runtime_error("cannot bind " + source);
  }
  const int rc = ::connect(fd_, found->ai_addr, found->ai_addrlen);
  freeaddrinfo(found);
  if (rc != 0) {
    ::close(fd_);
    throw std::runtime_error("cannot connect to " + host + ":" + std::to_string(port) + ": " + std::strerror(errno));
  }
}

RawClient::~RawClient() { close(); }

void RawClient::send(const std::string& bytes) {
  std::size_t sent = 0;
  while (sent < bytes.size()) {
    ssize_t n = ::send(fd_, bytes.data() + sent, bytes.size() - sent, MSG_NOSIGNAL);
    if (n <= 0) throw std::runtime_error("send failed");
    sent += static_cast<std::size_t>(n);
  }
}

std::optional<char> RawClient::readByte() {
  if (pending_.empty()) {
    char buffer[4096];
    ssize_t n = ::recv(fd_, buffer, sizeof buffer, 0);
    if (n <= 0) return std::nullopt;
    pending_.assign(buffer, static_cast<std::size_t>(n));
  }
  char c = pending_.front();
  pending_.erase(0, 1);
  return c;
}

namespace {
// Reads byte by byte until `done` holds for what was read; nullopt when the stream ends first.
template <typename Next, typename Done>
std::optional<std::string> readUntil(Next next, Done done) {
  std::string out;
  while (!done(out)) {
    auto c = next();
    if (!c) return std::nullopt;
    out.push_back(*c);
  }
  return out;
}
}  // namespace

std::optional<std::string> RawClient::readHead() {
  return readUntil([this] { return readByte(); }, [](const std::string& s) { return s.ends_with("\r\n\r\n"); });
}
std::optional<std::string> RawClient::readLine() {
  return readUntil([this] { return readByte(); }, [](const std::string& s) { return s.ends_with('\n'); });
}
std::optional<std::string> RawClient::read(std::size_t n) {
  return readUntil([this] { return readByte(); }, [n](const std::string& s) { return s.size() >= n; });
}

std::string RawClient::readToEnd() {
  std::string out;
  while (auto c = readByte()) out.push_back(*c);
  return out;
}

bool RawClient::closedByPeer() {
  if (!pending_.empty()) return false;
  char c;
  return ::recv(fd_, &c, 1, 0) == 0;
}

void RawClient::shutdownSend() { ::shutdown(fd_, SHUT_WR); }

void RawClient::close() {
  if (fd_ >= 0) ::close(fd_);
  fd_ = -1;
}

std::string upgradeRequest(const std::string& path, const std::string& extraHeaders) {
  return "GET " + path + " HTTP/1.1\r\nHost: 127.0.0.1\r\nConnection: Upgrade\r\nUpgrade: pellora-relay/1\r\n" +
         extraHeaders + "\r\n";
}

int statusOf(const std::string& head) {
  auto space = head.find(' ');
  if (space == std::string::npos) return 0;
  return std::atoi(head.c_str() + space + 1);
}

}  // namespace pellora::test
