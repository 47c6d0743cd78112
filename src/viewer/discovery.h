#pragma once

#include <boost/asio/io_context.hpp>
#include <boost/asio/strand.hpp>
#include <memory>
#include <string>
#include <vector>

#include "base/published.h"
#include "viewer/service_browser.h"

namespace pellora {

// The hosts on the local network, for the Connect tab's device list. Lives on the main strand; the
// browser's callbacks hop there. Owned by whoever shows the list, for its lifetime.
class Discovery : public std::enable_shared_from_this<Discovery> {
 public:
  using Strand = boost::asio::strand<boost::asio::io_context::executor_type>;
  using Found = ServiceEndpoint;
  struct State {
    std::vector<Found> hosts;  // sorted by name (plain byte order)
    bool operator==(const State&) const = default;
  };

  static std::shared_ptr<Discovery> make(Strand strand, std::unique_ptr<ServiceBrowser> browser);

  // Starts browsing once; later calls do nothing. `excluding`: our own announced name, never listed.
  void start(std::string excluding);
  // Our announced name changed (sharing switched on or off, or the mDNS daemon renamed our service on a
  // clash): the list hides that name instead, and shows again a device that carries the old one.
  void exclude(std::string name);

  const State& state() const { return published_.state(); }
  Published<State>& published() { return published_; }

 private:
  Discovery(Strand strand, std::unique_ptr<ServiceBrowser> browser);
  void results(std::vector<ServiceEndpoint> all);
  void publish();

  Strand strand_;
  std::unique_ptr<ServiceBrowser> browser_;
  bool started_ = false;
  std::string excluding_;
  std::vector<ServiceEndpoint> all_;  // the browser's last report
  Published<State> published_;
};

}  // namespace pellora
