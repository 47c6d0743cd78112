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
  // Runs on the browser's thread: only copies travel to the main strand, and the Discovery is held weakly
  // so that a list arriving after it was released is dropped.
  browser_->onResults = [weak = weak_from_this(), strand = strand_,
                         excluding = std::move(excluding)](const std::vector<ServiceEndpoint>& all) {
    boost::asio::post(strand, [weak, all, excluding] {
      if (auto self = weak.lock()) self->results(all, excluding);
    });
  };
  browser_->start();
}

void Discovery::results(const std::vector<ServiceEndpoint>& all, const std::string& excluding) {
  std::vector<Found> hosts;
  for (const auto& found : all) {
    if (found.name != excluding) hosts.push_back(found);
  }
  // std::string compares as unsigned bytes: plain, case-sensitive, not localised.
  std::stable_sort(hosts.begin(), hosts.end(), [](const Found& a, const Found& b) { return a.name < b.name; });
  published_.update([&](State& state) { state.hosts = std::move(hosts); });
}

}  // namespace pellora
