#include "host/host_service.h"


#include <algorithm>
#include <boost/asio/as_tuple.hpp>
#include <boost/asio/co_spawn.hpp>
#include <boost/asio/detached.hpp>
#include <boost/asio/post.hpp>
#include <boost/asio/steady_timer.hpp>
#include <boost/asio/this_coro.hpp>
#include <boost/asio/use_awaitable.hpp>

#include "core/error_text.h"
#include "core/password_generator.h"
#include "core/relay_error.h"
#include "core/relay_protocol.h"
#include "core/uuid.h"
#include "support/file_names_directory.h"
#include "support/network_info.h"

namespace pellora {

namespace asio = boost::asio;
using asio::awaitable;
using asio::ip::tcp;

namespace {

constexpr int passwordLength = 8;
// The listener's waits after a failed accept: the first, doubled each time up to the longest.
constexpr auto firstAcceptRetry = std::chrono::milliseconds(100);
constexpr auto longestAcceptRetry = std::chrono::seconds(2);
constexpr auto useTuple = asio::as_tuple(asio::use_awaitable);

// The relay told us another host took over our identity: the loop ends for good.
struct Replaced {};

// Runs `job` on the main strand with the service, unless it is gone by then. For callbacks that arrive on
// other threads: they hold the service only weakly.
template <typename Service, typename Job>
void postTo(NetworkThread::Strand strand, std::weak_ptr<Service> weak, Job job) {
  asio::post(strand, [weak = std::move(weak), job = std::move(job)]() mutable {
    if (auto self = weak.lock()) job(*self);
  });
}

}  // namespace

// One run of the relay loop. Main strand. Cancelling wakes its wait and cuts its control connection, so
// the loop ends at its next step; a cancelled run never touches the published state again.
struct HostService::RelayRun {
  explicit RelayRun(NetworkThread::Strand strand) : timer(strand) {}

  void cancel() {
    cancelled = true;
    timer.cancel();
    if (control) control->cancel();
    if (keepAlive) keepAlive->cancel();
  }

  bool cancelled = false;
  asio::steady_timer timer;
  std::shared_ptr<Wire> control;
  std::shared_ptr<asio::steady_timer> keepAlive;
};

std::shared_ptr<HostService> HostService::make(Dependencies dependencies, Options options) {
  return std::shared_ptr<HostService>(new HostService(std::move(dependencies), std::move(options)));
}

HostService::HostService(Dependencies dependencies, Options options)
    : deps_(std::move(dependencies)), options_(std::move(options)), sleepBlocker_(deps_.power) {
  published_.update([](State& s) { s.password = PasswordGenerator::make(passwordLength); });
  if (!options_.now) options_.now = [] { return Clock::now(); };
  // Sessions begin on the main strand: the user's folders are read here, once.
  if (!options_.downloadDirectory) options_.downloadDirectory = FileNames::defaultDirectory();
}

HostService::~HostService() {
  if (relayRun_) relayRun_->cancel();
  if (acceptor_) acceptor_->close();
  if (deps_.clipboard) deps_.clipboard->onLocalChange = nullptr;
}


std::string HostService::computerName() const {
  if (!options_.computerName.empty()) return options_.computerName;
  return NetworkInfo::computerName();
}

std::vector<std::string> HostService::addresses() const {
  const std::string port = std::to_string(listeningPort());
  // Bound to one address (the command line's --listen): no other one reaches the listener.
  if (const auto bound = options_.listen.address(); !bound.is_unspecified())
    return {(bound.is_v6() ? "[" + bound.to_string() + "]" : bound.to_string()) + ":" + port};
  std::vector<std::string> out;
  for (const auto& address : NetworkInfo::ipv4Addresses()) out.push_back(address + ":" + port);
  return out;
}

std::uint16_t HostService::listeningPort() const { return acceptor_ ? boundPort_ : options_.listen.port(); }

int HostService::handshakesInProgress() const {
  return static_cast<int>(std::count_if(handshakes_.begin(), handshakes_.end(),
                                        [](const Pending& p) { return !p.wire.expired(); }));
}

// Port 0 lets the system choose: the status shows the port callers must use.
std::string HostService::openStatus() const { return "Yerel ağda açık (port " + std::to_string(boundPort_) + ")"; }

void HostService::setPassword(std::string password) {
  published_.update([&](State& s) { s.password = std::move(password); });
}

void HostService::regeneratePassword() { setPassword(PasswordGenerator::make(passwordLength)); }

// MARK: - Sharing on and off

void HostService::start() {
  if (state().isSharing) return;
  published_.update([](State& s) { s.isSharing = true; });
  startListener();
  if (deps_.settings.state().relayEnabled) startRelay();
}

void HostService::stop() {
  published_.update([](State& s) {
    s.isSharing = false;
    s.listenerStatus = "Kapalı";
    s.advertisedName.clear();
  });
  if (acceptor_) acceptor_->close();
  acceptor_.reset();
  advertiser_.reset();
  cancelRelay();
  // Callers still in their handshake are turned away; their tasks free what they hold.
  for (auto& pending : handshakes_)
    if (auto wire = pending.wire.lock()) wire->cancel();
  handshakes_.clear();
  if (session_) session_->channel()->close(std::string(stoppedReason));
}

void HostService::restartRelay() {
  cancelRelay();
  if (state().isSharing && deps_.settings.state().relayEnabled) startRelay();
}

void HostService::startListener() {
  const std::string port = std::to_string(options_.listen.port());
  auto acceptor = std::make_shared<tcp::acceptor>(deps_.network.mainStrand());
  try {
    acceptor->open(options_.listen.protocol());
    acceptor->set_option(tcp::acceptor::reuse_address(true));
    acceptor->bind(options_.listen);
    acceptor->listen();
    acceptor->non_blocking(true);  // the accept loop's retries try without waiting
    boundPort_ = acceptor->local_endpoint().port();
  } catch (const boost::system::system_error& e) {
    published_.update([&](State& s) { s.listenerStatus = "Port " + port + " açılamadı: " + e.code().message(); });
    return;
  }
  acceptor_ = acceptor;
  published_.update([&](State& s) { s.listenerStatus = openStatus(); });

  if (options_.makeAdvertiser) {
    advertiser_ = options_.makeAdvertiser();
    if (advertiser_) {
      advertiser_->onName = [strand = deps_.network.mainStrand(), weak = weak_from_this()](const std::string& name) {
        postTo(strand, weak, [name](HostService& self) {
          if (self.advertiser_) self.published_.update([&](State& s) { s.advertisedName = name; });
        });
      };
      const std::string name = computerName();
      published_.update([&](State& s) { s.advertisedName = name; });
      advertiser_->advertise(name, boundPort_);
    }
  }
  asio::co_spawn(deps_.network.mainStrand(), acceptLoop(weak_from_this(), acceptor), asio::detached);
}

awaitable<void> HostService::acceptLoop(std::weak_ptr<HostService> weak, std::shared_ptr<tcp::acceptor> acceptor) {
  // After a failed accept (out of descriptors or memory, say) the listener waits and tries again, longer
  // each time up to a bound, and says so. A retry does not wait for a caller: Linux reports a lack of
  // descriptors even when nobody is waiting to be accepted, so a retry that finds nobody shows the listener
  // open again at once, and one that finds a caller takes it.
  Clock::duration wait = firstAcceptRetry;
  bool failing = false;
  for (;;) {
    auto self = weak.lock();
    if (!self || self->acceptor_ != acceptor) co_return;
    auto executor = self->deps_.network.executor();
    tcp::socket socket(executor);
    boost::system::error_code ec;
    if (failing) {
      acceptor->accept(socket, ec);  // the acceptor is non-blocking
      if (ec == asio::error::would_block || ec == asio::error::try_again) ec = {};  // nobody waiting
    } else {
      self.reset();
      const auto [accepted] = co_await acceptor->async_accept(socket, useTuple);
      ec = accepted;
      self = weak.lock();
      if (!self || self->acceptor_ != acceptor) co_return;  // stopped, or a newer listener took over
    }
    if (ec == asio::error::connection_aborted || ec == asio::error::interrupted) continue;
    if (ec) {
      const std::string status = "Yerel ağ dinleyicisi hatası: " + ec.message() + " (yeniden deneniyor)";
      self->published_.update([&](State& s) { s.listenerStatus = status; });
      failing = true;
      asio::steady_timer pause(executor, wait);
      self.reset();
      co_await pause.async_wait(useTuple);
      wait = std::min<Clock::duration>(wait * 2, longestAcceptRetry);
      continue;
    }
    if (failing) {
      failing = false;
      wait = firstAcceptRetry;
      self->published_.update([&](State& s) { s.listenerStatus = self->openStatus(); });
    }
    if (!socket.is_open()) continue;  // a retry that found nobody waiting
    boost::system::error_code ignored;
    const tcp::endpoint remote = socket.remote_endpoint(ignored);
    self->accept(Wire::accepted(std::move(socket)), remote.address().to_string());
  }
}

// MARK: - Admission

void HostService::accept(std::shared_ptr<Wire> wire, std::optional<std::string> lanAddress) {
  std::erase_if(handshakes_, [](const Pending& p) { return p.wire.expired(); });
  const auto alike = std::count_if(handshakes_.begin(), handshakes_.end(),
                                   [&](const Pending& p) { return p.lanAddress == lanAddress; });
  const int cap = lanAddress ? options_.maxPendingPerAddress : options_.maxPendingRelayed;
  if (static_cast<int>(handshakes_.size()) >= options_.maxPendingHandshakes || alike >= cap) {
    // Nothing can be said before the caller's hello (a status byte only follows the host's hello): the
    // connection just closes.
    wire->cancel();
    return;
  }
  handshakes_.push_back({wire, lanAddress});
  std::optional<std::string> permanent = deps_.settings.permanentPassword();
  std::string address = lanAddress ? wire->remoteDescription() : "internet (relay)";
  asio::co_spawn(deps_.network.mainStrand(),
                 handshake(weak_from_this(), std::move(wire), state().password, std::move(permanent), std::move(address)),
                 asio::detached);
}

awaitable<void> HostService::handshake(std::weak_ptr<HostService> weak, std::shared_ptr<Wire> wire,
                                       std::string password, std::optional<std::string> permanent,
                                       std::string address) {
  std::string name;
  std::chrono::seconds timeout;
  CpuPool* cpu;
  SecureChannel::ServerOptions serverOptions;
  {
    auto self = weak.lock();
    if (!self) co_return;
    name = self->computerName();
    timeout = self->options_.handshakeTimeout;
    cpu = &self->deps_.cpu;
    serverOptions.refuseVersion1 = self->deps_.settings.state().requireHandshakeV2;
    serverOptions.helloTimeout = self->options_.helloTimeout;
    serverOptions.proofTimeout = self->options_.proofTimeout;
    serverOptions.screen = [weak](const Hello&) {
      auto service = weak.lock();
      return service ? service->screen() : HandshakeStatus::rejected;
    };
  }
  auto admitted = std::make_shared<bool>(false);
  SecureChannel::Admit admit = [weak, address, admitted](const Hello& client, SecureChannel::PasswordMatch match) {
    return admitCaller(weak, client, match, address, admitted);
  };

  std::shared_ptr<SecureChannel> channel;
  bool refused = false;
  try {
    channel = co_await SecureChannel::server(wire, std::move(password), std::move(permanent), std::move(name), timeout,
                                             std::move(admit), *cpu, serverOptions);
  } catch (const HandshakeError& e) {
    refused = e.kind() == HandshakeError::Kind::status;  // the status frame is on its way; the server closes
  } catch (...) {
  }

  auto self = weak.lock();
  if (self) std::erase_if(self->handshakes_, [&](const Pending& p) { return p.wire.lock() == wire; });
  if (!channel) {
    if (!refused) wire->cancel();
    if (self && *admitted) self->slotTaken_ = false;
    co_return;
  }
  if (!self) {
    channel->close(std::nullopt);
    co_return;
  }
  self->begin(std::move(channel), address);
}

// The answers of the admission below that need no password, given before any key is derived for the
// caller; the admission asks again once the proof is in.
HandshakeStatus HostService::screen() const {
  if (options_.now() < lockedUntil_) return HandshakeStatus::locked;
  if (!state().isSharing) return HandshakeStatus::rejected;
  if (slotTaken_) return HandshakeStatus::busy;
  return HandshakeStatus::ok;
}

awaitable<HandshakeStatus> HostService::admitCaller(std::weak_ptr<HostService> weak, Hello client,
                                                    SecureChannel::PasswordMatch match, std::string address,
                                                    std::shared_ptr<bool> admitted) {
  auto self = weak.lock();
  if (!self) co_return HandshakeStatus::rejected;
  const HandshakeStatus status = co_await self->admit(client, match, address);
  *admitted = status == HandshakeStatus::ok;
  co_return status;
}

awaitable<HandshakeStatus> HostService::admit(const Hello& client, SecureChannel::PasswordMatch match,
                                              const std::string& address) {
  const auto now = options_.now();
  if (now < lockedUntil_) co_return HandshakeStatus::locked;

  if (match == SecureChannel::PasswordMatch::none) {
    std::erase_if(failures_, [&](Clock::time_point t) { return now - t >= lockoutWindow; });
    failures_.push_back(now);
    std::string event;
    if (static_cast<int>(failures_.size()) < lockoutFailures) {
      event = "Hatalı parola denemesi (" + client.name + ", " + address + ")";
    } else {
      lockedUntil_ = now + lockoutWindow;
      event = "Çok fazla hatalı parola denemesi; 60 sn kilitlendi";
    }
    published_.update([&](State& s) { s.lastEvent = event; });
    co_return HandshakeStatus::badPassword;
  }

  // Sharing was switched off while this caller derived its keys.
  if (!state().isSharing) co_return HandshakeStatus::rejected;
  if (slotTaken_) co_return HandshakeStatus::busy;
  slotTaken_ = true;

  const AppSettings::State& settings = deps_.settings.state();
  const bool skip = match == SecureChannel::PasswordMatch::permanent && settings.skipApprovalForPermanent;
  if (settings.requireApproval && !skip) {
    bool allowed = false;
    if (deps_.approval) {
      auto prompt = deps_.approval->run(client.name, std::string(label(client.os)), address);
      allowed = co_await std::move(prompt);
    }
    if (!allowed) {
      slotTaken_ = false;
      published_.update([&](State& s) { s.lastEvent = client.name + " bağlantısı reddedildi"; });
      co_return HandshakeStatus::rejected;
    }
  }
  co_return HandshakeStatus::ok;
}

// MARK: - Sessions

void HostService::begin(std::shared_ptr<SecureChannel> channel, const std::string& address) {
  if (!state().isSharing) {  // stopped while the caller waited for approval
    slotTaken_ = false;
    channel->close(std::string(stoppedReason));
    return;
  }
  const AppSettings::State& settings = deps_.settings.state();
  HostSession::Options sessionOptions;
  sessionOptions.quality = settings.quality;
  sessionOptions.displayID = 0;  // the main display
  sessionOptions.name = computerName();
  sessionOptions.syncClipboard = settings.syncClipboard;
  sessionOptions.acceptFiles = settings.acceptFiles;
  sessionOptions.downloadDirectory = options_.downloadDirectory;

  auto session = HostSession::make(channel, sessionOptions, deps_.platform, &deps_.network);
  session_ = session;
  const std::string peerName = channel->peer().name;
  published_.update([&](State& s) {
    s.active =
        ActiveSession{UUID::v4(), peerName, address, std::chrono::system_clock::now(), channel->handshakeVersion()};
    s.lastEvent = peerName + " bağlandı";
    s.chat.clear();
    s.transfers.clear();
    s.unreadChat = 0;
  });
  sleepBlocker_.begin();

  // The hooks come from the session's task and queues; their work happens here, on the main strand.
  session->onClipboard = [strand = deps_.network.mainStrand(), weak = weak_from_this()](const std::string& text) {
    postTo(strand, weak, [text](HostService& self) {
      if (self.deps_.clipboard) self.deps_.clipboard->writeFromPeer(text);
    });
  };
  session->onChat = [strand = deps_.network.mainStrand(), weak = weak_from_this()](const std::string& text) {
    postTo(strand, weak, [text](HostService& self) {
      self.published_.update([&](State& s) {
        s.chat.push_back(ChatLine{UUID::v4(), false, text, std::chrono::system_clock::now()});
        ++s.unreadChat;
      });
    });
  };
  session->onTransfer = [strand = deps_.network.mainStrand(), weak = weak_from_this()](const TransferProgress& progress) {
    postTo(strand, weak, [progress](HostService& self) {
      self.published_.update([&](State& s) { record(s.transfers, progress); });
    });
  };
  if (deps_.clipboard) {
    deps_.clipboard->onLocalChange = [weak = std::weak_ptr<HostSession>(session)](const std::string& text) {
      auto s = weak.lock();
      if (s && s->options().syncClipboard) s->channel()->send(Message::ClipboardText{text});
    };
    deps_.clipboard->start();
  }
  asio::co_spawn(deps_.network.mainStrand(), runSession(weak_from_this(), session), asio::detached);
}

awaitable<void> HostService::runSession(std::weak_ptr<HostService> weak, std::shared_ptr<HostSession> session) {
  const std::string reason = co_await session->run();
  if (auto self = weak.lock()) self->end(session, reason);
}

void HostService::end(const std::shared_ptr<HostSession>& session, const std::string& reason) {
  if (session_ != session) return;  // a stale session ends silently
  session_.reset();
  slotTaken_ = false;
  if (deps_.clipboard) {
    deps_.clipboard->stop();
    deps_.clipboard->onLocalChange = nullptr;
  }
  sleepBlocker_.end();
  published_.update([&](State& s) {
    s.active.reset();
    s.lastEvent = "Oturum bitti: " + reason;
  });
}

void HostService::sendChat(const std::string& text) {
  const std::string line = ChatLine::prepare(text);
  if (!session_ || line.empty()) return;
  session_->channel()->send(Message::ChatText{line});
  published_.update([&](State& s) { s.chat.push_back(ChatLine{UUID::v4(), true, line, std::chrono::system_clock::now()}); });
}

void HostService::sendFiles(const std::vector<std::filesystem::path>& files) {
  if (!session_) return;
  auto sender = session_->sender();
  for (const auto& file : files) sender->enqueue(file);
}

void HostService::markChatRead() {
  published_.update([](State& s) { s.unreadChat = 0; });
}

// MARK: - Relay

void HostService::setRelayState(const std::shared_ptr<RelayRun>& run, RelayState relayState) {
  if (run->cancelled) return;
  published_.update([&](State& s) { s.relayState = std::move(relayState); });
}

void HostService::startRelay() {
  auto run = std::make_shared<RelayRun>(deps_.network.mainStrand());
  relayRun_ = run;
  asio::co_spawn(deps_.network.mainStrand(), relayLoop(weak_from_this(), run), asio::detached);
}

void HostService::cancelRelay() {
  if (relayRun_) relayRun_->cancel();
  relayRun_.reset();
  published_.update([](State& s) { s.relayState = RelayState{RelayState::Off{}}; });
}

awaitable<void> HostService::relayLoop(std::weak_ptr<HostService> weak, std::shared_ptr<RelayRun> run) {
  Clock::duration delay;
  {
    auto self = weak.lock();
    if (!self) co_return;
    delay = self->options_.relayTiming.firstRetry;
  }
  for (;;) {
    auto self = weak.lock();
    if (!self || run->cancelled) co_return;
    const Options::RelayTiming timing = self->options_.relayTiming;
    const RelayClient client = self->deps_.settings.relayClient(self->deps_.network.executor());
    RelayIdentityStore& store = self->deps_.relayIdentity;
    self->setRelayState(run, RelayState{RelayState::Connecting{}});
    self.reset();

    bool controlRan = false;
    std::exception_ptr error;
    try {
      // The store's calls run on the storage queue in the order asked for: a run cancelled during its save
      // still saves, and the next run's load, queued behind it, reads that identity.
      std::optional<RelayIdentity> identity = co_await store.loadAsync();
      if (run->cancelled) co_return;
      if (!identity) {
        RelayIdentity fresh = co_await client.registerIdentity();
        if (run->cancelled) co_return;
        co_await store.saveAsync(fresh);
        identity = std::move(fresh);
      }
      std::shared_ptr<Wire> control;
      bool unauthorised = false;
      try {
        control = co_await client.hostControl(*identity);
      } catch (const RelayError& e) {
        if (e.kind() != RelayError::Kind::http || e.status() != 401) throw;
        unauthorised = true;
      }
      if (run->cancelled) {
        if (control) control->cancel();
        co_return;
      }
      if (unauthorised) {
        co_await store.clearAsync();  // the next pass registers afresh
        throw RelayError::http(401, "auth");
      }
      if (auto s = weak.lock()) s->setRelayState(run, RelayState{RelayState::Online{*identity}});
      controlRan = true;
      co_await runControl(weak, run, std::move(control), client);
    } catch (const Replaced&) {
      co_return;
    } catch (...) {
      error = std::current_exception();
    }
    if (run->cancelled) co_return;

    Clock::duration wait;
    if (controlRan) {
      wait = timing.afterControl;
      delay = std::min(2 * timing.afterControl, timing.longestRetry);
    } else {
      wait = delay;
      delay = std::min(2 * delay, timing.longestRetry);
    }
    if (error) {
      if (auto s = weak.lock(); s && !std::holds_alternative<RelayState::Failed>(s->state().relayState.value))
        s->setRelayState(run, RelayState{RelayState::Failed{errorText(error)}});
    }
    run->timer.expires_after(wait);
    co_await run->timer.async_wait(useTuple);
  }
}

awaitable<void> HostService::runControl(std::weak_ptr<HostService> weak, std::shared_ptr<RelayRun> run,
                                        std::shared_ptr<Wire> control, RelayClient client) {
  Clock::duration keepAlive;
  {
    auto self = weak.lock();
    if (!self) co_return;
    keepAlive = self->options_.relayTiming.keepAlive;
  }
  const auto executor = co_await asio::this_coro::executor;
  run->control = control;
  run->keepAlive = std::make_shared<asio::steady_timer>(executor);
  // Keep-alive: a ping line now and then, until a write fails or the control connection ends.
  auto ping = [](std::shared_ptr<Wire> wire, std::shared_ptr<asio::steady_timer> timer,
                 Clock::duration interval) -> awaitable<void> {
    for (;;) {
      timer->expires_after(interval);
      auto [ec] = co_await timer->async_wait(useTuple);
      if (ec) co_return;
      Bytes line(RelayControl::ping.begin(), RelayControl::ping.end());
      try {
        co_await wire->write(std::move(line));
      } catch (...) {
        co_return;
      }
    }
  };
  asio::co_spawn(executor, ping(control, run->keepAlive, keepAlive), asio::detached);

  std::exception_ptr ended;
  try {
    const Bytes newline{'\n'};
    for (;;) {
      const Bytes line = co_await control->readUntil(newline, static_cast<std::int64_t>(RelayProtocol::maxHead));
      if (run->cancelled) break;
      const RelayControl::Event event = RelayControl::parse(line);
      if (event.kind == RelayControl::Event::Kind::incoming) {
        asio::co_spawn(executor, acceptRelayed(weak, client, event.token), asio::detached);
      } else if (event.kind == RelayControl::Event::Kind::replaced) {
        if (auto self = weak.lock()) self->setRelayState(run, RelayState{RelayState::Failed{replacedReason}});
        throw Replaced{};
      }
    }
  } catch (...) {
    ended = std::current_exception();
  }
  run->keepAlive->cancel();
  control->cancel();
  run->control.reset();
  if (ended) std::rethrow_exception(ended);
}

awaitable<void> HostService::acceptRelayed(std::weak_ptr<HostService> weak, RelayClient client, std::string token) {
  std::shared_ptr<Wire> wire;
  try {
    wire = co_await client.accept(std::move(token));
  } catch (...) {
    co_return;  // the viewer went away, or the token expired
  }
  auto self = weak.lock();
  if (!self || !self->state().isSharing) {
    wire->cancel();
    co_return;
  }
  self->accept(std::move(wire), std::nullopt);
}

}  // namespace pellora
