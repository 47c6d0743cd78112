// A hostile viewer against a real `pellora host` process over loopback, each figure beside its reference
// from the same run:
//   - the first ping after 3,000 chat lines of 4 KB, beside an idle ping;
//   - the host's memory growth while a viewer that does not read sends 20,000 keyframe requests at
//     1920 × 1080, beside one 1920 × 1080 BGRA picture (and what stays after the session);
//   - the files 3,000 offers of an empty file leave in the download folder, beside the per-session cap,
//     and the slowest ping during them and the ping right after them, beside an idle ping.
// The host runs with HOME and XDG_CONFIG_HOME in a folder of its own, so nothing lands in the user's.

#include <benchmark/benchmark.h>
#include <signal.h>
#include <stdlib.h>
#include <unistd.h>

#include <atomic>
#include <filesystem>
#include <fstream>
#include <thread>

#include "base/cpu_pool.h"
#include "base/network_thread.h"
#include "core/crypto.h"
#include "support/empty_file_flood.h"
#include "support/hostile_scripts.h"
#include "support/json_file.h"
#include "support/pellora_process.h"
#include "support/scripted_peer.h"
#include "support/temp_dir.h"

namespace pellora {
namespace {

namespace asio = boost::asio;
namespace fs = std::filesystem;
using Clock = std::chrono::steady_clock;
using namespace std::chrono_literals;
using M = Message;

const std::string kPassword = "bench-parola";
constexpr double pictureMiB = 1920.0 * 1080 * 4 / (1 << 20);
constexpr double fileCap = 1000;  // files a session may leave in the download folder

double residentMiB(pid_t pid) {
  std::ifstream in("/proc/" + std::to_string(pid) + "/status");
  std::string line;
  while (std::getline(in, line))
    if (line.starts_with("VmRSS:")) return std::stod(line.substr(6)) / 1024.0;
  return 0;
}

double millisSince(Clock::time_point start) {
  return std::chrono::duration<double, std::milli>(Clock::now() - start).count();
}

// `pellora host` with a private home, its standard output read on a thread of its own (chat lines and
// transfers are printed there, and a full pipe would stall the host).
class HostProcess {
 public:
  explicit HostProcess(const std::string& source)
      : host(home.path, "host",
             {"host", "--source", source, "--listen", "127.0.0.1:0", "--no-relay", "--no-discovery", "--approve",
              "never", "--password", kPassword, "--status-json", (home.path / "status.json").string()},
             {"HOME=" + home.path.string(), "XDG_CONFIG_HOME=" + (home.path / "config").string()}) {
    const fs::path status = home.path / "status.json";
    for (auto deadline = Clock::now() + 20s; port == 0 && Clock::now() < deadline; std::this_thread::sleep_for(20ms))
      if (auto s = test::readJSONFile(status)) port = static_cast<std::uint16_t>(s->at("listeningPort").as_int64());
    if (port == 0) throw std::runtime_error("the host did not start: " + host.errors());
    reader = std::thread([this] {
      while (!stopping) host.process->readLine(200ms);
    });
  }
  ~HostProcess() {
    host.process->signal(SIGINT);
    host.process->wait(10s);
    stopping = true;
    reader.join();
  }
  pid_t pid() const { return host.process->pid(); }
  fs::path downloads() const { return home.path / "Downloads" / "Pellora"; }

  test::TempDir home{"pellora-hostile-bench"};
  test::PelloraProcess host;
  std::uint16_t port = 0;
  std::atomic<bool> stopping{false};
  std::thread reader;
};

// A viewer that does what a script says, after a real handshake.
struct Attacker {
  Attacker(std::uint16_t port, std::vector<std::uint8_t> codecs) {
    auto wire = Wire::tcp(network.executor(), "127.0.0.1", port, false);
    test::awaitFuture(asio::co_spawn(network.executor(), wire->start(), asio::use_future));
    auto channel = test::awaitFuture(asio::co_spawn(
        network.executor(), SecureChannel::client(wire, kPassword, "Bench", 30s, cpu), asio::use_future));
    peer = std::make_unique<test::ScriptedPeer>(network, channel);
    peer->send(M::ViewerHello{PeerOS::linux, std::move(codecs)});
    peer->next<M::DisplayList>();
  }
  ~Attacker() {
    peer.reset();
    network.stop();
    cpu.stop();
  }
  // One round trip, reading whatever comes before the answer.
  double pingMs() {
    const auto start = Clock::now();
    peer->sync();
    return millisSince(start);
  }
  // Sends `script` and returns once every byte of it has left for the host.
  void flood(const std::vector<Message>& script) {
    peer->sendAll(script);
    while (peer->channel().queuedBytes() > 0) std::this_thread::sleep_for(1ms);
  }
  double idlePingMs() {
    double best = 1e9;
    for (int i = 0; i < 5; ++i) best = std::min(best, pingMs());
    return best;
  }

  CpuPool cpu{1};
  NetworkThread network;
  std::unique_ptr<test::ScriptedPeer> peer;
};

void BM_PingAfterChatFlood(benchmark::State& state) {
  for (auto _ : state) {
    HostProcess host("synthetic:320x240");
    Attacker viewer(host.port, {2});
    const double idle = viewer.idlePingMs();
    viewer.flood(test::hostile::chatFlood(3'000, 4'000));
    const double first = viewer.pingMs();
    state.counters["idlePingMs"] = idle;
    state.counters["firstPingAfterChatFloodMs"] = first;
  }
  state.SetLabel("figure=firstPingAfterChatFloodMs ref=idlePingMs unit=ms better=lower");
}
BENCHMARK(BM_PingAfterChatFlood)->Iterations(1)->Unit(benchmark::kMillisecond)->UseRealTime();

void BM_KeyframeFloodWithoutReading(benchmark::State& state) {
  for (auto _ : state) {
    HostProcess host("synthetic:1920x1080");
    double before = 0, peak = 0, after = 0;
    {
      Attacker viewer(host.port, {1});
      // Steady state: the encoder has made its pictures for a while (its buffers are allocated when it first
      // runs, later on a busy machine), so that the growth below is the flood's alone.
      int pictures = 0;
      for (auto until = Clock::now() + 2s, limit = Clock::now() + 30s;
           (Clock::now() < until || pictures < 10) && Clock::now() < limit;)
        if (viewer.peer->next().as<M::VideoFrame>()) ++pictures;
      viewer.peer->sync();
      before = residentMiB(host.pid());
      viewer.peer->sendAll(test::hostile::repeated(M::RequestKeyframe{}, 20'000));
      // Not reading: the host can only queue. Its memory is sampled while it works through the requests.
      peak = before;
      for (auto until = Clock::now() + 4s; Clock::now() < until; std::this_thread::sleep_for(20ms))
        peak = std::max(peak, residentMiB(host.pid()));
      viewer.peer->sync();
    }
    // The session ends with the viewer's channel; what it held goes with it.
    std::this_thread::sleep_for(1s);
    after = residentMiB(host.pid());
    state.counters["growthMiB"] = peak - before;
    state.counters["pictureMiB"] = pictureMiB;
    state.counters["afterSessionMiB"] = after - before;
  }
  state.SetLabel("figure=growthMiB ref=pictureMiB unit=MiB better=lower;figure=afterSessionMiB ref=pictureMiB unit=MiB better=lower");
}
BENCHMARK(BM_KeyframeFloodWithoutReading)->Iterations(1)->Unit(benchmark::kMillisecond)->UseRealTime();

void BM_EmptyFileFlood(benchmark::State& state) {
  for (auto _ : state) {
    HostProcess host("synthetic:320x240");
    Attacker viewer(host.port, {2});
    const double idle = viewer.idlePingMs();
    // Rounds of as many offers as a session keeps open, each accepted one finished at once; a ping every
    // tenth round, while the host's file thread is still saving what came before.
    double worstPing = 0;
    int rounds = 0;
    test::floodEmptyFiles(*viewer.peer, 3'000, 8, [&] {
      if (++rounds % 10 == 0) worstPing = std::max(worstPing, viewer.pingMs());
    });
    const double first = viewer.pingMs();
    // Saving may continue off the network thread: count once the folder stops changing.
    std::size_t files = 0;
    for (std::size_t last = SIZE_MAX; files != last; std::this_thread::sleep_for(500ms)) {
      last = files;
      files = 0;
      std::error_code ec;
      for (auto it = fs::directory_iterator(host.downloads(), ec); !ec && it != fs::directory_iterator(); ++it) ++files;
    }
    state.counters["idlePingMs"] = idle;
    state.counters["worstPingDuringOffersMs"] = worstPing;
    state.counters["pingAfterOffersMs"] = first;
    state.counters["filesCreated"] = static_cast<double>(files);
    state.counters["fileCap"] = fileCap;
  }
  state.SetLabel(
      "figure=filesCreated ref=fileCap unit=files better=lower;figure=worstPingDuringOffersMs ref=idlePingMs unit=ms "
      "better=lower;figure=pingAfterOffersMs ref=idlePingMs unit=ms better=lower");
}
BENCHMARK(BM_EmptyFileFlood)->Iterations(1)->Unit(benchmark::kMillisecond)->UseRealTime();

}  // namespace
}  // namespace pellora
