#pragma once

// Owning wrappers of Avahi client handles, private to the Avahi code (no public header includes Avahi).

#include <avahi-client/client.h>
#include <avahi-client/lookup.h>
#include <avahi-client/publish.h>
#include <avahi-common/malloc.h>
#include <avahi-common/thread-watch.h>

#include <memory>

namespace pellora::avahi {

// Frees a handle with the library's own function for it.
template <auto free>
struct FreeWith {
  template <typename T>
  void operator()(T* handle) const {
    free(handle);
  }
};

using ThreadedPoll = std::unique_ptr<AvahiThreadedPoll, FreeWith<avahi_threaded_poll_free>>;
using Client = std::unique_ptr<AvahiClient, FreeWith<avahi_client_free>>;
using EntryGroup = std::unique_ptr<AvahiEntryGroup, FreeWith<avahi_entry_group_free>>;  // freeing withdraws
using ServiceBrowser = std::unique_ptr<AvahiServiceBrowser, FreeWith<avahi_service_browser_free>>;
using ServiceResolver = std::unique_ptr<AvahiServiceResolver, FreeWith<avahi_service_resolver_free>>;
using String = std::unique_ptr<char, FreeWith<avahi_free>>;  // strings Avahi allocates (alternative names)

// Timers of an event loop; freed through the loop they were made on.
struct TimeoutDeleter {
  const AvahiPoll* api = nullptr;
  void operator()(AvahiTimeout* t) const { api->timeout_free(t); }
};
using Timeout = std::unique_ptr<AvahiTimeout, TimeoutDeleter>;

}  // namespace pellora::avahi
