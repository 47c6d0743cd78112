#pragma once

#include <chrono>
#include <cstddef>
#include <list>
#include <string>
#include <unordered_map>

namespace pellora::relay {

// Allows each key (a client address, an identity) `perMinute` events in any one-minute window (fixed
// windows). Memory stays bounded at `maxKeys` entries: when a new key needs room, an entry whose window has
// ended goes first, then the oldest key that still has budget left, and only when every tracked key is at
// its limit the one that reached it longest ago. So a flood of fresh keys (addresses from a large IPv6
// block, say) evicts its own entries and never lifts the limit of a key that exhausted its budget.
// Single-threaded; the owner locks.
class RateLimiter {
 public:
  using Clock = std::chrono::steady_clock;

  explicit RateLimiter(int perMinute, std::size_t maxKeys = 100'000) : perMinute_(perMinute), maxKeys_(maxKeys) {}

  bool allow(const std::string& key, Clock::time_point now = Clock::now());
  std::size_t trackedKeys() const { return entries_.size(); }

 private:
  using Order = std::list<const std::string*>;  // keys, as stored in entries_
  struct Entry {
    Clock::time_point start;
    int count = 0;
    bool exhausted = false;  // in exhausted_ rather than open_
    Order::iterator place;
  };
  void makeRoom(Clock::time_point now);
  void erase(Order& order);
  void move(Entry& entry, Order& to);

  int perMinute_;
  std::size_t maxKeys_;
  std::unordered_map<std::string, Entry> entries_;
  // Keys in the order their window began (open_) or their budget ran out (exhausted_), oldest first.
  Order open_, exhausted_;
};

}  // namespace pellora::relay
