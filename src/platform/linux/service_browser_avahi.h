#pragma once

#include <memory>

#include "viewer/service_browser.h"

namespace pellora {

// Browses the local network for "_pellora._tcp" services through the system's mDNS daemon
// (avahi-daemon), in the default domain, over IPv4 multicast DNS, and resolves each one to an IPv4
// address and port. A service is one result per (interface, protocol, name, type, domain), so a host seen
// on two interfaces is listed twice; one that does not resolve is left out. When the daemon restarts, the
// last known set stays until the new browser has caught up, then services that did not come back are
// dropped.
//
// Executors: `start` from any one thread; `onResults` runs on the browser's event thread
// ("pellora.mdns.br") with the complete current set, after every change of it. Owned by Discovery; the
// destructor stops the thread, and no `onResults` runs after it returns.
class ServiceBrowserAvahi : public ServiceBrowser {
 public:
  ServiceBrowserAvahi();
  ~ServiceBrowserAvahi() override;

  void start() override;

 private:
  class Impl;
  std::unique_ptr<Impl> impl_;
};

}  // namespace pellora
