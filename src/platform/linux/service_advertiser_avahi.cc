#include "platform/linux/service_advertiser_avahi.h"

#include <avahi-common/alternative.h>
#include <avahi-common/error.h>

#include <optional>

#include "platform/linux/avahi_connection.h"

namespace pellora {

namespace {

constexpr std::size_t kMaxLabelBytes = 63;
// Local collisions are resolved by renaming in a loop; a bound keeps a misbehaving daemon from holding it.
constexpr int kMaxRenames = 100;

// `name` cut to one DNS label without splitting a UTF-8 character.
std::string labelOf(const std::string& name) {
  if (name.size() <= kMaxLabelBytes) return name;
  std::size_t end = kMaxLabelBytes;
  while (end > 0 && (static_cast<unsigned char>(name[end]) & 0xC0) == 0x80) --end;
  return name.substr(0, end);
}

}  // namespace

// Everything below runs on the event thread with the loop locked, except `advertise` (which takes the lock
// once the thread runs) and the destructor (after the thread stopped).
class ServiceAdvertiserAvahi::Impl {
 public:
  explicit Impl(ServiceAdvertiserAvahi& outer)
      : outer_(outer),
        connection_("pellora.mdns.ad", [this](AvahiClient* c, AvahiClientState s) { clientChanged(c, s); }) {}

  ~Impl() {
    connection_.stop();
    group_.reset();  // withdraws the service while the client is still connected
  }

  void advertise(const std::string& name, std::uint16_t port) {
    {
      std::optional<avahi::Connection::Lock> lock;
      if (connection_.started()) lock.emplace(connection_);
      requested_ = labelOf(name);
      current_ = requested_;
      port_ = port;
      wanted_ = true;
      if (client_) publish();
    }
    connection_.start();
  }

 private:
  void clientChanged(AvahiClient* client, AvahiClientState state) {
    switch (state) {
      case AVAHI_CLIENT_S_RUNNING:
        client_ = client;
        if (wanted_) publish();
        break;
      case AVAHI_CLIENT_S_REGISTERING:
      case AVAHI_CLIENT_S_COLLISION:
        // The daemon is choosing its host name again; our records follow once it runs.
        client_ = nullptr;
        if (group_) avahi_entry_group_reset(group_.get());
        break;
      case AVAHI_CLIENT_FAILURE:
        // The daemon went away with everything we had announced; a new client announces afresh.
        client_ = nullptr;
        group_.reset();
        current_ = requested_;
        break;
      case AVAHI_CLIENT_CONNECTING:
        break;
    }
  }

  static void groupEvent(AvahiEntryGroup*, AvahiEntryGroupState state, void* self) {
    auto* impl = static_cast<Impl*>(self);
    switch (state) {
      case AVAHI_ENTRY_GROUP_ESTABLISHED:
        if (impl->current_ != impl->reported_) {
          impl->reported_ = impl->current_;
          if (impl->outer_.onName) impl->outer_.onName(impl->reported_);
        }
        break;
      case AVAHI_ENTRY_GROUP_COLLISION:  // someone on the network already uses the name
        impl->rename();
        impl->publish();
        break;
      case AVAHI_ENTRY_GROUP_FAILURE:  // nothing announced; the next daemon restart tries again
      case AVAHI_ENTRY_GROUP_UNCOMMITED:
      case AVAHI_ENTRY_GROUP_REGISTERING:
        break;
    }
  }

  void rename() {
    avahi::String alternative(avahi_alternative_service_name(current_.c_str()));
    if (alternative) current_ = alternative.get();
  }

  // (Re)announces `current_`, renaming while this daemon already holds the name for another client.
  void publish() {
    if (!client_) return;
    if (!group_) group_.reset(avahi_entry_group_new(client_, groupEvent, this));
    if (!group_) return;
    avahi_entry_group_reset(group_.get());
    for (int attempt = 0; attempt < kMaxRenames; ++attempt) {
      const int result = avahi_entry_group_add_service(group_.get(), AVAHI_IF_UNSPEC, AVAHI_PROTO_UNSPEC,
                                                       AvahiPublishFlags{}, current_.c_str(), serviceType, nullptr,
                                                       nullptr, port_, nullptr);
      if (result == AVAHI_ERR_COLLISION) {
        rename();
        continue;
      }
      if (result == AVAHI_OK) avahi_entry_group_commit(group_.get());
      return;
    }
  }

  ServiceAdvertiserAvahi& outer_;
  avahi::Connection connection_;
  avahi::EntryGroup group_;  // after connection_: freed before its client
  AvahiClient* client_ = nullptr;  // the connection's client while the daemon runs
  bool wanted_ = false;            // advertise was called
  std::string requested_;          // the name asked for
  std::string current_;            // the name being announced
  std::string reported_;           // the last name given to onName
  std::uint16_t port_ = 0;
};

ServiceAdvertiserAvahi::ServiceAdvertiserAvahi() : impl_(std::make_unique<Impl>(*this)) {}

ServiceAdvertiserAvahi::~ServiceAdvertiserAvahi() = default;

void ServiceAdvertiserAvahi::advertise(const std::string& name, std::uint16_t port) { impl_->advertise(name, port); }

}  // namespace pellora
