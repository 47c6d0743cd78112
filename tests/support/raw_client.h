#pragma once

// A blocking TCP client for tests that speak a protocol by hand. Every read gives up after a timeout, so a
// test that waits for bytes that never come fails instead of hanging.

#include <cstdint>
#include <optional>
#include <string>

namespace pellora::test {

class RawClient {
 public:
  // With a `source` address (IPv4), the connection leaves from there.
  RawClient(const std::string& host, std::uint16_t port, int timeoutMs = 5000, const std::string& source = {});
  ~RawClient();
  RawClient(const RawClient&) = delete;
  RawClient& operator=(const RawClient&) = delete;

  void send(const std::string& bytes);
  // Up to and including the first CR LF CR LF; nullopt on end of stream or timeout.
  std::optional<std::string> readHead();
  std::optional<std::string> readLine();  // up to and including LF
  std::optional<std::string> read(std::size_t n);
  // Everything until the peer closes (or the timeout).
  std::string readToEnd();
  // True when the peer has closed its side (a read returns end of stream within the timeout).
  bool closedByPeer();
  void shutdownSend();
  void close();

 private:
  std::optional<char> readByte();
  int fd_ = -1;
  std::string pending_;
};

// An HTTP/1.1 request for one of the relay's upgrade endpoints, with extra header lines ("Name: value").
std::string upgradeRequest(const std::string& path, const std::string& extraHeaders);
// The status code of a response head (0 when unreadable).
int statusOf(const std::string& head);

}  // namespace pellora::test
