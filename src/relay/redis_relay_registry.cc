#include "relay/redis_relay_registry.h"

#include <algorithm>
#include <future>
#include <iostream>
#include <sstream>
#include <tuple>
#include <utility>

#include "core/crypto.h"

namespace pellora::relay {

namespace {

// Connecting and every command: a Redis that hangs counts as gone.
constexpr std::chrono::milliseconds kTimeout{2000};
const std::string kPrefix = "pellora:";

std::string identityKey(std::string_view id) { return kPrefix + "identity:" + std::string(id); }
std::string presenceKey(const std::string& id) { return kPrefix + "presence:" + id; }
std::string tokenKey(const std::string& token) { return kPrefix + "token:" + token; }
std::string channelOf(const std::string& node) { return kPrefix + "node:" + node; }

// Sets the presence entry to this node unless another node holds it; used to refresh and to restore
// entries lost when Redis restarted without them.
constexpr const char* kRefreshPresence =
    "local v = redis.call('GET', KEYS[1]) "
    "if v == false or v == ARGV[1] then return redis.call('SET', KEYS[1], ARGV[1], 'PX', ARGV[2]) end "
    "return 0";
// A viewer's announcement to a host on another node: stores the token and publishes it on the channel of
// the node that holds the host, unless no node does; a token that no node heard is not kept. Returns how
// many nodes heard it.
constexpr const char* kAnnounce =
    "local holder = redis.call('GET', KEYS[1]) "
    "if holder == false then return 0 end "
    "redis.call('SET', KEYS[2], ARGV[1], 'PX', ARGV[2]) "
    "local heard = redis.call('PUBLISH', ARGV[3] .. holder, ARGV[4]) "
    "if heard == 0 then redis.call('DEL', KEYS[2]) end "
    "return heard";
// Deletes the presence entry if this node still holds it.
constexpr const char* kDropPresence =
    "if redis.call('GET', KEYS[1]) == ARGV[1] then return redis.call('DEL', KEYS[1]) end return 0";

}  // namespace

RedisRelayRegistry::RedisRelayRegistry(RedisAddress redis, std::string nodeAddress)
    : redis_(std::move(redis)),
      tls_(RedisConnection::tlsContextFor(redis_)),
      nodeAddress_(std::move(nodeAddress)),
      node_(randomToken()),
      commands_([this] { return connect(); }) {
  listener_ = std::thread([this] { listen(); });
}

RedisRelayRegistry::~RedisRelayRegistry() {
  {
    std::lock_guard lock(listenMutex_);
    stopping_ = true;
    if (listening_) listening_->interrupt();
  }
  listenWake_.notify_all();
  listener_.join();
}

std::unique_ptr<RedisConnection> RedisRelayRegistry::connect() const {
  return std::make_unique<RedisConnection>(redis_, tls_, kTimeout);
}

// Runs one command; throws RegistryUnavailable when Redis does not answer, and for error replies, as
// RedisRefused when they say this node may not run it.
RedisReply RedisRelayRegistry::command(std::vector<std::string> args) {
  std::string name = args.front();
  RedisReply reply = commands_.command(std::move(args));
  checked(reply, name);
  return reply;
}

void RedisRelayRegistry::submit(std::vector<std::string> args, RedisPipeline::Completion then) {
  std::string name = args.front();
  commands_.submit(std::move(args), [this, name = std::move(name), then = std::move(then)](RedisReply reply,
                                                                                         std::exception_ptr error) {
    if (!error) {
      try {
        checked(reply, name);
      } catch (...) {
        error = std::current_exception();
      }
    }
    then(std::move(reply), error);
  });
}

void RedisRelayRegistry::checked(const RedisReply& reply, const std::string& name) const {
  if (!reply.error()) return;
  const std::string why = reply.text();
  if (why.starts_with("NOAUTH") || why.starts_with("WRONGPASS") || why.starts_with("NOPERM"))
    throw RedisRefused("redis: " + redis_.describe() + " refused " + name + ": " + why);
  throw RegistryUnavailable("redis: " + why);
}

Registration RedisRelayRegistry::registerIdentity() {
  Registration r;
  r.secret = hexString(PelloraCrypto::randomBytes(32));
  const std::string digest = hexString(PelloraCrypto::sha256(asBytes(r.secret)));
  // Identities are never deleted, so SET NX never hands out a taken id; a clash draws again.
  do r.id = randomID();
  while (command({"SET", identityKey(r.id), digest, "NX"}).nil());
  return r;
}

bool RedisRelayRegistry::authenticate(std::string_view id, std::string_view secret) {
  const std::string stored = command({"GET", identityKey(id)}).text();
  const std::string digest = hexString(PelloraCrypto::sha256(asBytes(secret)));
  return stored.size() == digest.size() && PelloraCrypto::constantTimeEqual(asBytes(stored), asBytes(digest));
}

void RedisRelayRegistry::attachHost(const std::string& id, std::shared_ptr<HostLink> link) {
  std::lock_guard turn(turnOf(id));
  // Store first: when Redis is away the host is refused and nothing here changes.
  RedisReply previous = command({"SET", presenceKey(id), node_, "PX",
                            std::to_string(std::chrono::milliseconds(presenceLifetime).count()), "GET"});
  std::shared_ptr<HostLink> replacedHere;
  {
    std::lock_guard lock(hostsMutex_);
    replacedHere = std::exchange(hosts_[id], std::move(link));
  }
  if (replacedHere) replacedHere->replaced();
  const std::string other = previous.text();
  if (!other.empty() && other != node_) command({"PUBLISH", channelOf(other), "replaced " + id});
}

void RedisRelayRegistry::detachHost(const std::string& id, const HostLink* link) {
  std::lock_guard turn(turnOf(id));
  {
    std::lock_guard lock(hostsMutex_);
    auto it = hosts_.find(id);
    if (it == hosts_.end() || it->second.get() != link) return;
    hosts_.erase(it);
  }
  command({"EVAL", kDropPresence, "1", presenceKey(id), node_});
}

bool RedisRelayRegistry::notifyHost(const std::string& id, const std::string& token) {
  if (auto here = hostHere(id)) {
    here->incoming(token);
    return true;
  }
  const std::string holder = command({"GET", presenceKey(id)}).text();
  if (holder.empty()) return false;
  // No listener on that channel: the node is gone and its entry not yet expired.
  return command({"PUBLISH", channelOf(holder), "incoming " + id + " " + token}).integer() > 0;
}

std::pair<std::string, std::string> RedisRelayRegistry::keepPending(std::shared_ptr<PendingConnect> pending,
                                                                    std::chrono::steady_clock::time_point expiry) {
  const auto now = std::chrono::steady_clock::now();
  const auto lifetime = std::max<long long>(
      1, std::chrono::duration_cast<std::chrono::milliseconds>(expiry - now).count());
  std::string token = randomToken() + '.' + node_;
  std::lock_guard lock(pendingMutex_);
  // Swept when it has doubled since the last sweep: a sweep at every call made a burst of n connects cost n².
  if (pending_.size() >= sweepAt_) {
    std::erase_if(pending_, [now](const auto& e) { return e.second.expiry <= now || e.second.connect.expired(); });
    sweepAt_ = std::max<std::size_t>(64, 2 * pending_.size());
  }
  pending_[token] = Pending{std::move(pending), expiry};
  return {std::move(token), std::to_string(lifetime)};
}

void RedisRelayRegistry::forgetPending(const std::string& token) {
  std::lock_guard lock(pendingMutex_);
  pending_.erase(token);
}

std::shared_ptr<HostLink> RedisRelayRegistry::hostHere(const std::string& id) {
  std::lock_guard lock(hostsMutex_);
  auto it = hosts_.find(id);
  return it == hosts_.end() ? nullptr : it->second;
}

namespace {

// Waits for what a pipelined call hands its completion.
template <typename T, typename Start>
T waitFor(Start start) {
  std::promise<T> result;
  start([&result](T value, std::exception_ptr error) {
    if (error) result.set_exception(error);
    else result.set_value(std::move(value));
  });
  return result.get_future().get();
}

}  // namespace

std::string RedisRelayRegistry::addPending(std::shared_ptr<PendingConnect> pending,
                                           std::chrono::steady_clock::time_point expiry) {
  return waitFor<std::string>([&](Announced done) { storePending({}, nullptr, std::move(pending), expiry, std::move(done)); });
}

std::string RedisRelayRegistry::announce(const std::string& id, std::shared_ptr<PendingConnect> pending,
                                         std::chrono::steady_clock::time_point expiry) {
  return waitFor<std::string>([&](Announced done) { announcePipelined(id, std::move(pending), expiry, std::move(done)); });
}

// addPending and notifyHost in one round trip.
void RedisRelayRegistry::announcePipelined(const std::string& id, std::shared_ptr<PendingConnect> pending,
                                           std::chrono::steady_clock::time_point expiry, Announced done) {
  storePending(id, hostHere(id), std::move(pending), expiry, std::move(done));
}

// The viewer is kept here before its token is stored: once stored, another node may take the token and
// join the viewer at once. A token that no host heard of is forgotten.
void RedisRelayRegistry::storePending(const std::string& id, std::shared_ptr<HostLink> here,
                                      std::shared_ptr<PendingConnect> pending,
                                      std::chrono::steady_clock::time_point expiry, Announced done) {
  std::string token, lifetime;
  std::tie(token, lifetime) = keepPending(std::move(pending), expiry);
  auto finish = [this, token, done = std::move(done)](bool heard, std::exception_ptr error) {
    if (!heard || error) forgetPending(token);
    done(heard && !error ? token : std::string(), error);
  };
  if (here || id.empty()) {
    submit({"SET", tokenKey(token), tokenEntry(), "PX", lifetime},
           [here, token, finish](RedisReply, std::exception_ptr error) {
             if (here && !error) here->incoming(token);
             finish(true, error);
           });
    return;
  }
  const std::string channels = channelOf("");  // the script appends the holder's node
  submit({"EVAL", kAnnounce, "2", presenceKey(id), tokenKey(token), tokenEntry(), lifetime, channels,
          "incoming " + id + " " + token},
         [finish](RedisReply heard, std::exception_ptr error) { finish(!error && heard.integer() > 0, error); });
}

PendingLookup RedisRelayRegistry::takePending(const std::string& token) {
  return waitFor<PendingLookup>([&](Taken done) { takePendingPipelined(token, std::move(done)); });
}

// A token names the node where its viewer waits, so a join asks Redis only for a node whose address this
// one has not learnt yet: in a burst each lookup is a round trip on the join's way.
void RedisRelayRegistry::takePendingPipelined(const std::string& token, Taken done) {
  const std::string_view node = nodeOf(token);
  if (node == node_) return done({takeLocalPending(token), {}}, nullptr);
  if (std::string address = knownAddress(node); !address.empty()) return done({nullptr, std::move(address)}, nullptr);
  submit({"GETDEL", tokenKey(token)}, [this, token, done = std::move(done)](RedisReply reply, std::exception_ptr error) {
    if (error) return done({}, error);
    const std::string where = reply.text();
    const auto space = where.find(' ');
    if (space == std::string::npos) return done({}, nullptr);
    std::string holder = where.substr(0, space), address = where.substr(space + 1);
    if (holder == node_) return done({takeLocalPending(token), {}}, nullptr);
    learn(std::move(holder), address);
    done({nullptr, std::move(address)}, nullptr);
  });
}

std::string_view RedisRelayRegistry::nodeOf(std::string_view token) {
  const auto dot = token.rfind('.');
  return dot == std::string_view::npos ? std::string_view() : token.substr(dot + 1);
}

std::string RedisRelayRegistry::knownAddress(std::string_view node) {
  if (node.empty()) return {};
  std::lock_guard lock(nodesMutex_);
  for (const auto& [id, address] : nodes_)
    if (id == node) return address;
  return {};
}

void RedisRelayRegistry::learn(std::string node, std::string address) {
  std::lock_guard lock(nodesMutex_);
  for (const auto& known : nodes_)
    if (known.first == node) return;
  if (nodes_.size() < kKnownNodes) nodes_.emplace_back(std::move(node), std::move(address));
  else nodes_[nextNode_++ % kKnownNodes] = {std::move(node), std::move(address)};  // the oldest goes
}

std::shared_ptr<PendingConnect> RedisRelayRegistry::takeLocalPending(const std::string& token) {
  std::lock_guard lock(pendingMutex_);
  auto it = pending_.find(token);
  if (it == pending_.end()) return nullptr;
  std::shared_ptr<PendingConnect> p =
      it->second.expiry > std::chrono::steady_clock::now() ? it->second.connect.lock() : nullptr;
  pending_.erase(it);
  return p;
}

bool RedisRelayRegistry::admitted() {
  try {
    if (command({"PING"}).text() != "PONG") return false;
    // A host attached before the node's channel is subscribed would miss its viewers' lines.
    std::unique_lock lock(listenMutex_);
    return listenWake_.wait_for(lock, kTimeout, [this] { return subscribed_; });
  } catch (const RedisRefused&) {
    throw;
  } catch (const RegistryUnavailable&) {
    return false;
  }
}

bool RedisRelayRegistry::reachable() {
  try {
    return command({"PING"}).text() == "PONG";
  } catch (const RegistryUnavailable&) {
    return false;
  }
}

void RedisRelayRegistry::tick() {
  std::vector<std::vector<std::string>> refreshes;
  const std::string lifetime = std::to_string(std::chrono::milliseconds(presenceLifetime).count());
  {
    std::lock_guard lock(hostsMutex_);
    for (const auto& [id, link] : hosts_) refreshes.push_back({"EVAL", kRefreshPresence, "1", presenceKey(id), node_, lifetime});
  }
  if (refreshes.empty()) return;
  for (const RedisReply& r : commands_.commands(std::move(refreshes))) checked(r, "EVAL");
}

void RedisRelayRegistry::withdraw() {
  std::unordered_map<std::string, std::shared_ptr<HostLink>> hosts;
  {
    std::lock_guard lock(hostsMutex_);
    hosts.swap(hosts_);
  }
  std::vector<std::vector<std::string>> drops;
  for (const auto& [id, link] : hosts) drops.push_back({"EVAL", kDropPresence, "1", presenceKey(id), node_});
  if (drops.empty()) return;
  for (const RedisReply& r : commands_.commands(std::move(drops))) checked(r, "EVAL");
}

// The channel thread: subscribes to this node's channel and hands each line to the host it names;
// reconnects every second while Redis is away.
void RedisRelayRegistry::listen() {
  for (;;) {
    std::unique_ptr<RedisConnection> c;
    try {
      c = connect();
      c->send({"SUBSCRIBE", channelOf(node_)});
    } catch (const RegistryUnavailable&) {
      c.reset();
    }
    {
      std::unique_lock lock(listenMutex_);
      if (stopping_) return;
      if (!c) {
        listenWake_.wait_for(lock, std::chrono::seconds(1));
        continue;
      }
      listening_ = c.get();
    }
    try {
      c->next();  // the subscription's confirmation: lines published from now on reach this node
      {
        std::lock_guard lock(listenMutex_);
        subscribed_ = true;
      }
      listenWake_.notify_all();
      for (;;) {  // waits for messages as long as it takes
        if (const std::string m = c->next().message(); !m.empty()) deliver(m);
      }
    } catch (const RegistryUnavailable&) {
    }
    std::unique_lock lock(listenMutex_);
    listening_ = nullptr;
    subscribed_ = false;
    if (stopping_) return;
    listenWake_.wait_for(lock, std::chrono::seconds(1));
  }
}

void RedisRelayRegistry::deliver(const std::string& message) {
  std::istringstream in(message);
  std::string kind, id, token;
  in >> kind >> id >> token;
  std::lock_guard lock(hostsMutex_);
  auto it = hosts_.find(id);
  if (it == hosts_.end()) return;
  if (kind == "incoming" && !token.empty()) {
    it->second->incoming(token);
  } else if (kind == "replaced") {
    it->second->replaced();
    hosts_.erase(it);
  }
}

}  // namespace pellora::relay
