#include "core/wire.h"

#include <netinet/in.h>
#include <netinet/tcp.h>
#include <openssl/ssl.h>

#include <algorithm>
#include <boost/asio/bind_executor.hpp>
#include <boost/asio/co_spawn.hpp>
#include <boost/asio/connect.hpp>
#include <boost/asio/dispatch.hpp>
#include <boost/asio/ip/address.hpp>
#include <boost/asio/post.hpp>
#include <boost/asio/redirect_error.hpp>
#include <boost/asio/ssl/error.hpp>
#include <boost/asio/ssl/host_name_verification.hpp>
#include <boost/asio/use_awaitable.hpp>
#include <boost/asio/write.hpp>
#include <cstring>

namespace pellora {

namespace asio = boost::asio;
using asio::awaitable;
using asio::use_awaitable;
using boost::system::error_code;
using Tcp = asio::ip::tcp;

namespace {

// Reads of at least this many missing bytes go straight into the caller's buffer; smaller ones fill the
// read-ahead buffer, so that a frame prefix and a short payload usually take one system call.
constexpr std::size_t readAhead = 16 * 1024;
// Payloads above this size grow while they arrive, so that a prefix announcing 32 MiB costs memory only
// as the bytes really come.
constexpr std::size_t eagerAllocation = 1 << 20;
// The most frames and bytes one gather write takes from the queue.
constexpr std::size_t maxGather = 64;
constexpr std::size_t maxGatherBytes = 4 << 20;
// Frames smaller than this, or spread over less time, say more about scheduling than about the path.
constexpr std::size_t minArrivalBytes = 8 * 1024;
constexpr auto minArrivalSpread = std::chrono::milliseconds(2);
constexpr std::size_t arrivalSamples = 15;

std::string describe(const Tcp::endpoint& endpoint) {
  asio::ip::address address = endpoint.address();
  if (address.is_v6() && address.to_v6().is_v4_mapped())
    address = asio::ip::make_address_v4(asio::ip::v4_mapped, address.to_v6());
  return address.to_string() + ":" + std::to_string(endpoint.port());
}

bool isAddressLiteral(const std::string& host) {
  error_code ec;
  asio::ip::make_address(host, ec);
  return !ec;
}

}  // namespace

std::shared_ptr<asio::ssl::context> Wire::clientTlsContext(const std::string& extraCaFile) {
  auto context = std::make_shared<asio::ssl::context>(asio::ssl::context::tls_client);
  context->set_default_verify_paths();
  if (!extraCaFile.empty()) context->load_verify_file(extraCaFile);
  context->set_verify_mode(asio::ssl::verify_peer);
  return context;
}

std::shared_ptr<Wire> Wire::tcp(Executor executor, std::string host, std::uint16_t port, bool tls,
                                std::shared_ptr<asio::ssl::context> tlsContext) {
  if (tls && !tlsContext) tlsContext = clientTlsContext();
  return std::shared_ptr<Wire>(new Wire(std::move(executor), std::move(host), port, tls, std::move(tlsContext)));
}

std::shared_ptr<Wire> Wire::accepted(Tcp::socket socket) { return std::shared_ptr<Wire>(new Wire(std::move(socket))); }

Wire::Wire(Executor executor, std::string host, std::uint16_t port, bool tls,
           std::shared_ptr<asio::ssl::context> tlsContext)
    : strand_(asio::make_strand(executor)),
      socket_(strand_),
      tlsContext_(tls ? std::move(tlsContext) : nullptr),
      host_(std::move(host)),
      port_(port),
      remoteDescription_(host_ + ":" + std::to_string(port_)) {}

Wire::Wire(Tcp::socket socket)
    : strand_(asio::make_strand(socket.get_executor())), socket_(std::move(socket)), ready_(true) {
  error_code ec;
  const Tcp::endpoint remote = socket_.remote_endpoint(ec);
  remoteDescription_ = ec ? "?" : describe(remote);
  tuneSocket();
}

void Wire::tuneSocket() {
  error_code ec;
  socket_.set_option(Tcp::no_delay(true), ec);
  socket_.set_option(asio::socket_base::keep_alive(true), ec);
  const int fd = socket_.native_handle();
  const int idle = keepAliveIdleSeconds;
  ::setsockopt(fd, IPPROTO_TCP, TCP_KEEPIDLE, &idle, sizeof idle);
  // Video waits in our own queue, where control overtakes it, rather than in the kernel's.
  TcpPath::limitUnsent(fd);
  fd_ = fd;
}

Wire::~Wire() = default;

// Each public operation runs its body on the strand; the awaiting coroutine resumes on its own executor.
awaitable<void> Wire::start() {
  return asio::co_spawn(strand_, [self = shared_from_this()] { return self->startOnStrand(); }, use_awaitable);
}
awaitable<Bytes> Wire::read(std::size_t n) {
  return asio::co_spawn(strand_, [self = shared_from_this(), n] { return self->readOnStrand(n); }, use_awaitable);
}
awaitable<Bytes> Wire::readUntil(Bytes delimiter, std::int64_t max) {
  return asio::co_spawn(
      strand_,
      [self = shared_from_this(), d = std::move(delimiter), max]() mutable { return self->readUntilOnStrand(std::move(d), max); },
      use_awaitable);
}
awaitable<Bytes> Wire::readFrame(std::uint32_t max) {
  return asio::co_spawn(strand_, [self = shared_from_this(), max] { return self->readFrameOnStrand(max); },
                        use_awaitable);
}

awaitable<void> Wire::startOnStrand() {
  if (cancelled_) throw TransportError::closed();
  if (ready_) co_return;

  // The deadline closes the socket (and stops a pending name lookup) after 10 s; it outlives this frame
  // safely because it shares the attempt's state instead of pointing into it.
  struct Attempt {
    explicit Attempt(const Executor& ex) : resolver(ex), deadline(ex) {}
    Tcp::resolver resolver;
    asio::steady_timer deadline;
    bool finished = false;
    bool timedOut = false;
  };
  auto attempt = std::make_shared<Attempt>(strand_);
  attempt->deadline.expires_after(connectTimeout);
  attempt->deadline.async_wait(
      asio::bind_executor(strand_, [weak = weak_from_this(), attempt](const error_code& ec) {
        if (ec || attempt->finished) return;
        attempt->timedOut = true;
        attempt->resolver.cancel();
        if (auto self = weak.lock()) {
          error_code ignored;
          self->socket_.close(ignored);
        }
      }));
  struct Finish {
    Attempt& a;
    ~Finish() {
      a.finished = true;
      a.deadline.cancel();
    }
  } finish{*attempt};

  auto check = [&](error_code ec) {
    if (attempt->timedOut) ec = asio::error::timed_out;
    if (ec || cancelled_) fail(ec);
  };

  error_code ec;
  auto endpoints = co_await attempt->resolver.async_resolve(host_, std::to_string(port_),
                                                            asio::redirect_error(use_awaitable, ec));
  check(ec);
  co_await asio::async_connect(socket_, endpoints, asio::redirect_error(use_awaitable, ec));
  check(ec);

  tuneSocket();

  if (tlsContext_) {
    tlsStream_ = std::make_unique<TlsStream>(socket_, *tlsContext_);
    SSL* ssl = tlsStream_->native_handle();
    // SNI carries names only, never address literals.
    if (!isAddressLiteral(host_)) SSL_set_tlsext_host_name(ssl, host_.c_str());
    static const unsigned char alpn[] = "\x08http/1.1";
    SSL_set_alpn_protos(ssl, alpn, sizeof alpn - 1);
    tlsStream_->set_verify_mode(asio::ssl::verify_peer);
    tlsStream_->set_verify_callback(asio::ssl::host_name_verification(host_));
    co_await tlsStream_->async_handshake(asio::ssl::stream_base::client, asio::redirect_error(use_awaitable, ec));
    check(ec);
  }
  ready_ = true;

  // Sends handed over before the connection was ready go out now.
  bool startWriting = false;
  {
    std::lock_guard lock(queueLock_);
    if (!queue_.empty() && !writing_) startWriting = writing_ = true;
  }
  if (startWriting) writeNext();
}

void Wire::fail(const error_code& ec) const {
  if (cancelled_ || ec == asio::error::eof || ec == asio::ssl::error::stream_truncated ||
      ec == asio::error::operation_aborted)
    throw TransportError::closed();
  throw TransportError::connectFailed(ec.message());
}

awaitable<std::size_t> Wire::readSome(asio::mutable_buffer into) {
  if (cancelled_) throw TransportError::closed();
  error_code ec;
  std::size_t n = tlsStream_ ? co_await tlsStream_->async_read_some(into, asio::redirect_error(use_awaitable, ec))
                             : co_await socket_.async_read_some(into, asio::redirect_error(use_awaitable, ec));
  if (ec) fail(ec);
  co_return n;
}

awaitable<Bytes> Wire::readOnStrand(std::size_t n) {
  Bytes out(std::min(n, eagerAllocation));
  std::size_t have = 0;
  while (have < n) {
    const std::size_t missing = n - have;
    const std::size_t buffered = readBuffer_.size() - readOffset_;
    if (buffered > 0) {
      const std::size_t take = std::min(buffered, missing);
      if (out.size() < have + take) out.resize(have + take);
      std::memcpy(out.data() + have, readBuffer_.data() + readOffset_, take);
      readOffset_ += take;
      have += take;
      continue;
    }
    readBuffer_.clear();
    readOffset_ = 0;
    if (missing >= readAhead) {
      if (out.size() == have) out.resize(std::min(n, std::max(2 * out.size(), have + readAhead)));
      have += co_await readSome(asio::buffer(out.data() + have, out.size() - have));
    } else {
      readBuffer_.resize(readAhead);
      std::size_t got = 0;
      try {
        got = co_await readSome(asio::buffer(readBuffer_));
      } catch (...) {
        readBuffer_.clear();  // a failed read leaves nothing to consume
        throw;
      }
      readBuffer_.resize(got);
    }
  }
  co_return out;
}

awaitable<Bytes> Wire::readUntilOnStrand(Bytes delimiter, std::int64_t max) {
  Bytes out;
  for (;;) {
    if (out.size() >= delimiter.size() && std::equal(delimiter.begin(), delimiter.end(), out.end() - delimiter.size()))
      co_return out;
    if (static_cast<std::int64_t>(out.size()) >= max) throw WireError::tooLarge(static_cast<std::int64_t>(out.size()));
    Bytes next = co_await readOnStrand(1);
    out.push_back(next[0]);
  }
}

awaitable<Bytes> Wire::readFrameOnStrand(std::uint32_t max) {
  const Bytes prefix = co_await readOnStrand(Framing::prefixSize);
  const std::uint32_t length = Framing::payloadLength(prefix, max);
  if (length == 0) co_return Bytes{};
  // Bytes already buffered arrived before the clock started; only the rest measure the arrival spread.
  const std::size_t buffered = readBuffer_.size() - readOffset_;
  const auto started = std::chrono::steady_clock::now();
  Bytes payload = co_await readOnStrand(length);
  if (length > buffered) recordArrival(length - buffered, std::chrono::steady_clock::now() - started);
  co_return payload;
}

void Wire::recordArrival(std::size_t bytes, std::chrono::steady_clock::duration spread) {
  if (bytes < minArrivalBytes || spread < minArrivalSpread) return;
  const auto micros = std::chrono::duration_cast<std::chrono::microseconds>(spread).count();
  const auto rate = static_cast<std::int64_t>(static_cast<double>(bytes) * 1e6 / static_cast<double>(micros));
  std::lock_guard lock(arrivalLock_);
  if (arrivals_.size() < arrivalSamples)
    arrivals_.push_back(rate);
  else
    arrivals_[nextArrival_] = rate;
  nextArrival_ = (nextArrival_ + 1) % arrivalSamples;
}

std::optional<std::int64_t> Wire::arrivalRate() const {
  std::vector<std::int64_t> samples;
  {
    std::lock_guard lock(arrivalLock_);
    samples = arrivals_;
  }
  if (samples.empty()) return std::nullopt;
  const auto middle = samples.begin() + static_cast<std::ptrdiff_t>(samples.size() / 2);
  std::nth_element(samples.begin(), middle, samples.end());
  return *middle;
}

std::optional<PathFigures> Wire::pathFigures() const { return TcpPath::read(fd_.load()); }

void Wire::limitUnsent(int bytes) {
  if (const int fd = fd_.load(); fd >= 0) TcpPath::limitUnsent(fd, bytes);
}

awaitable<void> Wire::write(Bytes data) {
  error_code ec;
  auto token = asio::redirect_error(use_awaitable, ec);
  // Named, not a temporary: GCC 12 destroys a lambda temporary inside a co_await expression twice.
  auto initiation = [self = shared_from_this()](auto handler, Bytes bytes) {
    // std::function needs a copyable target; the handler itself is move-only.
    auto shared = std::make_shared<decltype(handler)>(std::move(handler));
    self->send(std::move(bytes), [shared](const error_code& result) {
      auto executor = asio::get_associated_executor(*shared);
      asio::dispatch(executor, [shared, result]() mutable { std::move(*shared)(result); });
    });
  };
  co_await asio::async_initiate<decltype(token), void(error_code)>(std::move(initiation), token, std::move(data));
  if (ec) fail(ec);
}

awaitable<void> Wire::writeFrame(ByteView payload) { return write(Framing::frame(payload)); }

void Wire::send(Bytes data, SendCompletion completion) {
  {
    std::lock_guard lock(queueLock_);
    queue_.push_back({std::move(data), std::move(completion)});
    if (writing_) return;
    writing_ = true;
  }
  asio::post(strand_, [self = shared_from_this()] { self->writeNext(); });
}

void Wire::writeNext() {
  // Frames queued behind each other leave in one gather write (one system call), still in order and still
  // one write at a time; only the deque's own entries are referenced, never copied.
  std::vector<asio::const_buffer> buffers;
  {
    std::lock_guard lock(queueLock_);
    if (queue_.empty() || (!ready_ && !cancelled_)) {
      writing_ = false;
      return;
    }
    std::size_t bytes = 0;
    for (auto it = queue_.begin(); it != queue_.end() && buffers.size() < maxGather && bytes < maxGatherBytes; ++it) {
      buffers.push_back(asio::buffer(it->data));
      bytes += it->data.size();
    }
  }
  const std::size_t count = buffers.size();
  auto done = asio::bind_executor(strand_, [self = shared_from_this(), count](const error_code& ec, std::size_t) {
    std::vector<SendCompletion> completions;
    completions.reserve(count);
    {
      std::lock_guard lock(self->queueLock_);
      for (std::size_t k = 0; k < count; ++k) {
        completions.push_back(std::move(self->queue_.front().completion));
        self->queue_.pop_front();
      }
    }
    for (auto& completion : completions)
      if (completion) completion(ec);
    self->writeNext();
  });
  if (cancelled_) {
    asio::post(strand_, [done]() mutable { done(asio::error::operation_aborted, 0); });
  } else if (tlsStream_) {
    asio::async_write(*tlsStream_, buffers, std::move(done));
  } else {
    asio::async_write(socket_, buffers, std::move(done));
  }
}

void Wire::cancel() {
  if (cancelled_.exchange(true)) return;
  asio::post(strand_, [self = shared_from_this()] { self->closeOnStrand(); });
}

void Wire::cancelAfter(std::chrono::steady_clock::duration delay) {
  auto timer = std::make_shared<asio::steady_timer>(strand_, delay);
  timer->async_wait([self = shared_from_this(), timer](const error_code&) { self->cancel(); });
}

void Wire::closeOnStrand() {
  fd_ = -1;
  error_code ignored;
  socket_.shutdown(Tcp::socket::shutdown_both, ignored);
  socket_.close(ignored);
}

}  // namespace pellora
