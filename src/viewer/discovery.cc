#include "viewer/discovery.h"

#include <algorithm>
#include <boost/asio/post.hpp>

namespace pellora {

std::shared_ptr<Discovery> Discovery::make(Strand strand, std::unique_ptr<ServiceBrowser> browser) {
  return std::shared_ptr<Discovery>(new Discovery(std::move(strand), std::move(browser)));
}

Discovery::Discovery(Strand strand, std::unique_ptr<ServiceBrowser> browser)
    : strand_(std::move(strand)), browser_(std::move(browser)) {}

void Discovery::start(std::string excluding) {
  if (started_ || !browser_) return;
  started_ = true;
  excluding_ = std::move(excluding);
  // Runs on the browser's thread: only copies travel to the main strand, and the Discovery is held weakly
  // so that a list arriving after it was released is dropped.
  browser_->onResults = [weak = weak_from_this(), strand = strand_](const std::vector<ServiceEndpoint>& all) {
    boost::asio::post(strand, [weak, all] {
      if (auto self = weak.lock()) self->results(all);
    });
  };
  browser_->start();
}

void Discovery::exclude(std::string name) {
  if (name == excluding_) return;
  excluding_ = std::move(name);
  publish();
}

void Discovery::results(std::vector<ServiceEndpoint> all) {
  all_ = std::move(all);
  publish();
}

void Discovery::publish() {
  std::vector<Found> hosts;
  for (const auto& found : all_) {
    if (found.name != excluding_) hosts.push_back(found);
  }
  // std::string compares as unsigned bytes: plain, case-sensitive, not localised.
  std::stable_sort(hosts.begin(), hosts.end(), [](const Found& a, const Found& b) { return a.name < b.name; });
  published_.update([&](State& state) { state.hosts = std::move(hosts); });
}

}  // namespace pellora
