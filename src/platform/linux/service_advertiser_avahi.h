#pragma once

#include <cstdint>
#include <memory>
#include <string>

#include "host/service_advertiser.h"

namespace pellora {

// Announces the host's listener through the system's mDNS daemon (avahi-daemon): one "_pellora._tcp"
// service in the default domain, on every interface and both IP versions. On a name collision it takes
// Avahi's alternative name ("Name #2", ...) and announces again; when the daemon restarts it announces
// again, starting over from the name asked for. Without a daemon nothing is announced until one appears.
//
// Executors: `advertise` from any one thread at a time (the host service's main strand). `onName` runs on
// the advertiser's event thread ("pellora.mdns.ad") whenever a name has been established that differs
// from the last one reported (so the first established name is reported too); it must not call back into
// the advertiser. Owned by the host service while sharing is on; the destructor withdraws the announcement
// and stops the thread, and no `onName` runs after it returns.
class ServiceAdvertiserAvahi : public ServiceAdvertiser {
 public:
  ServiceAdvertiserAvahi();
  ~ServiceAdvertiserAvahi() override;

  // Names longer than a DNS label (63 bytes) are cut at a character boundary.
  void advertise(const std::string& name, std::uint16_t port) override;

 private:
  class Impl;
  std::unique_ptr<Impl> impl_;
};

}  // namespace pellora
