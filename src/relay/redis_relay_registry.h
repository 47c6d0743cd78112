#pragma once

#include <array>
#include <atomic>
#include <condition_variable>
#include <memory>
#include <mutex>
#include <set>
#include <string>
#include <thread>
#include <unordered_map>

#include "relay/redis_connection.h"
#include "relay/relay_config.h"
#include "relay/relay_registry.h"

namespace boost::asio::ssl {
class context;
}

namespace pellora::relay {

// The registry of a relay node in a cluster: identities, presence and tokens live in Redis, shared by
// every node; "incoming" and "replaced" lines reach the node that holds a host's control connection through
// a Redis channel of that node.
//   pellora:identity:<id>    SHA-256 of the secret (hex), never deleted, so an id is never handed out twice
//   pellora:presence:<id>    the node holding the control connection; expires unless that node refreshes it
//   pellora:token:<token>    "<node> <internal address>" of the node where the viewer waits. A token is
//                            "<random>.<node>": a node that has learnt that node's address from an earlier
//                            entry joins without asking, and the entry expires; the viewer's node keeps
//                            the token single use.
//   pellora:node:<node>      channel: "incoming <id> <token>", "replaced <id>"
// Calls may run on several threads at once (the server's registry threads), and a viewer's connect and a
// host's accept come in pipelined form from the network thread: all their commands share one pipelined
// connection, so that a burst of calls costs a few round trips. A thread of its own listens on the node's
// channel. Whenever Redis cannot be reached, calls throw
// RegistryUnavailable (RedisRefused when Redis turns the node away); the next call connects again.
class RedisRelayRegistry final : public RelayRegistry {
 public:
  static constexpr Seconds presenceLifetime{45};  // refreshed every tick (a few seconds)
  // Blocking calls in flight at once (registrations, control lines): each waits for its reply in the
  // pipeline, so this bounds how many of them one round trip carries. Hundreds of hosts come back together
  // after a restart.
  static constexpr unsigned kConcurrency = 128;

  // `nodeAddress`: "HOST:PORT" of this node's internal listener. Does not connect yet; throws RedisRefused
  // when the address' CA file cannot be read.
  RedisRelayRegistry(RedisAddress redis, std::string nodeAddress);
  ~RedisRelayRegistry() override;

  Registration registerIdentity() override;
  bool authenticate(std::string_view id, std::string_view secret) override;
  void attachHost(const std::string& id, std::shared_ptr<HostLink> link) override;
  void detachHost(const std::string& id, const HostLink* link) override;
  bool notifyHost(const std::string& id, const std::string& token) override;
  std::string addPending(std::shared_ptr<PendingConnect> pending,
                         std::chrono::steady_clock::time_point expiry) override;
  std::string announce(const std::string& id, std::shared_ptr<PendingConnect> pending,
                       std::chrono::steady_clock::time_point expiry) override;
  PendingLookup takePending(const std::string& token) override;
  bool pipelined() const override { return true; }
  void announcePipelined(const std::string& id, std::shared_ptr<PendingConnect> pending,
                         std::chrono::steady_clock::time_point expiry, Announced done) override;
  void takePendingPipelined(const std::string& token, Taken done) override;
  std::shared_ptr<PendingConnect> takeLocalPending(const std::string& token) override;
  bool reachable() override;
  unsigned concurrency() const override { return kConcurrency; }
  // Like reachable(), and also waits (briefly) until the node's channel is subscribed; throws RedisRefused
  // when Redis answers and turns this node away (a wrong password, an untrusted certificate): a node that
  // starts so would never serve.
  bool admitted();
  void tick() override;
  void withdraw() override;

  const std::string& nodeId() const { return node_; }
  // Where other nodes reach this one, once its internal listener is bound; before the first call.
  void setNodeAddress(std::string address) { nodeAddress_ = std::move(address); }

 private:
  RedisReply command(std::vector<std::string> args);
  // As command(), without waiting: `then` gets the reply, or the error command() would throw, on the
  // pipeline's thread.
  void submit(std::vector<std::string> args, RedisPipeline::Completion then);
  // Throws for error replies as command() does.
  void checked(const RedisReply& reply, const std::string& name) const;
  // Attaching and detaching one id take turns, so that a detach never drops the presence an attach of the
  // same id on this node has just stored.
  std::mutex& turnOf(const std::string& id) { return idTurns_[std::hash<std::string>{}(id) % idTurns_.size()]; }
  std::unique_ptr<RedisConnection> connect() const;
  void listen();  // the channel thread
  void deliver(const std::string& message);
  // Keeps `pending` under a fresh token; returns the token and the token entry's lifetime in ms.
  std::pair<std::string, std::string> keepPending(std::shared_ptr<PendingConnect> pending,
                                                  std::chrono::steady_clock::time_point expiry);
  void forgetPending(const std::string& token);
  // Keeps `pending` and stores its token. `here`: the host's control line on this node, told once the token
  // is stored; without it, the token is published to the node of host `id`, or only stored when `id` is
  // empty. `done` gets the token, or "" when no node holds the host.
  void storePending(const std::string& id, std::shared_ptr<HostLink> here, std::shared_ptr<PendingConnect> pending,
                    std::chrono::steady_clock::time_point expiry, Announced done);
  // The node a token names ("<random>.<node>"); empty for a token that names none.
  static std::string_view nodeOf(std::string_view token);
  // The internal address of another node, when a lookup has told it; empty otherwise. A node's id is new at
  // every start, so what was learnt stays true.
  std::string knownAddress(std::string_view node);
  void learn(std::string node, std::string address);
  std::string tokenEntry() const { return node_ + " " + nodeAddress_; }
  std::shared_ptr<HostLink> hostHere(const std::string& id);

  const RedisAddress redis_;
  const std::shared_ptr<boost::asio::ssl::context> tls_;  // for rediss://
  std::string nodeAddress_;
  const std::string node_;  // random, new at every start
  std::array<std::mutex, 64> idTurns_;

  std::mutex hostsMutex_;  // the channel thread delivers lines too
  std::unordered_map<std::string, std::shared_ptr<HostLink>> hosts_;
  struct Pending {
    std::weak_ptr<PendingConnect> connect;
    std::chrono::steady_clock::time_point expiry;
  };
  std::mutex pendingMutex_;  // taken on the setup thread and the pipeline's too
  std::unordered_map<std::string, Pending> pending_;
  std::size_t sweepAt_ = 64;  // pending_'s size at which its expired entries are swept next

  static constexpr std::size_t kKnownNodes = 64;
  std::mutex nodesMutex_;
  std::vector<std::pair<std::string, std::string>> nodes_;  // learnt node ids and addresses, oldest replaced first
  std::size_t nextNode_ = 0;

  std::mutex listenMutex_;
  std::condition_variable listenWake_;
  bool stopping_ = false;
  RedisConnection* listening_ = nullptr;  // the channel thread's connection, interrupted on the way out
  bool subscribed_ = false;               // the channel thread's subscription is confirmed
  std::thread listener_;
  // Last: its thread completes calls with the state above, so it stops before that goes.
  RedisPipeline commands_;
};

}  // namespace pellora::relay
