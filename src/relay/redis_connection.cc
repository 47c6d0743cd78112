#include "relay/redis_connection.h"

#include <hiredis/hiredis.h>
#include <openssl/err.h>
#include <openssl/ssl.h>
#include <sys/socket.h>

#include <algorithm>
#include <array>
#include <atomic>
#include <boost/asio/connect.hpp>
#include <boost/asio/io_context.hpp>
#include <boost/asio/ip/tcp.hpp>
#include <boost/asio/ssl.hpp>
#include <boost/asio/write.hpp>

#include "core/wire.h"

namespace pellora::relay {

namespace net = boost::asio;
using boost::system::error_code;
using Tcp = net::ip::tcp;

RedisReply::RedisReply(redisReply* r) : r_(r) {}
void RedisReply::Free::operator()(redisReply* r) const { freeReplyObject(r); }
bool RedisReply::error() const { return r_->type == REDIS_REPLY_ERROR; }
bool RedisReply::nil() const { return r_->type == REDIS_REPLY_NIL; }
std::string RedisReply::text() const {
  const int t = r_->type;
  return t == REDIS_REPLY_STRING || t == REDIS_REPLY_STATUS || t == REDIS_REPLY_ERROR ? std::string(r_->str, r_->len)
                                                                                       : std::string();
}
long long RedisReply::integer() const { return r_->type == REDIS_REPLY_INTEGER ? r_->integer : 0; }
std::string RedisReply::message() const {
  const redisReply* r = r_.get();
  if (r->type != REDIS_REPLY_ARRAY || r->elements != 3 || r->element[0]->type != REDIS_REPLY_STRING ||
      r->element[2]->type != REDIS_REPLY_STRING || std::string_view(r->element[0]->str, r->element[0]->len) != "message")
    return {};
  return std::string(r->element[2]->str, r->element[2]->len);
}

struct RedisConnection::Stream {
  struct FreeReader {
    void operator()(redisReader* r) const { redisReaderFree(r); }
  };
  net::io_context io{1};
  Tcp::socket socket{io};
  std::unique_ptr<net::ssl::stream<Tcp::socket&>> tls;
  std::unique_ptr<redisReader, FreeReader> reader{redisReaderCreate()};
  std::chrono::milliseconds timeout;
  std::string where;  // host:port, for messages
  std::atomic<int> fd{-1};
  bool broken = false;

  // Runs the operation `start` begins on the private io_context until it completes, or until the deadline
  // (when there is one) passes, which breaks the connection.
  template <typename Start>
  error_code run(Start start, bool withDeadline) {
    if (broken) throw RegistryUnavailable("redis: connection to " + where + " lost");
    bool done = false;
    error_code result;
    start([&done, &result](const error_code& ec, auto&&...) {
      done = true;
      result = ec;
    });
    io.restart();
    if (withDeadline) io.run_for(timeout);
    else io.run();
    if (!done) {
      broken = true;
      error_code ignored;
      socket.close(ignored);
      io.restart();
      io.run();  // lets the aborted operation finish before its handler's locals go
      throw RegistryUnavailable("redis: " + where + " did not answer within " +
                                std::to_string(timeout.count()) + " ms");
    }
    if (result) broken = true;
    return result;
  }
  void check(const error_code& ec, const char* doing) {
    if (ec) throw RegistryUnavailable("redis: " + std::string(doing) + " " + where + " failed: " + ec.message());
  }
};

namespace {

bool isAddressLiteral(const std::string& host) {
  error_code ec;
  net::ip::make_address(host, ec);
  return !ec;
}

bool certificateRejected(const error_code& ec) {
  return ec.category() == net::error::get_ssl_category() &&
         ERR_GET_REASON(static_cast<unsigned long>(ec.value())) == SSL_R_CERTIFICATE_VERIFY_FAILED;
}

}  // namespace

std::shared_ptr<net::ssl::context> RedisConnection::tlsContextFor(const RedisAddress& address) {
  if (!address.tls) return nullptr;
  try {
    return Wire::clientTlsContext(address.caFile.string());
  } catch (const boost::system::system_error& e) {
    throw RedisRefused("cannot read the Redis CA file " + address.caFile.string() + ": " + e.code().message());
  }
}

RedisConnection::RedisConnection(const RedisAddress& address, std::shared_ptr<net::ssl::context> tls,
                                 std::chrono::milliseconds timeout)
    : stream_(std::make_unique<Stream>()) {
  Stream& s = *stream_;
  s.timeout = timeout;
  s.where = address.describe();
  Tcp::resolver resolver(s.io);
  Tcp::resolver::results_type endpoints;
  s.check(s.run(
              [&](auto done) {
                resolver.async_resolve(address.host, std::to_string(address.port),
                                       [&endpoints, done](const error_code& ec, Tcp::resolver::results_type r) {
                                         endpoints = std::move(r);
                                         done(ec);
                                       });
              },
              true),
          "resolving");
  s.check(s.run([&](auto done) { net::async_connect(s.socket, endpoints, done); }, true), "connecting to");
  s.fd = s.socket.native_handle();
  error_code ignored;
  s.socket.set_option(Tcp::no_delay(true), ignored);

  if (address.tls) {
    s.tls = std::make_unique<net::ssl::stream<Tcp::socket&>>(s.socket, *tls);
    // SNI carries names only, never address literals.
    if (!isAddressLiteral(address.host)) SSL_set_tlsext_host_name(s.tls->native_handle(), address.host.c_str());
    s.tls->set_verify_mode(net::ssl::verify_peer);
    s.tls->set_verify_callback(net::ssl::host_name_verification(address.host));
    const error_code ec =
        s.run([&](auto done) { s.tls->async_handshake(net::ssl::stream_base::client, done); }, true);
    if (certificateRejected(ec))
      throw RedisRefused("redis: the certificate of " + s.where +
                         " is not trusted for that name (a private CA goes in --redis-ca)");
    s.check(ec, "TLS with");
  }

  if (!address.password.empty()) {
    std::vector<std::string> auth{"AUTH"};
    if (!address.user.empty()) auth.push_back(address.user);
    auth.push_back(address.password);
    // Redis' answer never repeats the password, so it may be shown.
    if (RedisReply r = command(auth); r.error())
      throw RedisRefused("redis: " + s.where + " refused the " +
                         (address.user.empty() ? std::string("password") : "user " + address.user + " and password") +
                         ": " + r.text());
  }
  if (address.database != 0) {
    if (RedisReply r = command({"SELECT", std::to_string(address.database)}); r.error())
      throw RedisRefused("redis: " + s.where + " refused database " + std::to_string(address.database) + ": " +
                         r.text());
  }
}

RedisConnection::~RedisConnection() = default;

void RedisConnection::write(const std::vector<const std::vector<std::string>*>& batch, bool withDeadline) {
  Stream& s = *stream_;
  std::string bytes;
  for (const std::vector<std::string>* args : batch) {
    std::vector<const char*> argv;
    std::vector<std::size_t> lengths;
    for (const auto& a : *args) argv.push_back(a.data()), lengths.push_back(a.size());
    char* raw = nullptr;
    const int length = redisFormatCommandArgv(&raw, static_cast<int>(args->size()), argv.data(), lengths.data());
    if (length < 0) throw std::bad_alloc();
    const std::unique_ptr<char, void (*)(char*)> formatted(raw, redisFreeCommand);
    bytes.append(raw, static_cast<std::size_t>(length));
  }
  s.check(s.run(
              [&](auto done) {
                if (s.tls) net::async_write(*s.tls, net::buffer(bytes), done);
                else net::async_write(s.socket, net::buffer(bytes), done);
              },
              withDeadline),
          "writing to");
}

RedisReply RedisConnection::read(bool withDeadline) {
  Stream& s = *stream_;
  for (;;) {
    void* reply = nullptr;
    if (redisReaderGetReply(s.reader.get(), &reply) != REDIS_OK) {
      s.broken = true;
      throw RegistryUnavailable("redis: unreadable reply from " + s.where);
    }
    if (reply) return RedisReply(static_cast<redisReply*>(reply));
    std::array<char, 16 << 10> buffer;
    std::size_t n = 0;
    const error_code ec = s.run(
        [&](auto done) {
          auto got = [&n, done](const error_code& e, std::size_t k) {
            n = k;
            done(e);
          };
          if (s.tls) s.tls->async_read_some(net::buffer(buffer), got);
          else s.socket.async_read_some(net::buffer(buffer), got);
        },
        withDeadline);
    s.check(ec, "reading from");
    redisReaderFeed(s.reader.get(), buffer.data(), n);
  }
}

RedisReply RedisConnection::command(const std::vector<std::string>& args) {
  write({&args}, true);
  return read(true);
}

std::vector<RedisReply> RedisConnection::commands(const std::vector<const std::vector<std::string>*>& batch) {
  write(batch, true);
  std::vector<RedisReply> replies;
  replies.reserve(batch.size());
  for (std::size_t i = 0; i < batch.size(); ++i) replies.push_back(read(true));
  return replies;
}

void RedisConnection::send(const std::vector<std::string>& args) { write({&args}, true); }

RedisReply RedisConnection::next() { return read(false); }

void RedisConnection::interrupt() {
  // Wakes a blocked read with an end of stream; safe beside it, unlike closing the socket.
  if (const int fd = stream_->fd; fd >= 0) ::shutdown(fd, SHUT_RDWR);
}

RedisPipeline::RedisPipeline(Connect connect) : connect_(std::move(connect)), sender_([this] { run(); }) {}

RedisPipeline::~RedisPipeline() {
  {
    std::lock_guard lock(mutex_);
    stopping_ = true;
  }
  work_.notify_one();
  sender_.join();
}

RedisReply RedisPipeline::command(std::vector<std::string> args) {
  std::vector<std::vector<std::string>> one;
  one.push_back(std::move(args));
  return std::move(commands(std::move(one)).front());
}

std::vector<RedisReply> RedisPipeline::commands(std::vector<std::vector<std::string>> batch) {
  Waiter waiter;
  std::vector<Call> calls(batch.size());
  std::unique_lock lock(mutex_);
  for (std::size_t i = 0; i < batch.size(); ++i) {
    calls[i].args = std::move(batch[i]);
    calls[i].waiter = &waiter;
    enqueue(&calls[i]);
  }
  waiter.wake.wait(lock, [&calls] { return std::all_of(calls.begin(), calls.end(), [](const Call& c) { return c.done; }); });
  std::vector<RedisReply> replies;
  replies.reserve(calls.size());
  for (Call& c : calls) {
    if (c.error) std::rethrow_exception(c.error);
    replies.push_back(std::move(*c.reply));
  }
  return replies;
}

void RedisPipeline::submit(std::vector<std::string> args, Completion done) {
  auto call = std::make_unique<Call>();
  call->args = std::move(args);
  call->completion = std::move(done);
  std::lock_guard lock(mutex_);
  enqueue(call.release());
}

void RedisPipeline::enqueue(Call* call) {
  if (stopping_) {
    call->error = std::make_exception_ptr(RegistryUnavailable("redis: the relay is stopping"));
    call->done = true;
    if (!call->waiter) {
      const std::unique_ptr<Call> owned(call);
      owned->completion(RedisReply(), owned->error);
    }
    return;
  }
  queue_.push_back(call);
  if (queue_.size() == 1) work_.notify_one();
}

void RedisPipeline::run() {
  std::unique_lock lock(mutex_);
  for (;;) {
    work_.wait(lock, [this] { return stopping_ || !queue_.empty(); });
    std::vector<Call*> batch;
    while (!queue_.empty() && batch.size() < kMaxBatch) batch.push_back(queue_.front()), queue_.pop_front();
    if (batch.empty()) return;  // stopping, and nothing left
    const bool stopping = stopping_;
    lock.unlock();
    if (stopping) {
      const auto error = std::make_exception_ptr(RegistryUnavailable("redis: the relay is stopping"));
      for (Call* c : batch) c->error = error;
    } else {
      send(batch);
    }
    // Submitted calls complete here, outside the lock; blocking callers are woken under it.
    std::vector<Call*> waiting;
    for (Call* c : batch) {
      if (c->waiter) {
        waiting.push_back(c);
        continue;
      }
      const std::unique_ptr<Call> owned(c);
      owned->completion(owned->reply ? std::move(*owned->reply) : RedisReply(), owned->error);
    }
    lock.lock();
    for (Call* c : waiting) {
      c->done = true;
      c->waiter->wake.notify_one();
    }
  }
}

void RedisPipeline::send(const std::vector<Call*>& batch) {
  try {
    if (!connection_) connection_ = connect_();
    std::vector<const std::vector<std::string>*> args;
    args.reserve(batch.size());
    for (const Call* c : batch) args.push_back(&c->args);
    std::vector<RedisReply> replies = connection_->commands(args);
    for (std::size_t i = 0; i < batch.size(); ++i) batch[i]->reply.emplace(std::move(replies[i]));
  } catch (...) {
    // A failed connection may have lost any of the batch's replies: none of them can be trusted.
    connection_.reset();
    const std::exception_ptr error = std::current_exception();
    for (Call* c : batch) c->error = error;
  }
}

}  // namespace pellora::relay
