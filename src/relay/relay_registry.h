#pragma once

// What a relay node knows: registered identities, hosts that are online (have a control connection), and
// viewers waiting for their host to accept. Behind this interface so that a store shared by several relay
// nodes (RedisRelayRegistry) can replace the in-process one. Every call is made on one of the relay server's
// registry threads (as many as concurrency() says), never on a network thread, so an implementation may
// block on its store; the exceptions are takeLocalPending, which touches only this node's memory, and the
// pipelined forms of announce and takePending.

#include <chrono>
#include <exception>
#include <filesystem>
#include <functional>
#include <memory>
#include <mutex>
#include <optional>
#include <stdexcept>
#include <string>
#include <string_view>
#include <unordered_map>

struct sqlite3;

namespace pellora::relay {

struct Registration {
  std::string id;      // nine digits, never handed out twice
  std::string secret;  // 32 random bytes as hex; only its SHA-256 is stored
};

// The shared store cannot be reached: the caller answers 503 and tries again with the next request.
class RegistryUnavailable : public std::runtime_error {
 public:
  using std::runtime_error::runtime_error;
};

// A uniformly random nine-digit id without a leading zero.
std::string randomID();
// A single-use token: 16 random bytes as hex.
std::string randomToken();

// A host's live control connection, as the registry sees it. Called on a registry thread (or a store's
// pipeline thread): an implementation hands the line over to its own executor.
class HostLink {
 public:
  virtual ~HostLink() = default;
  virtual void incoming(const std::string& token) = 0;  // a viewer is waiting
  virtual void replaced() = 0;                          // another connection took over this identity
};

// A viewer waiting for its host; completed when the host's accept arrives.
class PendingConnect {
 public:
  virtual ~PendingConnect() = default;
};

// Where the viewer of a token waits: on this node, or on the node reached at `node` ("HOST:PORT" of its
// internal listener). Neither when the token is unknown, used or expired.
struct PendingLookup {
  std::shared_ptr<PendingConnect> local;
  std::string node;
};

// Methods that reach a shared store throw RegistryUnavailable while it is unreachable.
class RelayRegistry {
 public:
  virtual ~RelayRegistry() = default;

  virtual Registration registerIdentity() = 0;
  virtual bool authenticate(std::string_view id, std::string_view secret) = 0;

  // Makes `link` the control connection of `id`; the one it replaces (if any, on any node) is told so.
  virtual void attachHost(const std::string& id, std::shared_ptr<HostLink> link) = 0;
  // Forgets `link` if it is still the control connection of `id`.
  virtual void detachHost(const std::string& id, const HostLink* link) = 0;
  // Passes `token` to the control connection of `id`, wherever it is; false when the host is offline.
  virtual bool notifyHost(const std::string& id, const std::string& token) = 0;

  // A single-use token for `pending`, valid until `expiry`.
  virtual std::string addPending(std::shared_ptr<PendingConnect> pending,
                                 std::chrono::steady_clock::time_point expiry) = 0;
  // addPending and notifyHost as one step: the token of `pending`, already passed to the host `id`; empty
  // (and `pending` forgotten) when the host is offline. A shared store does it in one round trip, which
  // matters when hundreds of viewers come back at once.
  virtual std::string announce(const std::string& id, std::shared_ptr<PendingConnect> pending,
                               std::chrono::steady_clock::time_point expiry);
  // Takes `token` (no other call or node can use it again) and says where its viewer waits.
  virtual PendingLookup takePending(const std::string& token) = 0;
  // The viewer of a token that another node has already taken, when it waits here; removes it. Safe on
  // any thread: a node joining its host to a viewer here need not queue behind calls to the store.
  virtual std::shared_ptr<PendingConnect> takeLocalPending(const std::string& token) = 0;

  // announce and takePending with the outcome handed to `done` (the result, or the exception the blocking
  // form throws). Where the store answers through a pipeline of its own (pipelined()), they return at once
  // and may be called on a network thread; `done` comes later on another thread, or at once when no store
  // needs asking. Otherwise they are the blocking forms, made on a registry thread.
  using Announced = std::function<void(std::string token, std::exception_ptr error)>;
  using Taken = std::function<void(PendingLookup lookup, std::exception_ptr error)>;
  virtual bool pipelined() const { return false; }
  virtual void announcePipelined(const std::string& id, std::shared_ptr<PendingConnect> pending,
                                 std::chrono::steady_clock::time_point expiry, Announced done);
  virtual void takePendingPipelined(const std::string& token, Taken done);

  // How many calls may run at once, each on a thread of its own; 1 unless the implementation is safe to
  // call from several threads.
  virtual unsigned concurrency() const { return 1; }

  // Whether the store answers; the health endpoint reports it.
  virtual bool reachable() = 0;
  // Called every few seconds: refreshes what this node keeps alive in a shared store.
  virtual void tick() {}
  // The node is stopping: removes what it holds in a shared store (its hosts' presence).
  virtual void withdraw() {}
};

// Identities in SQLite (survive restarts), presence and tokens in memory.
class LocalRelayRegistry final : public RelayRegistry {
 public:
  // Opens or creates the database (and its folder). Throws std::runtime_error with SQLite's message.
  explicit LocalRelayRegistry(const std::filesystem::path& database);
  ~LocalRelayRegistry() override;

  Registration registerIdentity() override;
  bool authenticate(std::string_view id, std::string_view secret) override;
  void attachHost(const std::string& id, std::shared_ptr<HostLink> link) override;
  void detachHost(const std::string& id, const HostLink* link) override;
  bool notifyHost(const std::string& id, const std::string& token) override;
  std::string addPending(std::shared_ptr<PendingConnect> pending,
                         std::chrono::steady_clock::time_point expiry) override;
  PendingLookup takePending(const std::string& token) override;
  std::shared_ptr<PendingConnect> takeLocalPending(const std::string& token) override;
  bool reachable() override { return true; }

 private:
  struct Pending {
    std::weak_ptr<PendingConnect> connect;
    std::chrono::steady_clock::time_point expiry;
  };
  void dropExpired();  // with pendingMutex_ held

  struct Close {
    void operator()(sqlite3* db) const;
  };
  std::unique_ptr<sqlite3, Close> db_;
  std::unordered_map<std::string, std::shared_ptr<HostLink>> hosts_;
  std::mutex pendingMutex_;
  std::unordered_map<std::string, Pending> pending_;
};

}  // namespace pellora::relay
