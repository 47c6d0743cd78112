#pragma once

// The host service on a real network thread for its tests: its listener on loopback, viewers that run
// real handshakes, and an in-process relay. The platform below it is fake (screen, input, clipboard,
// power, approval, announcement).

#include <gtest/gtest.h>

#include <boost/asio/as_tuple.hpp>
#include <boost/asio/co_spawn.hpp>
#include <boost/asio/post.hpp>
#include <boost/asio/use_future.hpp>
#include <atomic>
#include <functional>
#include <future>
#include <thread>

#include "core/relay_error.h"
#include "host/fake_input_event_sink.h"
#include "host/fake_screen_capturer.h"
#include "host/host_service.h"
#include "support/eventually.h"
#include "support/fake_clipboard.h"
#include "support/fake_power_inhibitor.h"
#include "support/in_process_relay.h"
#include "support/on_strand.h"
#include "support/settings_stack.h"

namespace pellora::test {

namespace asio = boost::asio;
using namespace std::chrono_literals;

// Answers `answer`; with `hold` it waits until `release()` first. Used on the main strand only.
class FakeApproval : public ApprovalPrompt {
 public:
  asio::awaitable<bool> run(std::string, std::string system, std::string) override {
    systems.push_back(system);
    if (hold) {
      pending = std::make_shared<asio::steady_timer>(co_await asio::this_coro::executor, std::chrono::hours(1));
      auto timer = pending;
      co_await timer->async_wait(asio::as_tuple(asio::use_awaitable));
      pending.reset();  // timers must not outlive the network thread's context (a fixture member)
    }
    co_return answer;
  }
  void release() {
    if (pending) pending->cancel();
  }
  bool answer = true;
  bool hold = false;
  std::vector<std::string> systems;
  std::shared_ptr<asio::steady_timer> pending;
};

class FakeAdvertiser : public ServiceAdvertiser {
 public:
  void advertise(const std::string& n, std::uint16_t p) override {
    name = n;
    port = p;
  }
  std::string name;
  std::uint16_t port = 0;
};

// What a viewer's handshake ended with.
struct Attempt {
  std::shared_ptr<SecureChannel> channel;
  std::optional<HandshakeStatus> refused;
};

class HostServiceTest : public ::testing::Test, public test::SettingsStack {
 protected:
  void SetUp() override { ::unsetenv("PELLORA_RELAY_URL"); }

  // Runs `f` on the main strand and returns its result.
  template <typename F>
  auto onMain(F f) -> std::invoke_result_t<F&> {
    return test::onStrand(network.mainStrand(), std::move(f));
  }
  // Polls `done` on the main strand; false if it never held within a generous bound.
  template <typename F>
  bool eventually(F done) {
    return test::eventually([&] { return onMain(done); });
  }
  // A session's tear-down still uses the network thread: it ends before the thread does.
  void TearDown() override {
    if (!service) return;
    onMain([&] { service->stop(); });
    EXPECT_TRUE(eventually([&] { return !service->session(); }));
    onMain([&] { service.reset(); });
  }

  HostService::State state() {
    return onMain([&] { return service->state(); });
  }

  void make(std::uint16_t listenPort = 0) {
    HostService::Options options;
    options.listen = {asio::ip::make_address("127.0.0.1"), listenPort};
    options.computerName = "Masa";
    options.downloadDirectory = dir;
    options.now = [this] { return std::chrono::steady_clock::now() + std::chrono::seconds(clockOffset.load()); };
    options.makeAdvertiser = [this] {
      auto a = std::make_unique<FakeAdvertiser>();
      advertiser = a.get();
      return a;
    };
    options.relayTiming = {20ms, 80ms, 20ms, 25s};
    if (tune) tune(options);
    HostPlatform platform;
    platform.makeCapturer = [screen = screen] { return std::make_unique<test::FakeScreenCapturer>(screen); };
    platform.makeInputSink = [] { return std::make_unique<FakeInputEventSink>(); };
    service = HostService::make({network, cpu, settings, identities,
                                 ClipboardSync::make(network.mainStrand(), clipboard), power, approval, platform},
                                options);
  }
  void start(bool relay = false) {
    onMain([&] {
      settings.setRelayEnabled(relay);
      service->start();
    });
  }
  std::uint16_t port() {
    return onMain([&] { return service->listeningPort(); });
  }

  Attempt connect(const std::string& password, std::shared_ptr<Wire> wire = nullptr) {
    if (!wire) wire = Wire::tcp(network.executor(), "127.0.0.1", port(), false);
    auto handshake = SecureChannel::client(wire, password, "Ayşe", 60s, cpu);
    try {
      return {asio::co_spawn(network.context(), std::move(handshake), asio::use_future).get(), std::nullopt};
    } catch (const HandshakeError& e) {
      wire->cancel();
      if (e.kind() == HandshakeError::Kind::status) return {nullptr, e.handshakeStatus()};
      throw;
    }
  }
  // An unstarted wire to the listener whose connection leaves from `source` (a loopback address such as
  // 127.0.0.2, so that a test has callers from several addresses).
  std::shared_ptr<Wire> wireFrom(const std::string& source) {
    asio::ip::tcp::socket socket(network.context());
    socket.open(asio::ip::tcp::v4());
    socket.bind({asio::ip::make_address(source), 0});
    socket.connect({asio::ip::make_address("127.0.0.1"), port()});
    return Wire::accepted(std::move(socket));
  }
  HandshakeStatus status(const std::string& password) {
    Attempt a = connect(password);
    if (a.channel) a.channel->close(std::nullopt);
    return a.refused.value_or(HandshakeStatus::ok);
  }
  std::string password() { return state().password; }

  Message receive(const std::shared_ptr<SecureChannel>& channel) {
    return asio::co_spawn(network.context(), channel->receive(), asio::use_future).get();
  }
  template <typename Case>
  Case next(const std::shared_ptr<SecureChannel>& channel) {
    for (;;) {
      Message m = receive(channel);
      if (auto c = m.as<Case>()) return *c;
    }
  }
  // A viewer in a running session: hello sent, capture started.
  std::shared_ptr<SecureChannel> viewer() {
    Attempt a = connect(password());
    EXPECT_TRUE(a.channel);
    a.channel->send(Message::ViewerHello{PeerOS::linux, {2}});
    next<Message::DisplayList>(a.channel);
    return a.channel;
  }

  RelayIdentityStore identities{secrets, settingsFile};
  std::shared_ptr<FakeClipboard> clipboard = std::make_shared<FakeClipboard>();
  std::shared_ptr<FakePowerInhibitor> power = std::make_shared<FakePowerInhibitor>();
  std::shared_ptr<FakeApproval> approval = std::make_shared<FakeApproval>();
  std::shared_ptr<test::FakeScreen> screen = std::make_shared<test::FakeScreen>();
  FakeAdvertiser* advertiser = nullptr;
  std::atomic<int> clockOffset{0};
  CpuPool cpu{2};
  NetworkThread network;  // stopped before the pool: pool jobs end by posting here
  std::shared_ptr<HostService> service;
  std::function<void(HostService::Options&)> tune;  // changes to the options `make` builds
};

}  // namespace pellora::test
