#include "viewer/viewer_store.h"

#include <utility>

#include "support/file_names_directory.h"

namespace pellora {

ViewerStore::ViewerStore(ViewerSession::Dependencies dependencies) : dependencies_(std::move(dependencies)) {
  // Sessions start on the main strand: the user's folders are read here, once.
  if (!dependencies_.downloadDirectory) dependencies_.downloadDirectory = FileNames::defaultDirectory();
}

std::string ViewerStore::open(const ViewerTarget& target, std::string password) {
  auto session = ViewerSession::make(dependencies_, target);
  const std::string id = session->id();
  published_.update([&](State& s) { s.sessions.emplace(id, session); });
  session->connect(std::move(password));
  return id;
}

void ViewerStore::close(const std::string& id) {
  if (auto session = this->session(id)) session->disconnect();
  published_.update([&](State& s) { s.sessions.erase(id); });
}

std::shared_ptr<ViewerSession> ViewerStore::session(const std::string& id) const {
  const auto& sessions = state().sessions;
  const auto found = sessions.find(id);
  return found != sessions.end() ? found->second : nullptr;
}

}  // namespace pellora
