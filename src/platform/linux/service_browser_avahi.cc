#include "platform/linux/service_browser_avahi.h"

#include <avahi-common/address.h>

#include <map>
#include <optional>
#include <string>
#include <tuple>
#include <vector>

#include "host/service_advertiser.h"
#include "platform/linux/avahi_connection.h"

namespace pellora {

// Everything below runs on the event thread with the loop locked, except the destructor (after the thread
// stopped).
class ServiceBrowserAvahi::Impl {
 public:
  explicit Impl(ServiceBrowserAvahi& outer)
      : outer_(outer),
        connection_("pellora.mdns.br", [this](AvahiClient* c, AvahiClientState s) { clientChanged(c, s); }) {}

  ~Impl() {
    connection_.stop();
    entries_.clear();
    browser_.reset();
  }

  void start() { connection_.start(); }

 private:
  // How Avahi tells services apart.
  struct Key {
    AvahiIfIndex interface;
    AvahiProtocol protocol;
    std::string name, type, domain;
    auto operator<=>(const Key&) const = default;
  };
  struct Entry {
    Impl* owner;
    std::string name;
    avahi::ServiceResolver resolver;          // kept while the service is there: it follows changes
    std::optional<ServiceEndpoint> endpoint;  // once resolved
    bool stale = false;                       // seen by a browser of a previous daemon connection
  };

  void clientChanged(AvahiClient* client, AvahiClientState state) {
    switch (state) {
      case AVAHI_CLIENT_S_RUNNING:
      case AVAHI_CLIENT_S_REGISTERING:
      case AVAHI_CLIENT_S_COLLISION:
        if (!browser_) {
          browser_.reset(avahi_service_browser_new(client, AVAHI_IF_UNSPEC, AVAHI_PROTO_INET,
                                                   ServiceAdvertiser::serviceType, nullptr,
                                                   AvahiLookupFlags{}, browseEvent, this));
        }
        break;
      case AVAHI_CLIENT_FAILURE:
        // Everything made on the client goes; what was found stays listed until the next browser settles.
        browser_.reset();
        for (auto& [key, entry] : entries_) {
          entry->resolver.reset();
          entry->stale = true;
        }
        break;
      case AVAHI_CLIENT_CONNECTING:
        break;
    }
  }

  static void browseEvent(AvahiServiceBrowser* browser, AvahiIfIndex interface, AvahiProtocol protocol,
                          AvahiBrowserEvent event, const char* name, const char* type, const char* domain,
                          AvahiLookupResultFlags, void* self) {
    auto* impl = static_cast<Impl*>(self);
    switch (event) {
      case AVAHI_BROWSER_NEW:
        impl->found(avahi_service_browser_get_client(browser), Key{interface, protocol, name, type, domain});
        break;
      case AVAHI_BROWSER_REMOVE:
        impl->entries_.erase(Key{interface, protocol, name, type, domain});
        impl->report();
        break;
      case AVAHI_BROWSER_ALL_FOR_NOW:
        std::erase_if(impl->entries_, [](const auto& item) { return item.second->stale; });
        impl->report();
        break;
      case AVAHI_BROWSER_CACHE_EXHAUSTED:
      case AVAHI_BROWSER_FAILURE:  // the list stays as last reported
        break;
    }
  }

  void found(AvahiClient* client, const Key& key) {
    auto& entry = entries_[key];
    if (!entry) entry = std::make_unique<Entry>(Entry{this, key.name, nullptr, std::nullopt});
    entry->stale = false;
    if (entry->resolver) return;
    entry->resolver.reset(avahi_service_resolver_new(client, key.interface, key.protocol, key.name.c_str(),
                                                     key.type.c_str(), key.domain.c_str(), AVAHI_PROTO_INET,
                                                     AvahiLookupFlags{}, resolveEvent, entry.get()));
  }

  static void resolveEvent(AvahiServiceResolver*, AvahiIfIndex, AvahiProtocol, AvahiResolverEvent event,
                           const char*, const char*, const char*, const char*, const AvahiAddress* address,
                           std::uint16_t port, AvahiStringList*, AvahiLookupResultFlags, void* data) {
    auto* entry = static_cast<Entry*>(data);
    if (event == AVAHI_RESOLVER_FOUND && address) {
      char text[AVAHI_ADDRESS_STR_MAX] = {};
      avahi_address_snprint(text, sizeof text, address);
      entry->endpoint = ServiceEndpoint{entry->name, text, port};
    } else {
      // Timed out or gone: left out until the service is announced anew. Freeing the resolver from its own
      // callback is allowed (nothing of it is touched after the callback returns).
      entry->endpoint.reset();
      entry->resolver.reset();
    }
    entry->owner->report();
  }

  // Tells the owner about the resolved set when it differs from the last one told.
  void report() {
    std::vector<ServiceEndpoint> all;
    for (const auto& [key, entry] : entries_) {
      if (entry->endpoint) all.push_back(*entry->endpoint);
    }
    if (all == reported_) return;
    reported_ = std::move(all);
    if (outer_.onResults) outer_.onResults(reported_);
  }

  ServiceBrowserAvahi& outer_;
  avahi::Connection connection_;
  avahi::ServiceBrowser browser_;                    // after connection_: freed before its client
  std::map<Key, std::unique_ptr<Entry>> entries_;    // unique_ptr: resolvers point at their entry
  std::vector<ServiceEndpoint> reported_;
};

ServiceBrowserAvahi::ServiceBrowserAvahi() : impl_(std::make_unique<Impl>(*this)) {}

ServiceBrowserAvahi::~ServiceBrowserAvahi() = default;

void ServiceBrowserAvahi::start() { impl_->start(); }

}  // namespace pellora
