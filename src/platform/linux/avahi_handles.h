#pragma once

// Owning wrappers of Avahi client handles, private to the Avahi code (no public header includes Avahi).

#include <avahi-client/client.h>
#include <avahi-client/lookup.h>
#include <avahi-client/publish.h>
#include <avahi-common/malloc.h>
#include <avahi-common/thread-watch.h>

#include <memory>

namespace pellora::avahi {

struct ThreadedPollDeleter {
  void operator()(AvahiThreadedPoll* p) const { avahi_threaded_poll_free(p); }
};
using ThreadedPoll = std::unique_ptr<AvahiThreadedPoll, ThreadedPollDeleter>;

struct ClientDeleter {
  void operator()(AvahiClient* c) const { avahi_client_free(c); }
};
using Client = std::unique_ptr<AvahiClient, ClientDeleter>;

// Freeing a group withdraws what it announced.
struct EntryGroupDeleter {
  void operator()(AvahiEntryGroup* g) const { avahi_entry_group_free(g); }
};
using EntryGroup = std::unique_ptr<AvahiEntryGroup, EntryGroupDeleter>;

struct ServiceBrowserDeleter {
  void operator()(AvahiServiceBrowser* b) const { avahi_service_browser_free(b); }
};
using ServiceBrowser = std::unique_ptr<AvahiServiceBrowser, ServiceBrowserDeleter>;

struct ServiceResolverDeleter {
  void operator()(AvahiServiceResolver* r) const { avahi_service_resolver_free(r); }
};
using ServiceResolver = std::unique_ptr<AvahiServiceResolver, ServiceResolverDeleter>;

// Timers of an event loop; freed through the loop they were made on.
struct TimeoutDeleter {
  const AvahiPoll* api = nullptr;
  void operator()(AvahiTimeout* t) const { api->timeout_free(t); }
};
using Timeout = std::unique_ptr<AvahiTimeout, TimeoutDeleter>;

// Strings that Avahi allocates (alternative names).
struct StringDeleter {
  void operator()(char* s) const { avahi_free(s); }
};
using String = std::unique_ptr<char, StringDeleter>;

}  // namespace pellora::avahi
