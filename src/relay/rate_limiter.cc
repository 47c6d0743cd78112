#include "relay/rate_limiter.h"

namespace pellora::relay {

namespace {
constexpr auto kWindow = std::chrono::minutes(1);
}

void RateLimiter::erase(Order& order) {
  const std::string* key = order.front();
  order.pop_front();
  entries_.erase(*key);
}

void RateLimiter::move(Entry& entry, Order& to) {
  to.splice(to.end(), entry.exhausted ? exhausted_ : open_, entry.place);
  entry.exhausted = &to == &exhausted_;
}

void RateLimiter::makeRoom(Clock::time_point now) {
  const bool exhaustedEnded = !exhausted_.empty() && now - entries_.at(*exhausted_.front()).start >= kWindow;
  erase(exhaustedEnded || open_.empty() ? exhausted_ : open_);
}

bool RateLimiter::allow(const std::string& key, Clock::time_point now) {
  auto it = entries_.find(key);
  if (it == entries_.end()) {
    if (maxKeys_ == 0) return true;
    if (entries_.size() >= maxKeys_) makeRoom(now);
    it = entries_.emplace(key, Entry{now, 0, false, {}}).first;
    it->second.place = open_.insert(open_.end(), &it->first);
  } else if (now - it->second.start >= kWindow) {
    it->second.start = now;
    it->second.count = 0;
    move(it->second, open_);
  }
  Entry& e = it->second;
  if (e.count >= perMinute_) return false;
  if (++e.count >= perMinute_) move(e, exhausted_);
  return true;
}

}  // namespace pellora::relay
