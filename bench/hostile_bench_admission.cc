// Admission under a flood of silent callers: a real host service on loopback, a viewer from 127.0.0.2
// timed from connect to an admitted channel, once with the host idle (the reference) and once while eight
// connections from 127.0.0.1 send nothing. A second counter times a viewer from the flooding address
// itself, which gets in once the hello deadline has freed that address's places.

#include <benchmark/benchmark.h>
#include <stdlib.h>

#include <boost/asio/co_spawn.hpp>
#include <boost/asio/post.hpp>
#include <boost/asio/use_future.hpp>
#include <chrono>
#include <filesystem>
#include <future>
#include <numeric>
#include <thread>

#include "base/cpu_pool.h"
#include "base/network_thread.h"
#include "core/transport_error.h"
#include "host/host_service.h"
#include "host/null_input_event_sink.h"
#include "host/synthetic_screen_capturer.h"
#include "support/fake_clipboard.h"
#include "support/fake_power_inhibitor.h"
#include "support/secret_store.h"

namespace pellora {
namespace {

namespace asio = boost::asio;
using Clock = std::chrono::steady_clock;
using namespace std::chrono_literals;

constexpr int kSilent = 8;
constexpr int kRounds = 5;

double millisSince(Clock::time_point t) { return std::chrono::duration<double, std::milli>(Clock::now() - t).count(); }

// A sharing host without approval, in a folder of its own.
class Host {
 public:
  template <typename F>
  auto onMain(F f) {
    std::packaged_task<std::invoke_result_t<F&>()> task(std::move(f));
    auto result = task.get_future();
    asio::post(network.mainStrand(), [&] { task(); });
    return result.get();
  }
  Host() {
    HostService::Options options;
    options.listen = {asio::ip::make_address("127.0.0.1"), 0};
    options.computerName = "Bench";
    options.downloadDirectory = dir_;
    HostPlatform platform;
    platform.makeCapturer = [] { return std::make_unique<SyntheticScreenCapturer>(); };
    platform.makeInputSink = [] { return std::make_unique<NullInputEventSink>(); };
    service_ = HostService::make({network, cpu_, settings_, identities_,
                                  ClipboardSync::make(network.mainStrand(), std::make_shared<FakeClipboard>()),
                                  std::make_shared<FakePowerInhibitor>(), nullptr, platform},
                                 options);
    onMain([&] {
      settings_.setRelayEnabled(false);
      settings_.setRequireApproval(false);
      service_->start();
      return 0;
    });
    port_ = onMain([&] { return service_->listeningPort(); });
    password_ = onMain([&] { return service_->state().password; });
  }
  ~Host() {
    onMain([&] {
      service_->stop();
      return 0;
    });
    while (onMain([&] { return service_->session() != nullptr; })) std::this_thread::sleep_for(10ms);
    onMain([&] {
      service_.reset();
      return 0;
    });
    network.stop();
    cpu_.stop();
    std::error_code ignored;
    std::filesystem::remove_all(dir_, ignored);
  }

  int inProgress() {
    return onMain([&] { return service_->handshakesInProgress(); });
  }

  // Connects from `source` and runs a viewer's handshake; true when it was admitted (the session is then
  // ended and awaited).
  bool admit(const std::string& source) {
    asio::ip::tcp::socket socket(network.context());
    socket.open(asio::ip::tcp::v4());
    socket.bind({asio::ip::make_address(source), 0});
    socket.connect({asio::ip::make_address("127.0.0.1"), port_});
    auto wire = Wire::accepted(std::move(socket));
    try {
      auto handshake = SecureChannel::client(wire, password_, "Bench viewer", 60s, cpu_);
      auto channel = asio::co_spawn(network.context(), std::move(handshake), asio::use_future).get();
      channel->close(std::nullopt);
    } catch (...) {
      wire->cancel();
      return false;
    }
    while (onMain([&] { return service_->session() != nullptr; })) std::this_thread::sleep_for(1ms);
    return true;
  }
  // Silent connections from `source`, kept open until the list is destroyed.
  std::vector<asio::ip::tcp::socket> silent(const std::string& source, int count) {
    std::vector<asio::ip::tcp::socket> sockets;
    for (int i = 0; i < count; ++i) {
      sockets.emplace_back(network.context());
      sockets.back().open(asio::ip::tcp::v4());
      sockets.back().bind({asio::ip::make_address(source), 0});
      sockets.back().connect({asio::ip::make_address("127.0.0.1"), port_});
    }
    return sockets;
  }

  NetworkThread network;

 private:
  std::filesystem::path makeFolder() {
    std::string pattern = (std::filesystem::temp_directory_path() / "pellora-admission-XXXXXX").string();
    return ::mkdtemp(pattern.data());
  }

  std::filesystem::path dir_ = makeFolder();
  SettingsFile settingsFile_{dir_ / "settings.json"};
  FileSecretStore secrets_{dir_ / "secrets.json"};
  PermanentPasswordStore permanent_{secrets_};
  RelayIdentityStore identities_{secrets_, settingsFile_};
  AppSettings settings_{settingsFile_, permanent_, dir_ / "autostart.desktop"};
  CpuPool cpu_{2};
  std::shared_ptr<HostService> service_;
  std::uint16_t port_ = 0;
  std::string password_;
};

void BM_AdmissionWithSilentCallers(benchmark::State& state) {
  Host host;
  std::vector<double> alone, flooded;
  double sameAddress = 0;
  for (auto _ : state) {
    for (int round = 0; round < kRounds; ++round) {
      auto start = Clock::now();
      if (!host.admit("127.0.0.2")) state.SkipWithError("the idle host did not admit the viewer");
      alone.push_back(millisSince(start));

      auto sockets = host.silent("127.0.0.1", kSilent);
      while (host.inProgress() == 0) std::this_thread::sleep_for(1ms);  // the flood is in
      start = Clock::now();
      if (!host.admit("127.0.0.2")) state.SkipWithError("a viewer from another address was turned away");
      flooded.push_back(millisSince(start));

      // From the flooding address: turned away until the hello deadline frees its places.
      if (round == 0) {
        start = Clock::now();
        while (!host.admit("127.0.0.1")) {
          if (millisSince(start) > 60'000) {
            state.SkipWithError("a viewer from the flooding address never got in");
            break;
          }
          std::this_thread::sleep_for(50ms);
        }
        sameAddress = millisSince(start);
      }
      sockets.clear();
      while (host.inProgress() != 0) std::this_thread::sleep_for(1ms);
    }
  }
  const auto mean = [](const std::vector<double>& v) { return std::accumulate(v.begin(), v.end(), 0.0) / v.size(); };
  state.counters["floodedMs"] = mean(flooded);
  state.counters["aloneMs"] = mean(alone);
  state.counters["sameAddressMs"] = sameAddress;
  state.SetLabel("figure=floodedMs ref=aloneMs unit=ms better=lower");
}
BENCHMARK(BM_AdmissionWithSilentCallers)->Unit(benchmark::kMillisecond)->UseRealTime()->Iterations(1);

}  // namespace
}  // namespace pellora
