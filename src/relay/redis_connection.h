#pragma once

#include <chrono>
#include <condition_variable>
#include <deque>
#include <exception>
#include <functional>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <thread>
#include <vector>

#include "relay/relay_config.h"
#include "relay/relay_registry.h"

struct redisReply;

namespace boost::asio::ssl {
class context;
}

namespace pellora::relay {

// Redis answered but will not serve this node as configured (password, user, database, certificate):
// trying again cannot help, so a relay meeting it at start refuses to run.
class RedisRefused : public RegistryUnavailable {
 public:
  using RegistryUnavailable::RegistryUnavailable;
};

// One parsed reply, freed once.
class RedisReply {
 public:
  explicit RedisReply(redisReply* r = nullptr);
  bool error() const;
  bool nil() const;
  std::string text() const;  // strings, statuses and errors; "" otherwise
  long long integer() const;
  // A published message's payload when this is ["message", channel, payload]; "" otherwise.
  std::string message() const;

 private:
  struct Free {
    void operator()(redisReply* r) const;
  };
  std::unique_ptr<redisReply, Free> r_;
};

// A blocking connection to Redis, plain or TLS (rediss://), that authenticates and selects the database
// its address names. hiredis only parses the replies (the hiredis we build with has no TLS of its own);
// the bytes move through Asio and OpenSSL on a private io_context run by the calling thread, so that every
// exchange has a deadline. Used by one thread at a time; only interrupt() may come from another.
class RedisConnection {
 public:
  // `tls`: the context for rediss:// addresses (see tlsContextFor). Throws RegistryUnavailable when Redis
  // cannot be reached in `timeout`, RedisRefused when it turns this node away.
  RedisConnection(const RedisAddress& address, std::shared_ptr<boost::asio::ssl::context> tls,
                  std::chrono::milliseconds timeout);
  ~RedisConnection();
  RedisConnection(const RedisConnection&) = delete;
  RedisConnection& operator=(const RedisConnection&) = delete;

  // Sends one command and waits for its reply (an error reply is returned, not thrown). Throws
  // RegistryUnavailable when the connection fails or the deadline passes; the connection is then unusable.
  RedisReply command(const std::vector<std::string>& args);
  // Sends every command in one write and reads their replies, in order (error replies among them).
  std::vector<RedisReply> commands(const std::vector<const std::vector<std::string>*>& batch);
  // Sends a command whose replies come later (SUBSCRIBE), and waits as long as it takes for the next reply.
  void send(const std::vector<std::string>& args);
  RedisReply next();
  // From any thread: a next() in progress, or the next one, throws RegistryUnavailable.
  void interrupt();

  // The TLS client context for `address` (verifying the server's name against the system's CAs and the
  // address' own CA file); null for plain redis://. Throws RedisRefused when the CA file cannot be read.
  static std::shared_ptr<boost::asio::ssl::context> tlsContextFor(const RedisAddress& address);

 private:
  struct Stream;
  RedisReply read(bool withDeadline);
  void write(const std::vector<const std::vector<std::string>*>& batch, bool withDeadline);

  std::unique_ptr<Stream> stream_;
};

// Commands from any number of threads over one connection, pipelined: whatever is queued while a batch is
// in flight goes out as the next batch in one write, and the replies are handed back in order, so a burst of
// calls costs a few round trips instead of one each. A thread of its own sends the batches and reads their
// replies; blocking callers wait for theirs, and submit() takes a completion instead, so that a network
// thread can use Redis without a thread of its own waiting on each call. Connects on first use and again
// after a failure.
class RedisPipeline {
 public:
  using Connect = std::function<std::unique_ptr<RedisConnection>()>;
  // The reply, or why there is none; called once, on the pipeline's thread.
  using Completion = std::function<void(RedisReply reply, std::exception_ptr error)>;
  explicit RedisPipeline(Connect connect);
  ~RedisPipeline();  // calls still queued fail with RegistryUnavailable

  // The reply (error replies included). Throws what connecting throws, or RegistryUnavailable when the
  // connection fails; every call of that batch then fails alike, and the next batch connects again.
  RedisReply command(std::vector<std::string> args);
  // Several commands sent one after another in the same batch; their replies in order.
  std::vector<RedisReply> commands(std::vector<std::vector<std::string>> batch);
  // As command(), without waiting: `done` gets the outcome. It must not call into this pipeline and wait.
  void submit(std::vector<std::string> args, Completion done);

 private:
  // One blocking caller's wait, woken when a batch with its calls ends. (A single condition shared by all
  // would wake every waiting thread at every batch: in a burst, a hundred threads, most only to sleep again.)
  struct Waiter {
    std::condition_variable wake;
  };
  struct Call {
    std::vector<std::string> args;
    std::optional<RedisReply> reply;
    std::exception_ptr error;
    bool done = false;
    Waiter* waiter = nullptr;  // a blocking caller's; else the call is submitted and owned by the queue
    Completion completion;
  };
  static constexpr std::size_t kMaxBatch = 512;  // bounds one write and one batch's replies
  void run();  // the sending thread
  void send(const std::vector<Call*>& batch);
  void enqueue(Call* call);  // with mutex_ held

  const Connect connect_;
  std::unique_ptr<RedisConnection> connection_;  // the sending thread's
  std::mutex mutex_;
  std::condition_variable work_;
  std::deque<Call*> queue_;
  bool stopping_ = false;
  std::thread sender_;
};

}  // namespace pellora::relay
