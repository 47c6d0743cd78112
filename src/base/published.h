#pragma once

#include <functional>
#include <map>
#include <utility>

namespace pellora {

// The observable half of a model object (host service, viewer session, settings...): its state as one
// value plus the callbacks that want to hear of every change. Lives on its owner's executor (the main
// strand): `update` and `subscribe` are called there, and callbacks run there, synchronously, after the
// change. The user interface copies the state inside its callback and posts the copy to its own thread.
template <typename State>
class Published {
 public:
  using Callback = std::function<void(const State&)>;

  explicit Published(State initial = {}) : state_(std::move(initial)) {}

  const State& state() const { return state_; }

  // Returns a token for `unsubscribe`. The callback is not called for the current state.
  int subscribe(Callback callback) {
    const int token = nextToken_++;
    callbacks_.emplace(token, std::move(callback));
    return token;
  }
  void unsubscribe(int token) { callbacks_.erase(token); }

  // Applies `change` to the state and tells every subscriber, unless the state stayed equal.
  template <typename Change>
  void update(Change&& change) {
    State before = state_;
    std::forward<Change>(change)(state_);
    if (!(before == state_)) notify();
  }

 private:
  void notify() {
    // A callback may subscribe or unsubscribe: walk a copy.
    auto callbacks = callbacks_;
    for (auto& [token, callback] : callbacks) callback(state_);
  }

  State state_;
  std::map<int, Callback> callbacks_;
  int nextToken_ = 1;
};

}  // namespace pellora
