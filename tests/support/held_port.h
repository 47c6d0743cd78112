#pragma once

// A loopback port kept for a server the test starts: a socket bound to it with address reuse that never
// listens keeps every other bind off the port, while a server that also allows reuse listens on it, before
// and across its restarts.

#include <boost/asio/io_context.hpp>
#include <boost/asio/ip/tcp.hpp>
#include <cstdint>

namespace pellora::test {

class HeldPort {
 public:
  HeldPort() {
    socket_.set_option(boost::asio::socket_base::reuse_address(true));
    socket_.bind({boost::asio::ip::make_address("127.0.0.1"), 0});
  }
  std::uint16_t port() const { return socket_.local_endpoint().port(); }

 private:
  boost::asio::io_context io_;
  boost::asio::ip::tcp::socket socket_{io_, boost::asio::ip::tcp::v4()};
};

}  // namespace pellora::test
