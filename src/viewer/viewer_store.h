#pragma once

#include <map>
#include <memory>
#include <string>

#include "base/published.h"
#include "viewer/viewer_session.h"

namespace pellora {

// Every open viewer session by id, from `open` until its window closes it. Lives on the main strand;
// one per application, owned by the application shell. Owns its sessions (their own tasks hold them weakly).
class ViewerStore {
 public:
  struct State {
    std::map<std::string, std::shared_ptr<ViewerSession>> sessions;
    bool operator==(const State&) const = default;
  };

  explicit ViewerStore(ViewerSession::Dependencies dependencies);

  // Creates a session, stores it, starts connecting and returns its id.
  std::string open(const ViewerTarget& target, std::string password);
  // Disconnects the session (if any) and removes it.
  void close(const std::string& id);
  std::shared_ptr<ViewerSession> session(const std::string& id) const;

  const State& state() const { return published_.state(); }
  Published<State>& published() { return published_; }

 private:
  ViewerSession::Dependencies dependencies_;
  Published<State> published_;
};

}  // namespace pellora
