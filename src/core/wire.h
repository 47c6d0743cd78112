#pragma once

#include <boost/asio/any_io_executor.hpp>
#include <boost/asio/awaitable.hpp>
#include <boost/asio/ip/tcp.hpp>
#include <boost/asio/ssl/context.hpp>
#include <boost/asio/ssl/stream.hpp>
#include <boost/asio/steady_timer.hpp>
#include <boost/asio/strand.hpp>
#include <boost/system/error_code.hpp>
#include <atomic>
#include <chrono>
#include <cstdint>
#include <deque>
#include <functional>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <vector>

#include "core/bytes.h"
#include "core/tcp_path.h"
#include "core/transport_error.h"

namespace pellora {

// One TCP connection (optionally TLS) as a small byte-stream interface: exact-length reads, reads up to a
// delimiter, writes, and frames. Every socket operation runs on the wire's own strand ("pellora.wire");
// the awaitable operations may be awaited from a coroutine on any executor and resume there. Shared by its
// owner (a SecureChannel, a relay client) and by its operations in flight. Reads must not overlap (one
// reader); writes and sends may come from any thread and are written strictly in the order they were
// handed over, one at a time. `cancel()` may be called at any time from any thread.
class Wire : public std::enable_shared_from_this<Wire> {
 public:
  using Executor = boost::asio::any_io_executor;
  using SendCompletion = std::function<void(const boost::system::error_code&)>;

  static constexpr std::chrono::seconds connectTimeout{10};
  static constexpr int keepAliveIdleSeconds = 15;

  // A TLS client context that verifies the server's certificate chain and host name against the system's
  // trusted roots; `extraCaFile` (PEM) adds a root of its own (tests trust their test CA this way).
  static std::shared_ptr<boost::asio::ssl::context> clientTlsContext(const std::string& extraCaFile = {});

  // An unstarted wire to host:port (a name or a literal address). With `tls`, the connection negotiates
  // TLS with ALPN "http/1.1" and SNI, verified by `tlsContext` (default: clientTlsContext()).
  static std::shared_ptr<Wire> tcp(Executor executor, std::string host, std::uint16_t port, bool tls,
                                   std::shared_ptr<boost::asio::ssl::context> tlsContext = nullptr);
  // A wire on a socket the listener accepted; it is already connected, so `start` returns at once.
  static std::shared_ptr<Wire> accepted(boost::asio::ip::tcp::socket socket);

  ~Wire();
  Wire(const Wire&) = delete;
  Wire& operator=(const Wire&) = delete;

  // Brings the connection to the ready state: resolve, connect (10 s timeout), socket options, TLS
  // handshake. Throws TransportError: `closed` when cancelled, else `connectFailed(text)`.
  boost::asio::awaitable<void> start();

  // Exactly n bytes. TransportError `closed` when the peer ends the stream first (or the wire was
  // cancelled), `connectFailed` on a socket error.
  boost::asio::awaitable<Bytes> read(std::size_t n);
  // All bytes up to and including the first `delimiter`; nothing after it is consumed. WireError
  // `tooLarge(length)` when `max` bytes arrived without the delimiter.
  boost::asio::awaitable<Bytes> readUntil(Bytes delimiter, std::int64_t max);
  // One frame's payload (a zero-length frame yields an empty payload at once). WireError `tooLarge` when
  // the prefix announces more than `max`, before any of the payload is read or allocated; the stream is then
  // inside the frame: cancel the wire.
  boost::asio::awaitable<Bytes> readFrame(std::uint32_t max = Framing::maxFrame);

  // Returns when the bytes were written; TransportError `connectFailed` (or `closed` when cancelled).
  boost::asio::awaitable<void> write(Bytes data);
  boost::asio::awaitable<void> writeFrame(ByteView payload);
  // Queues the bytes without waiting (the buffer is moved, not copied) and reports the socket's error
  // or none to `completion`, on the wire's strand. Never blocks, from any thread.
  void send(Bytes data, SendCompletion completion);

  // Closes the connection: pending and later operations fail.
  void cancel();
  // Cancels after `delay`, so that frames already handed over can leave. The wire stays alive until then.
  void cancelAfter(std::chrono::steady_clock::duration delay);
  bool isCancelled() const { return cancelled_.load(); }

  // The kernel's figures for this connection's path; none before it is connected or after it closed. Any
  // thread.
  std::optional<PathFigures> pathFigures() const;
  // Lowers (or raises) what the kernel may hold unsent on this connection; ignored before it is connected
  // or after it closed. Any thread.
  void limitUnsent(int bytes);
  // The rate at which large frames arrive, in bytes per second: the median of the latest frames whose
  // bytes came spread over time (a frame the sender wrote at once crosses the bottleneck back to back, so
  // its spread measures the path). None until such frames arrived. Any thread.
  std::optional<std::int64_t> arrivalRate() const;

  // "host:port" of the remote end.
  const std::string& remoteDescription() const { return remoteDescription_; }
  Executor executor() const { return strand_; }

 private:
  struct Pending {
    Bytes data;
    SendCompletion completion;
  };
  using Socket = boost::asio::ip::tcp::socket;
  using TlsStream = boost::asio::ssl::stream<Socket&>;

  Wire(Executor executor, std::string host, std::uint16_t port, bool tls,
       std::shared_ptr<boost::asio::ssl::context> tlsContext);
  explicit Wire(Socket socket);

  boost::asio::awaitable<void> startOnStrand();
  boost::asio::awaitable<Bytes> readOnStrand(std::size_t n);
  boost::asio::awaitable<Bytes> readUntilOnStrand(Bytes delimiter, std::int64_t max);
  boost::asio::awaitable<Bytes> readFrameOnStrand(std::uint32_t max);
  boost::asio::awaitable<std::size_t> readSome(boost::asio::mutable_buffer into);
  [[noreturn]] void fail(const boost::system::error_code& ec) const;
  void writeNext();
  void closeOnStrand();
  // Socket options of a connected session socket: no delay, keep-alive, the unsent limit.
  void tuneSocket();
  void recordArrival(std::size_t bytes, std::chrono::steady_clock::duration spread);

  boost::asio::strand<Executor> strand_;
  Socket socket_;
  std::unique_ptr<TlsStream> tlsStream_;  // present for TLS wires
  std::shared_ptr<boost::asio::ssl::context> tlsContext_;
  std::string host_;
  std::uint16_t port_ = 0;
  std::string remoteDescription_;
  bool ready_ = false;
  std::atomic<bool> cancelled_{false};
  std::atomic<int> fd_{-1};  // the connected socket, for TCP_INFO from any thread; -1 once closed

  mutable std::mutex arrivalLock_;  // guards the arrival samples
  std::vector<std::int64_t> arrivals_;  // bytes per second, a ring of the latest samples
  std::size_t nextArrival_ = 0;

  // Bytes received but not yet consumed (readUntil and frame prefixes read ahead); strand only.
  Bytes readBuffer_;
  std::size_t readOffset_ = 0;

  // The write queue: filled from any thread, drained on the strand one async write at a time.
  std::mutex queueLock_;
  std::deque<Pending> queue_;
  bool writing_ = false;
};

}  // namespace pellora
