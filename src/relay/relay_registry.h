#pragma once

// What a relay node knows: registered identities, hosts that are online (have a control connection), and
// viewers waiting for their host to accept. Behind this interface so that a store shared by several relay
// nodes can replace the in-process one. Used only from the relay's single network thread.

#include <chrono>
#include <filesystem>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <unordered_map>

struct sqlite3;

namespace pellora::relay {

struct Registration {
  std::string id;      // nine digits, never handed out twice
  std::string secret;  // 32 random bytes as hex; only its SHA-256 is stored
};

// A host's live control connection, as the registry sees it.
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

class RelayRegistry {
 public:
  virtual ~RelayRegistry() = default;

  virtual Registration registerIdentity() = 0;
  virtual bool authenticate(std::string_view id, std::string_view secret) = 0;

  // Makes `link` the control connection of `id`; the one it replaces (if any) is told so.
  virtual void attachHost(const std::string& id, std::shared_ptr<HostLink> link) = 0;
  // Forgets `link` if it is still the control connection of `id`.
  virtual void detachHost(const std::string& id, const HostLink* link) = 0;
  virtual std::shared_ptr<HostLink> host(const std::string& id) = 0;

  // A single-use token for `pending`, valid until `expiry`.
  virtual std::string addPending(std::shared_ptr<PendingConnect> pending,
                                 std::chrono::steady_clock::time_point expiry) = 0;
  // The waiting viewer of `token`, removing it; none when unknown, used or expired.
  virtual std::shared_ptr<PendingConnect> takePending(const std::string& token) = 0;
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
  std::shared_ptr<HostLink> host(const std::string& id) override;
  std::string addPending(std::shared_ptr<PendingConnect> pending,
                         std::chrono::steady_clock::time_point expiry) override;
  std::shared_ptr<PendingConnect> takePending(const std::string& token) override;

 private:
  struct Pending {
    std::weak_ptr<PendingConnect> connect;
    std::chrono::steady_clock::time_point expiry;
  };
  void dropExpired();

  struct Close {
    void operator()(sqlite3* db) const;
  };
  std::unique_ptr<sqlite3, Close> db_;
  std::unordered_map<std::string, std::shared_ptr<HostLink>> hosts_;
  std::unordered_map<std::string, Pending> pending_;
};

}  // namespace pellora::relay
