#pragma once

// Joining two accepted connections: the connection every endpoint hands around, and the copying of bytes
// both ways once a viewer and its host are joined. Plain pairs are copied on a copying thread (their
// sockets are handed over by descriptor); a pair with a TLS side stays on the setup thread, where its TLS
// state lives.

#include <boost/asio/as_tuple.hpp>
#include <boost/asio/co_spawn.hpp>
#include <boost/asio/detached.hpp>
#include <boost/asio/steady_timer.hpp>
#include <boost/asio/use_awaitable.hpp>
#include <boost/asio/write.hpp>
#include <boost/beast/core.hpp>
#include <boost/beast/ssl.hpp>

#include <chrono>
#include <functional>
#include <memory>
#include <string>
#include <type_traits>

#include "relay/splice_buffers.h"

namespace pellora::relay {

using PlainStream = boost::beast::tcp_stream;
using TlsStream = boost::beast::ssl_stream<boost::beast::tcp_stream>;

namespace splicing {

namespace net = boost::asio;
namespace beast = boost::beast;
using net::awaitable;
using tcp = net::ip::tcp;
inline constexpr auto tuple = net::as_tuple(net::use_awaitable);

inline tcp::socket& socketOf(PlainStream& s) { return s.socket(); }
inline tcp::socket& socketOf(TlsStream& s) { return s.next_layer().socket(); }
inline PlainStream& tcpOf(PlainStream& s) { return s; }
inline PlainStream& tcpOf(TlsStream& s) { return s.next_layer(); }

inline void closeSocket(tcp::socket& s) {
  boost::system::error_code ignored;
  s.shutdown(tcp::socket::shutdown_both, ignored);
  s.close(ignored);
}

// One accepted connection. Shared by whoever still uses the stream (its request handler, a splice); its
// slot in the server's books is given back when the last user lets go.
template <typename Stream>
struct Connection {
  Stream stream;
  net::ip::address address;  // the client's, as limits count it; unset for internal connections
  beast::flat_buffer buffer;  // bytes read past the request head belong to the relayed stream
  std::function<void()> release;

  template <typename... Args>
  explicit Connection(Args&&... args) : stream(std::forward<Args>(args)...) {}
  ~Connection() {
    if (release) release();
  }
  void close() { closeSocket(socketOf(stream)); }
  std::string leftover() const { return beast::buffers_to_string(buffer.data()); }
};


// A plain socket taken from the setup thread by its descriptor, to be taken up on another thread's executor
// (a socket cannot change executors).
struct Handoff {
  tcp protocol = tcp::v4();
  int fd = -1;        // -1: the socket could not be released (it is closed then)
  std::string early;  // bytes that arrived behind the request head
};

inline Handoff handOff(tcp::socket& s) {
  Handoff h;
  boost::system::error_code ec;
  auto local = s.local_endpoint(ec);
  if (!ec) h.protocol = local.protocol();
  h.fd = s.release(ec);
  if (ec) {
    h.fd = -1;
    closeSocket(s);
  }
  return h;
}

inline Handoff handOff(Connection<PlainStream>& c) {
  Handoff h = handOff(c.stream.socket());
  h.early = c.leftover();
  return h;
}

inline void takeUp(tcp::socket& s, const Handoff& h) {
  boost::system::error_code ignored;
  if (h.fd >= 0) s.assign(h.protocol, h.fd, ignored);
}

// One side of a splice, on the executor that copies its bytes. Holds its connection so that the
// connection's slot stays taken while bytes flow.
struct PlainEnd {
  std::shared_ptr<Connection<PlainStream>> owner;
  tcp::socket socket;
  std::string early;
  static constexpr bool halfClose = true;

  PlainEnd(std::shared_ptr<Connection<PlainStream>> c, net::any_io_executor ex, Handoff h)
      : owner(std::move(c)), socket(ex), early(std::move(h.early)) {
    takeUp(socket, h);
  }
  tcp::socket& stream() { return socket; }
  void close() { closeSocket(socket); }
};

struct TlsEnd {
  std::shared_ptr<Connection<TlsStream>> owner;
  std::string early;
  static constexpr bool halfClose = false;  // TLS streams close both ways

  TlsEnd(std::shared_ptr<Connection<TlsStream>> c, net::any_io_executor, std::string e)
      : owner(std::move(c)), early(std::move(e)) {}
  TlsStream& stream() { return owner->stream; }
  void close() { owner->close(); }
};

template <typename Stream>
using EndOf = std::conditional_t<std::is_same_v<Stream, PlainStream>, PlainEnd, TlsEnd>;

template <typename Stream>
auto takeOver(Connection<Stream>& c) {
  if constexpr (std::is_same_v<Stream, PlainStream>) return handOff(c);
  else return c.leftover();
}

// Forwards bytes both ways through one fixed buffer per direction, so a fast sender is held back by the
// slow receiver's TCP window instead of growing our memory. An end of stream is passed on as a half-close
// where both ends allow it. A watchdog closes both sides after `idle` without traffic. Runs on the
// executor of the ends' sockets.
template <typename From, typename To>
awaitable<void> pump(std::shared_ptr<From> from, std::shared_ptr<To> to,
                     std::shared_ptr<std::chrono::steady_clock::time_point> lastActivity) {
  auto closeBoth = [&] {
    from->close();
    to->close();
  };
  if (!from->early.empty()) {
    auto [ec, n] = co_await net::async_write(to->stream(), net::buffer(from->early), tuple);
    if (ec) co_return closeBoth();
    from->early.clear();
  }
  auto& pool = net::use_service<SpliceBuffers>(net::query(from->stream().get_executor(), net::execution::context));
  const SpliceBuffers::Lease buffer = pool.take();
  for (;;) {
    auto [ec, n] = co_await from->stream().async_read_some(net::buffer(buffer.data(), buffer.size()), tuple);
    if constexpr (From::halfClose && To::halfClose) {
      if (ec == net::error::eof) {
        boost::system::error_code ignored;
        to->stream().shutdown(tcp::socket::shutdown_send, ignored);
        co_return;
      }
    }
    if (ec) co_return closeBoth();
    *lastActivity = std::chrono::steady_clock::now();
    auto [wec, wn] = co_await net::async_write(to->stream(), net::buffer(buffer.data(), n), tuple);
    if (wec) co_return closeBoth();
    *lastActivity = std::chrono::steady_clock::now();
  }
}

template <typename A, typename B>
awaitable<void> watch(std::shared_ptr<net::steady_timer> timer, std::chrono::steady_clock::duration idle,
                      std::shared_ptr<std::chrono::steady_clock::time_point> lastActivity, std::shared_ptr<A> a,
                      std::shared_ptr<B> b) {
  const auto step = std::max<std::chrono::steady_clock::duration>(std::chrono::seconds(1), idle / 4);
  for (;;) {
    timer->expires_after(step);
    auto [ec] = co_await timer->async_wait(tuple);
    if (ec) co_return;  // the splice ended
    if (std::chrono::steady_clock::now() - *lastActivity >= idle) {
      a->close();
      b->close();
      co_return;
    }
  }
}

template <typename A, typename B>
void runSplice(net::any_io_executor ex, std::shared_ptr<A> a, std::shared_ptr<B> b,
               std::chrono::steady_clock::duration idle) {
  auto lastActivity = std::make_shared<std::chrono::steady_clock::time_point>(std::chrono::steady_clock::now());
  auto watchdog = std::make_shared<net::steady_timer>(ex);
  net::co_spawn(ex, watch(watchdog, idle, lastActivity, a, b), net::detached);
  // Both directions run at once; each finishes at its own end of stream or error.
  auto done = std::make_shared<int>(0);
  auto finish = [a, b, watchdog, done](std::exception_ptr failed) {
    const bool last = ++*done == 2;
    if (last || failed) {  // a direction that failed to start (no memory) ends the splice
      watchdog->cancel();
      a->close();
      b->close();
    }
  };
  net::co_spawn(ex, pump(a, b, lastActivity), finish);
  net::co_spawn(ex, pump(b, a, lastActivity), finish);
}


}  // namespace splicing

using splicing::Connection;
using splicing::closeSocket;
using splicing::Handoff;
using splicing::handOff;
using splicing::takeUp;
using splicing::runSplice;
using splicing::socketOf;
using splicing::takeOver;
using splicing::tcpOf;
template <typename Stream>
using EndOf = splicing::EndOf<Stream>;

}  // namespace pellora::relay
