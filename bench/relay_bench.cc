// Many viewers and one host joined through a real pellora-relay on loopback, each splice moving 4 MiB each
// way, beside the same transfers over direct loopback connections in the same run. Every stream's bytes
// are checked; the relay's peak resident memory is read from /proc. While the load runs, a second thread
// sets up one splice after another (through the relay, and directly beside it) to time a new viewer's
// wait for its host under load, apart from the load generator's own queue.

#include <benchmark/benchmark.h>

#include <boost/asio/co_spawn.hpp>
#include <boost/asio/detached.hpp>
#include <boost/asio/experimental/awaitable_operators.hpp>
#include <boost/asio/io_context.hpp>
#include <boost/asio/ip/tcp.hpp>
#include <boost/asio/read.hpp>
#include <boost/asio/this_coro.hpp>
#include <boost/asio/use_awaitable.hpp>
#include <boost/asio/write.hpp>
#include <boost/asio/steady_timer.hpp>
#include <algorithm>
#include <atomic>
#include <cstring>
#include <thread>
#include <filesystem>
#include <fstream>
#include <future>
#include <pthread.h>
#include <sched.h>
#include <unistd.h>

#include "base/allocator_tuning.h"
#include "core/relay_client.h"
#include "core/relay_protocol.h"
#include "support/raw_client.h"
#include "support/redis_process.h"
#include "support/relay_process.h"

namespace pellora {
namespace {

namespace net = boost::asio;
using net::awaitable;
using net::use_awaitable;
using namespace net::experimental::awaitable_operators;
using Clock = std::chrono::steady_clock;

constexpr int kSplices = 500;
constexpr std::size_t kBytesEachWay = 4 << 20;

constexpr std::size_t kChunk = 64 << 10;

// Stream bytes: 64 KiB slices of a fixed random table, the slice chosen by stream, direction and position,
// so that bytes of another stream or direction, or out of order, are caught.
const Bytes& table() {
  static const Bytes t = [] {
    Bytes b(2 * kChunk);
    std::uint32_t x = 2463534242u;
    for (auto& byte : b) {
      x ^= x << 13, x ^= x >> 17, x ^= x << 5;
      byte = static_cast<std::uint8_t>(x);
    }
    return b;
  }();
  return t;
}
const std::uint8_t* expectedChunk(std::uint32_t stream, int direction, std::size_t offset) {
  const std::size_t start = (offset / kChunk * 4099 + stream * 7919u + static_cast<unsigned>(direction) * 104729u) % kChunk;
  return table().data() + start;
}

awaitable<void> writeStream(std::shared_ptr<Wire> wire, std::uint32_t stream, int direction) {
  for (std::size_t offset = 0; offset < kBytesEachWay; offset += kChunk) {
    const std::uint8_t* from = expectedChunk(stream, direction, offset);
    co_await wire->write(Bytes(from, from + kChunk));
  }
}

awaitable<bool> readStream(std::shared_ptr<Wire> wire, std::uint32_t stream, int direction) {
  bool ok = true;
  for (std::size_t offset = 0; offset < kBytesEachWay; offset += kChunk) {
    const Bytes chunk = co_await wire->read(kChunk);
    ok = ok && std::memcmp(chunk.data(), expectedChunk(stream, direction, offset), kChunk) == 0;
  }
  co_return ok;
}

// One end of a stream: writes its direction while reading the other; true when every byte arrived intact.
awaitable<bool> exchange(std::shared_ptr<Wire> wire, std::uint32_t stream, int direction) {
  auto written = std::make_shared<int>(0);  // 1 written, -1 failed
  net::co_spawn(wire->executor(), writeStream(wire, stream, direction),
                [written](std::exception_ptr e) { *written = e ? -1 : 1; });
  const bool ok = co_await readStream(wire, stream, 1 - direction);
  while (*written == 0) {
    net::steady_timer t(wire->executor(), std::chrono::milliseconds(1));
    co_await t.async_wait(use_awaitable);
  }
  co_return ok && *written == 1;
}

// The viewer names its stream in its first four bytes, so the host side needs no shared state.
awaitable<bool> viewerSide(std::shared_ptr<Wire> wire, std::uint32_t stream) {
  ByteWriter name;
  name.u32(stream);
  co_await wire->write(std::move(name).data());
  co_return co_await exchange(wire, stream, 0);
}
awaitable<bool> hostSide(std::shared_ptr<Wire> wire) {
  const Bytes id = co_await wire->read(4);
  const std::uint32_t stream = ByteReader(id).u32();
  co_return co_await exchange(wire, stream, 1);
}

struct Run {
  double seconds = 0;
  std::vector<double> setupMs;
  std::vector<double> probeMs;  // setups timed by the probe thread while the load ran
  int failed = 0;
};

constexpr int kProbes = 40;
constexpr auto kProbeGap = std::chrono::milliseconds(20);

double since(Clock::time_point began) { return std::chrono::duration<double, std::milli>(Clock::now() - began).count(); }

// On its own thread and io_context: up to kProbes setups made by `setUp`, one at a time, while `loadRunning`
// holds. Returns each setup's milliseconds.
template <typename SetUp>
std::vector<double> probe(const std::atomic<bool>& loadStarted, const std::atomic<bool>& loadRunning, SetUp setUp) {
  while (!loadStarted) std::this_thread::sleep_for(std::chrono::milliseconds(1));
  net::io_context io;
  std::vector<double> ms;
  net::co_spawn(io, [&]() -> awaitable<void> {
    co_await setUp(io, ms, loadRunning);
  }, net::detached);
  io.run();
  return ms;
}

double percentile(std::vector<double> v, double p) {
  if (v.empty()) return 0;
  std::sort(v.begin(), v.end());
  return v[std::min(v.size() - 1, static_cast<std::size_t>(p * static_cast<double>(v.size())))];
}

// A host of its own on the probe thread: one viewer after another is joined to it through the relay.
// Where each part of a splice goes: the host's registration and control connection, the viewer's connect
// and the host's accept. Three different nodes of a cluster make every splice cross nodes.
struct Nodes {
  std::uint16_t host, viewer, accept;
};

struct Clients {
  RelayClient host, viewer, acceptor;
  Clients(net::io_context& io, Nodes n)
      : host(io.get_executor(), "http://127.0.0.1:" + std::to_string(n.host)),
        viewer(io.get_executor(), "http://127.0.0.1:" + std::to_string(n.viewer)),
        acceptor(io.get_executor(), "http://127.0.0.1:" + std::to_string(n.accept)) {}
};

awaitable<void> relayProbes(net::io_context& io, Nodes nodes, std::vector<double>& ms,
                            const std::atomic<bool>& loadRunning, int count = kProbes,
                            std::chrono::milliseconds pause = kProbeGap) {
  Clients clients(io, nodes);
  const RelayIdentity identity = co_await clients.host.registerIdentity();
  auto control = co_await clients.host.hostControl(identity);
  for (int i = 0; i < count && loadRunning; ++i) {
    const auto began = Clock::now();
    auto hostAccepts = [&]() -> awaitable<std::shared_ptr<Wire>> {
      Bytes newline{'\n'};
      Bytes line = co_await control->readUntil(std::move(newline), RelayProtocol::maxHead);
      co_return co_await clients.acceptor.accept(RelayControl::parse(line).token);
    };
    auto viewerConnects = [&]() -> awaitable<std::shared_ptr<Wire>> {
      auto wire = co_await clients.viewer.connect(identity.id);
      ms.push_back(since(began));
      co_return wire;
    };
    auto both = hostAccepts() && viewerConnects();
    auto [host, viewer] = co_await std::move(both);
    // The next splice starts once the relay has ended this one (its close reaches the host): every probe
    // comes from one address, and splices still winding down on a busy relay would otherwise pile up
    // beyond that address' share of connections and have the probe refused.
    viewer->cancel();
    host->cancelAfter(std::chrono::seconds(2));
    try {
      co_await host->read(1);
    } catch (const std::exception&) {
    }
    host->cancel();
    net::steady_timer gap(io, pause);
    co_await gap.async_wait(use_awaitable);
  }
  control->cancel();
}

// A viewer's connect or a host's accept, made on a setup thread: the upgrade exchange runs there, then the
// connected socket moves to `bulk`, where its stream is pumped. The head is taken by peeking, so that none
// of the other side's bytes right behind it are consumed.
awaitable<net::ip::tcp::socket> upgradeOn(net::io_context& bulk, std::uint16_t port, std::string_view path,
                                          std::string_view header, std::string value) {
  net::ip::tcp::socket s(co_await net::this_coro::executor);
  co_await s.async_connect({net::ip::make_address("127.0.0.1"), port}, use_awaitable);
  s.set_option(net::ip::tcp::no_delay(true));  // as the relay client's connections
  const std::string request = test::upgradeRequest(std::string(path), std::string(header) + ": " + value + "\r\n");
  co_await net::async_write(s, net::buffer(request), use_awaitable);
  std::string head;
  char seen[512];
  while (!head.ends_with("\r\n\r\n")) {
    if (head.size() > RelayProtocol::maxHead) throw std::runtime_error("upgrade: head without an end");
    const std::size_t n = co_await s.async_receive(net::buffer(seen), net::socket_base::message_peek, use_awaitable);
    const std::size_t had = head.size();
    const std::size_t end = (head + std::string(seen, n)).find("\r\n\r\n", had < 3 ? 0 : had - 3);
    const std::size_t take = end == std::string::npos ? n : end + 4 - had;
    head.resize(had + take);
    co_await net::async_read(s, net::buffer(head.data() + had, take), use_awaitable);
  }
  if (test::statusOf(head) != 101) throw std::runtime_error("upgrade refused: " + head.substr(0, head.find('\r')));
  const auto protocol = s.local_endpoint().protocol();
  co_return net::ip::tcp::socket(bulk, protocol, s.release());
}

// Counts a viewer's setup, then pumps its stream on `bulk`; `end(ok)` is called when the stream is done.
template <typename End>
void viewerJoined(Run& run, std::atomic<bool>& loadStarted, double setupMs, net::io_context& bulk,
                  std::shared_ptr<Wire> wire, std::uint32_t stream, End& end) {
  run.setupMs.push_back(setupMs);
  if (run.setupMs.size() == kSplices) loadStarted = true;
  net::co_spawn(bulk, [wire, stream, &end]() -> awaitable<void> {
    bool ok = false;
    try {
      ok = co_await viewerSide(wire, stream);
    } catch (const std::exception&) {
    }
    wire->cancel();
    end(ok);
  }, net::detached);
}

// Splices through the relay: the host's control connection accepts every incoming viewer. The viewers run
// on this thread and the host on threads of its own, as they run on different machines. Each side makes its
// setups on one thread and pumps the streams on another: every real viewer and host sets up its own
// connection, so one thread that made each setup wait behind the bytes of the splices already joined would
// time its own queue more than the relay.
Run throughRelay(Nodes nodes) {
  net::io_context io, controlIo, setupIo, hostIo, viewerIo;
  auto bulkWork = net::make_work_guard(hostIo);
  auto viewerWork = net::make_work_guard(viewerIo);
  auto setupWork = net::make_work_guard(setupIo);
  Clients hostClients(controlIo, nodes);
  Run run;
  std::atomic<int> finished = 0, failed = 0;
  std::atomic<bool> loadStarted = false, loadRunning = true;
  std::thread prober([&] {
    auto setUp = [nodes](net::io_context& pio, std::vector<double>& ms, const std::atomic<bool>& running) {
      return relayProbes(pio, nodes, ms, running);
    };
    run.probeMs = probe(loadStarted, loadRunning, setUp);
  });
  auto end = [&](bool ok) {
    failed += !ok;
    ++finished;
  };
  // The host side: one accept per incoming line; streams are matched by the order of acceptance, so the
  // host learns its stream number from the viewer's first bytes instead. Its control line is read on a
  // thread of its own: in a reconnect storm each host reads one line, and a reader queued behind this one
  // host's hundreds of accepts would time the bench rather than the relay.
  std::promise<RelayIdentity> registered;
  net::co_spawn(controlIo, [&]() -> awaitable<void> {
    std::shared_ptr<Wire> control;
    try {
      const RelayIdentity identity = co_await hostClients.host.registerIdentity();
      control = co_await hostClients.host.hostControl(identity);
      registered.set_value(identity);
    } catch (const std::exception&) {
      registered.set_exception(std::current_exception());
      bulkWork.reset();
      viewerWork.reset();
      setupWork.reset();
      co_return;
    }
    for (int accepted = 0; accepted < kSplices; ++accepted) {
      Bytes newline{'\n'};
      Bytes line = co_await control->readUntil(std::move(newline), RelayProtocol::maxHead);
      RelayControl::Event event = RelayControl::parse(line);
      if (event.kind != RelayControl::Event::Kind::incoming) continue;
      net::co_spawn(setupIo, [&, token = event.token]() -> awaitable<void> {
        std::shared_ptr<Wire> wire;
        try {
          wire = Wire::accepted(
              co_await upgradeOn(hostIo, nodes.accept, RelayProtocol::acceptPath, RelayProtocol::tokenHeader, token));
        } catch (const std::exception&) {
          end(false);
          co_return;
        }
        net::co_spawn(hostIo, [&, wire]() -> awaitable<void> {
          bool ok = false;
          try {
            ok = co_await hostSide(wire);
          } catch (const std::exception&) {
          }
          wire->cancel();
          end(ok);
        }, net::detached);
      }, net::detached);
    }
    while (finished < 2 * kSplices) {
      net::steady_timer t(controlIo, std::chrono::milliseconds(5));
      co_await t.async_wait(use_awaitable);
    }
    control->cancel();
    bulkWork.reset();
    viewerWork.reset();
    setupWork.reset();
  }, net::detached);
  std::thread controlThread([&] { controlIo.run(); });
  std::thread setup([&] { setupIo.run(); });
  std::thread host([&] { hostIo.run(); });
  std::thread viewers([&] { viewerIo.run(); });
  const RelayIdentity identity = registered.get_future().get();

  const Clock::time_point start = Clock::now();
  for (int i = 0; i < kSplices; ++i) {
    net::co_spawn(io, [&, i]() -> awaitable<void> {
      const auto began = Clock::now();
      std::shared_ptr<Wire> wire;
      try {
        wire = Wire::accepted(
            co_await upgradeOn(viewerIo, nodes.viewer, RelayProtocol::connectPath, RelayProtocol::idHeader, identity.id));
      } catch (const std::exception&) {
        end(false);
        co_return;
      }
      viewerJoined(run, loadStarted, since(began), viewerIo, std::move(wire), static_cast<std::uint32_t>(i), end);
    }, net::detached);
  }
  io.run();
  controlThread.join();
  setup.join();
  host.join();
  viewers.join();
  run.seconds = std::chrono::duration<double>(Clock::now() - start).count();
  run.failed = failed;
  loadRunning = false;
  loadStarted = true;
  prober.join();
  return run;
}

// Direct loopback connections made one at a time to a listener of the probe thread.
awaitable<void> directProbes(net::io_context& io, std::vector<double>& ms, const std::atomic<bool>& loadRunning) {
  net::ip::tcp::acceptor acceptor(io, {net::ip::make_address("127.0.0.1"), 0});
  const std::uint16_t port = acceptor.local_endpoint().port();
  for (int i = 0; i < kProbes && loadRunning; ++i) {
    const auto began = Clock::now();
    auto wire = Wire::tcp(io.get_executor(), "127.0.0.1", port, false);
    co_await wire->start();
    auto accepted = co_await acceptor.async_accept(use_awaitable);
    ms.push_back(since(began));
    wire->cancel();
    net::steady_timer gap(io, kProbeGap);
    co_await gap.async_wait(use_awaitable);
  }
}

// The same streams over direct loopback connections, both sides shaped as above: connects and accepts on
// setup threads, streams on threads of their own.
Run direct() {
  net::io_context io, setupIo, hostIo, viewerIo;
  auto bulkWork = net::make_work_guard(hostIo);
  auto viewerWork = net::make_work_guard(viewerIo);
  net::ip::tcp::acceptor acceptor(setupIo, {net::ip::make_address("127.0.0.1"), 0});
  const std::uint16_t port = acceptor.local_endpoint().port();
  Run run;
  std::atomic<int> failed = 0, viewersDone = 0;
  std::atomic<bool> loadStarted = false, loadRunning = true;
  std::thread prober([&] { run.probeMs = probe(loadStarted, loadRunning, directProbes); });
  auto viewerEnd = [&](bool ok) {
    failed += !ok;
    if (++viewersDone == kSplices) viewerWork.reset();
  };
  const auto start = Clock::now();
  net::co_spawn(setupIo, [&]() -> awaitable<void> {
    for (int i = 0; i < kSplices; ++i) {
      auto wire = Wire::accepted(co_await acceptor.async_accept(hostIo, use_awaitable));
      net::co_spawn(hostIo, [&, wire]() -> awaitable<void> {
        bool ok = false;
        try {
          ok = co_await hostSide(wire);
        } catch (const std::exception&) {
        }
        failed += !ok;
      }, net::detached);
    }
    bulkWork.reset();
  }, net::detached);
  std::thread setup([&] { setupIo.run(); });
  std::thread host([&] { hostIo.run(); });
  std::thread viewers([&] { viewerIo.run(); });
  for (int i = 0; i < kSplices; ++i) {
    net::co_spawn(io, [&, i]() -> awaitable<void> {
      const auto began = Clock::now();
      net::ip::tcp::socket s(io);
      try {
        co_await s.async_connect({net::ip::make_address("127.0.0.1"), port}, use_awaitable);
        s.set_option(net::ip::tcp::no_delay(true));
      } catch (const std::exception&) {
        viewerEnd(false);
        co_return;
      }
      const double ms = since(began);
      const auto protocol = s.local_endpoint().protocol();
      auto wire = Wire::accepted(net::ip::tcp::socket(viewerIo, protocol, s.release()));
      viewerJoined(run, loadStarted, ms, viewerIo, std::move(wire), static_cast<std::uint32_t>(i), viewerEnd);
    }, net::detached);
  }
  io.run();
  setup.join();
  host.join();
  viewers.join();
  run.seconds = std::chrono::duration<double>(Clock::now() - start).count();
  run.failed = failed;
  loadRunning = false;
  loadStarted = true;
  prober.join();
  return run;
}

double residentMiB(pid_t pid, const char* field) {
  std::ifstream status("/proc/" + std::to_string(pid) + "/status");
  std::string line;
  while (std::getline(status, line))
    if (line.rfind(field, 0) == 0) return std::stod(line.substr(std::strlen(field))) / 1024.0;
  return 0;
}

// A run's throughput and setup times as counters named "<prefix>_...".
void countRun(benchmark::State& state, const std::string& prefix, const Run& run) {
  const double totalMB = 2.0 * kSplices * kBytesEachWay / 1e6;
  state.counters[prefix + "_MBps"] = totalMB / run.seconds;
  state.counters[prefix + "_setup_median_ms"] = percentile(run.setupMs, 0.5);
  state.counters[prefix + "_setup_p99_ms"] = percentile(run.setupMs, 0.99);
  state.counters[prefix + "_setup_under_load_median_ms"] = percentile(run.probeMs, 0.5);
  state.counters[prefix + "_setup_under_load_p99_ms"] = percentile(run.probeMs, 0.99);
}

void BM_RelaySplices(benchmark::State& state) {
  const auto db = std::filesystem::temp_directory_path() / ("relay-bench-" + std::to_string(getpid())) / "relay.db";
  test::RelayProcess relay({"--db", db.string(), "--max-connections", "5000",
                           "--max-connections-per-address", "5000", "--connects-per-minute", "100000",
                           "--connects-per-identity-per-minute", "100000", "--accepts-per-minute", "100000"});
  const double idleMiB = residentMiB(relay.process->pid(), "VmRSS:");
  Run viaRelay, reference;
  for (auto _ : state) {
    viaRelay = throughRelay({relay.port, relay.port, relay.port});
    reference = direct();
    state.SetIterationTime(viaRelay.seconds);
  }
  countRun(state, "relay", viaRelay);
  countRun(state, "direct", reference);
  state.counters["setups_under_load"] = static_cast<double>(viaRelay.probeMs.size());
  state.counters["relay_peak_rss_MiB"] = residentMiB(relay.process->pid(), "VmHWM:");
  state.counters["relay_idle_rss_MiB"] = idleMiB;
  state.counters["lost_or_corrupted_streams"] = viaRelay.failed;
  state.counters["direct_failed_streams"] = reference.failed;
  state.SetLabel(
      "figure=relay_MBps ref=direct_MBps unit=MB/s better=higher;"
      "figure=relay_setup_median_ms ref=direct_setup_median_ms unit=ms better=lower;"
      "figure=relay_setup_p99_ms ref=direct_setup_p99_ms unit=ms better=lower;"
      "figure=relay_setup_under_load_median_ms ref=direct_setup_under_load_median_ms unit=ms better=lower;"
      "figure=relay_setup_under_load_p99_ms ref=direct_setup_under_load_p99_ms unit=ms better=lower;"
      "figure=relay_peak_rss_MiB ref=relay_idle_rss_MiB unit=MiB better=lower;"
      "figure=lost_or_corrupted_streams ref=direct_failed_streams unit=streams better=lower");
  std::filesystem::remove_all(db.parent_path());
}
BENCHMARK(BM_RelaySplices)->Iterations(1)->UseManualTime()->Unit(benchmark::kMillisecond);

// The flood's clients stand for machines elsewhere on the internet: on a machine of two cores or more they
// run on the first core, and the relay and the legitimate probes on the second, so that the figure measures
// what the flood costs the relay rather than the CPU its clients take from it.
constexpr int kFloodCore = 0, kRelayCore = 1;
bool canPin() {
  static const bool twoCores = [] {
    cpu_set_t set;
    CPU_ZERO(&set);
    return sched_getaffinity(0, sizeof set, &set) == 0 && CPU_ISSET(kFloodCore, &set) && CPU_ISSET(kRelayCore, &set);
  }();
  return twoCores;
}

cpu_set_t coreSet(int core) {
  cpu_set_t set;
  CPU_ZERO(&set);
  CPU_SET(core, &set);
  return set;
}

// Every thread of a running process (its threads are all started once it listens).
void pinProcess(pid_t pid, int core) {
  const cpu_set_t set = coreSet(core);
  for (const auto& task : std::filesystem::directory_iterator("/proc/" + std::to_string(pid) + "/task"))
    sched_setaffinity(std::stoi(task.path().filename().string()), sizeof set, &set);
}

// The calling thread on `core` while it lives, then back where it was (threads started meanwhile keep it).
struct PinnedThread {
  cpu_set_t before;
  bool pinned = false;
  explicit PinnedThread(int core) {
    if (!canPin()) return;
    const cpu_set_t set = coreSet(core);
    pinned = pthread_getaffinity_np(pthread_self(), sizeof before, &before) == 0 &&
             pthread_setaffinity_np(pthread_self(), sizeof set, &set) == 0;
  }
  ~PinnedThread() {
    if (pinned) pthread_setaffinity_np(pthread_self(), sizeof before, &before);
  }
};

// Legitimate splices set up one at a time (the probes above) on a quiet relay, then again while one other
// address floods it: connects, accepts, registrations and host logins far beyond their rate limits, and
// slow heads that hold its share of connections. The flood's own answers are counted apart.
struct Flood {
  std::atomic<bool> running = true;
  std::atomic<long> sent = 0, requests = 0, limited = 0;  // requests sent; answered; answered 429
  std::vector<std::thread> threads;

  explicit Flood(std::uint16_t port) {
    const std::vector<std::string> kinds{
        test::upgradeRequest("/v1/connect", "X-Pellora-Id: 123456789\r\n"),
        test::upgradeRequest("/v1/accept", "X-Pellora-Token: 00\r\n"),
        "POST /v1/register HTTP/1.1\r\nHost: x\r\n\r\n",
        test::upgradeRequest("/v1/host", "X-Pellora-Id: 123456789\r\nX-Pellora-Secret: 00\r\n")};
    for (const std::string& kind : kinds) {
      threads.emplace_back([this, port, request = kind] {
        PinnedThread pin(kFloodCore);
        while (running) {
          try {
            test::RawClient c("127.0.0.1", port, 2000, "127.0.0.2");
            c.send(request);
            ++sent;
            const int status = test::statusOf(c.readHead().value_or(""));
            ++requests;
            limited += status == 429;
          } catch (const std::exception&) {
          }
        }
      });
    }
    threads.emplace_back([this, port] {  // slow heads, renewed as the relay cuts them off
      PinnedThread pin(kFloodCore);
      std::vector<std::unique_ptr<test::RawClient>> held;
      while (running) {
        try {
          held.push_back(std::make_unique<test::RawClient>("127.0.0.1", port, 2000, "127.0.0.2"));
          held.back()->send("GET /v1/health HTTP/1.1\r\n");
        } catch (const std::exception&) {
        }
        if (held.size() >= 64) held.erase(held.begin());
        std::this_thread::sleep_for(std::chrono::milliseconds(5));
      }
    });
  }
  ~Flood() {
    running = false;
    for (auto& t : threads) t.join();
  }
};

// Enough setups that the 99th percentile is not simply the slowest one: with 40, a single pause of a shared
// machine decided the figure.
constexpr int kFloodProbes = 300;

std::vector<double> relayProbesOnce(std::uint16_t port) {
  PinnedThread pin(kRelayCore);
  std::atomic<bool> started = true, running = true;
  return probe(started, running, [port](net::io_context& io, std::vector<double>& ms, const std::atomic<bool>& r) {
    return relayProbes(io, {port, port, port}, ms, r, kFloodProbes, std::chrono::milliseconds(2));
  });
}

void BM_RelaySetupUnderFlood(benchmark::State& state) {
  const auto db = std::filesystem::temp_directory_path() / ("relay-flood-" + std::to_string(getpid())) / "relay.db";
  // The probes ask for their identity kFloodProbes times within a minute, beyond the default per-identity
  // limit: they would be refused part way and stop.
  test::RelayProcess relay({"--db", db.string(), "--connects-per-minute", "1000", "--accepts-per-minute", "1000",
                            "--connects-per-identity-per-minute", "100000"});
  if (canPin()) pinProcess(relay.process->pid(), kRelayCore);
  std::vector<double> quiet, flooded;
  double sentPerSecond = 0, requestsPerSecond = 0, limitedPerSecond = 0;
  double floodRss = 0;
  for (auto _ : state) {
    const auto began = Clock::now();
    quiet = relayProbesOnce(relay.port);
    {
      Flood flood(relay.port);
      std::this_thread::sleep_for(std::chrono::milliseconds(500));  // the limits are reached by now
      const long sentBefore = flood.sent, requestsBefore = flood.requests, limitedBefore = flood.limited;
      const auto probesBegan = Clock::now();
      flooded = relayProbesOnce(relay.port);
      const double seconds = std::chrono::duration<double>(Clock::now() - probesBegan).count();
      sentPerSecond = static_cast<double>(flood.sent - sentBefore) / seconds;
      requestsPerSecond = static_cast<double>(flood.requests - requestsBefore) / seconds;
      limitedPerSecond = static_cast<double>(flood.limited - limitedBefore) / seconds;
      floodRss = residentMiB(relay.process->pid(), "VmHWM:");
    }
    state.SetIterationTime(std::chrono::duration<double>(Clock::now() - began).count());
  }
  state.counters["setup_under_flood_p99_ms"] = percentile(flooded, 0.99);
  state.counters["setup_quiet_p99_ms"] = percentile(quiet, 0.99);
  state.counters["setup_under_flood_median_ms"] = percentile(flooded, 0.5);
  state.counters["setup_quiet_median_ms"] = percentile(quiet, 0.5);
  state.counters["setups_quiet"] = static_cast<double>(quiet.size());
  state.counters["setups_under_flood"] = static_cast<double>(flooded.size());
  // While the flooded probes ran: the requests the flood sent, those answered, and the 429s among them.
  state.counters["flood_sent_per_s"] = sentPerSecond;
  state.counters["flood_answered_per_s"] = requestsPerSecond;
  state.counters["flood_rate_limited_per_s"] = limitedPerSecond;
  state.counters["pinned_to_cores"] = canPin();
  state.counters["relay_peak_rss_under_flood_MiB"] = floodRss;
  state.SetLabel(
      "figure=setup_under_flood_p99_ms ref=setup_quiet_p99_ms unit=ms better=lower;"
      "figure=setup_under_flood_median_ms ref=setup_quiet_median_ms unit=ms better=lower");
  std::filesystem::remove_all(db.parent_path());
}
BENCHMARK(BM_RelaySetupUnderFlood)->Iterations(1)->UseManualTime()->Unit(benchmark::kMillisecond);

// The same load through three nodes of a cluster on a private redis-server, the host on the first node,
// viewers on the second and accepts on the third, so that every splice crosses nodes; beside the same load
// on a node alone and over direct connections.
void BM_RelayClusterSplices(benchmark::State& state) {
  if (test::findProgram("redis-server").empty()) {
    state.SkipWithError("redis-server is not installed (make deps)");
    return;
  }
  const auto dir = std::filesystem::temp_directory_path() / ("relay-cluster-bench-" + std::to_string(getpid()));
  std::filesystem::create_directories(dir);
  std::ofstream(dir / "cluster.key") << "the benchmark's cluster key\n";
  test::RedisProcess redis(dir);
  auto startNode = [&] {
    return std::make_unique<test::RelayProcess>(std::vector<std::string>{
        "--redis", redis.url(), "--advertise", "127.0.0.1:0", "--cluster-key-file", (dir / "cluster.key").string(),
        "--max-connections", "5000", "--max-connections-per-address", "5000", "--connects-per-minute", "100000",
        "--connects-per-identity-per-minute", "100000", "--accepts-per-minute", "100000"});
  };
  std::vector<std::unique_ptr<test::RelayProcess>> nodes;
  for (int i = 0; i < 3; ++i) nodes.push_back(startNode());
  Run crossing, oneNode;
  for (auto _ : state) {
    crossing = throughRelay({nodes[0]->port, nodes[1]->port, nodes[2]->port});
    state.SetIterationTime(crossing.seconds);
  }
  std::vector<double> peakMiB;
  for (auto& n : nodes) peakMiB.push_back(residentMiB(n->process->pid(), "VmHWM:"));
  auto single = startNode();
  oneNode = throughRelay({single->port, single->port, single->port});
  const Run reference = direct();
  countRun(state, "cluster", crossing);
  countRun(state, "one_node", oneNode);
  countRun(state, "direct", reference);
  state.counters["node1_peak_rss_MiB"] = peakMiB[0];
  state.counters["node2_peak_rss_MiB"] = peakMiB[1];
  state.counters["node3_peak_rss_MiB"] = peakMiB[2];
  state.counters["one_node_peak_rss_MiB"] = residentMiB(single->process->pid(), "VmHWM:");
  state.counters["cluster_lost_or_corrupted_streams"] = crossing.failed;
  state.counters["one_node_lost_or_corrupted_streams"] = oneNode.failed;
  state.SetLabel(
      "figure=cluster_MBps ref=one_node_MBps unit=MB/s better=higher;"
      "figure=cluster_setup_median_ms ref=one_node_setup_median_ms unit=ms better=lower;"
      "figure=cluster_setup_p99_ms ref=one_node_setup_p99_ms unit=ms better=lower;"
      "figure=cluster_setup_p99_ms ref=direct_setup_p99_ms unit=ms better=lower;"
      "figure=one_node_setup_p99_ms ref=direct_setup_p99_ms unit=ms better=lower;"
      "figure=cluster_setup_under_load_median_ms ref=one_node_setup_under_load_median_ms unit=ms better=lower;"
      "figure=cluster_setup_under_load_p99_ms ref=one_node_setup_under_load_p99_ms unit=ms better=lower;"
      "figure=node2_peak_rss_MiB ref=one_node_peak_rss_MiB unit=MiB better=lower;"
      "figure=cluster_lost_or_corrupted_streams ref=one_node_lost_or_corrupted_streams unit=streams better=lower");
  single.reset();
  nodes.clear();
  std::filesystem::remove_all(dir);
}
BENCHMARK(BM_RelayClusterSplices)->Iterations(1)->UseManualTime()->Unit(benchmark::kMillisecond);

}  // namespace
}  // namespace pellora
