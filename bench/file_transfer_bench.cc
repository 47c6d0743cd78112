// A 1 GiB file sent over a loopback secure channel, beside the two costs it is built from, measured in the
// same run: SHA-256 of the same file's bytes and the secure channel's own throughput for 256 KiB
// messages under the same 4 MiB back-pressure. Also the process's peak resident memory during the
// transfer, beside the memory it held before: the growth must stay near the back-pressure limit.
// The files live under /tmp (on disk, flushes included); PELLORA_BENCH_DIR=/dev/shm leaves the disk out.

#include <benchmark/benchmark.h>
#include <fcntl.h>
#include <unistd.h>

#include <atomic>
#include <cstdlib>
#include <boost/asio/co_spawn.hpp>
#include <boost/asio/detached.hpp>
#include <boost/asio/use_future.hpp>
#include <filesystem>
#include <fstream>
#include <random>
#include <thread>

#include "base/allocator_tuning.h"
#include "base/executors.h"
#include "base/serial_queue.h"
#include "base/unique_fd.h"
#include "core/crypto.h"
#include "core/file_receiver.h"
#include "core/file_sender.h"

namespace pellora {
namespace {

namespace asio = boost::asio;
namespace fs = std::filesystem;
using Tcp = asio::ip::tcp;
using namespace std::chrono_literals;

constexpr std::uint64_t fileSize = 1ull << 30;
const Bytes keyA(32, 0xa1), keyB(32, 0xb2);

const fs::path& workDir() {
  static const fs::path dir = fs::path(std::getenv("PELLORA_BENCH_DIR") ? std::getenv("PELLORA_BENCH_DIR") : "/tmp") / ("pellora-file-bench-" + std::to_string(getpid()));
  return dir;
}
// The 1 GiB source, written on first use and removed (with the whole work folder) when the program ends.
struct SourceFile {
  fs::path path = workDir() / "kaynak.bin";
  SourceFile() {
    fs::create_directories(workDir());
    Bytes block(4 << 20);
    std::mt19937_64 rng(42);
    for (std::size_t i = 0; i + 8 <= block.size(); i += 8) {
      const std::uint64_t v = rng();
      std::memcpy(block.data() + i, &v, 8);
    }
    std::ofstream out(path, std::ios::binary);
    for (std::uint64_t written = 0; written < fileSize; written += block.size()) {
      out.write(reinterpret_cast<const char*>(block.data()), static_cast<std::streamsize>(block.size()));
    }
  }
  ~SourceFile() { fs::remove_all(workDir()); }
};
const fs::path& sourceFile() {
  static const SourceFile source;
  return source.path;
}

// Resident memory in KiB from /proc/self/status ("VmRSS" now, "VmHWM" the peak since the last reset).
double statusMiB(const std::string& key) {
  std::ifstream in("/proc/self/status");
  std::string line;
  while (std::getline(in, line)) {
    if (line.rfind(key + ":", 0) == 0) return std::stod(line.substr(key.size() + 1)) / 1024.0;
  }
  return 0;
}
void resetPeakMemory() { std::ofstream("/proc/self/clear_refs") << "5"; }

// Two secure channels over loopback on the network thread, each with a receive loop that hands messages to
// `handler` (on the main strand, as a session's loop runs).
struct Connection {
  Executors executors;
  Tcp::acceptor acceptor{executors.network().context(), Tcp::endpoint(asio::ip::make_address("127.0.0.1"), 0)};
  std::shared_ptr<SecureChannel> a, b;

  Connection() {
    auto strand = executors.network().mainStrand();
    auto accept = [this]() -> asio::awaitable<std::shared_ptr<Wire>> {
      co_return Wire::accepted(co_await acceptor.async_accept(asio::use_awaitable));
    };
    auto accepted = asio::co_spawn(strand, accept(), asio::use_future);
    auto client = Wire::tcp(executors.network().executor(), "127.0.0.1", acceptor.local_endpoint().port(), false);
    asio::co_spawn(strand, client->start(), asio::use_future).get();
    a = SecureChannel::make(client, Hello{}, CipherState(keyA), CipherState(keyB));
    b = SecureChannel::make(accepted.get(), Hello{}, CipherState(keyB), CipherState(keyA));
  }
  ~Connection() {
    a->close(std::nullopt);
    b->close(std::nullopt);
    executors.stop();
  }
  template <typename Handler>
  void receiveLoop(std::shared_ptr<SecureChannel> channel, Handler handler) {
    auto loop = [](std::shared_ptr<SecureChannel> c, Handler h) -> asio::awaitable<void> {
      for (;;) h(co_await c->receive());
    };
    asio::co_spawn(executors.network().mainStrand(), loop(std::move(channel), std::move(handler)), asio::detached);
  }
};

void BM_FileTransfer1GiB(benchmark::State& state) {
  double before = 0, peak = 0;
  for (auto _ : state) {
    state.PauseTiming();
    const fs::path inbox = workDir() / "gelen";
    fs::remove_all(inbox);
    SerialQueue files("pellora.files");
    Connection net;
    auto sender = FileSender::make(net.a, true, files.executor());
    auto receiver = FileReceiver::make(net.b, inbox, net.executors.network().mainStrand());
    std::promise<std::string> finished;
    std::atomic<bool> reported{false};
    receiver->setOnProgress([&](const TransferProgress& p) {
      if (p.isFinished() && !reported.exchange(true)) {
        const auto* failed = std::get_if<TransferProgress::Failed>(&p.state);
        finished.set_value(failed ? failed->text : "");
      }
    });
    net.receiveLoop(net.a, [sender](const Message& m) { sender->handle(m); });
    net.receiveLoop(net.b, [receiver](const Message& m) { receiver->handle(m); });
    before = statusMiB("VmRSS");
    resetPeakMemory();
    state.ResumeTiming();

    sender->enqueue(sourceFile());
    const std::string failure = finished.get_future().get();

    state.PauseTiming();
    peak = std::max(peak, statusMiB("VmHWM"));
    if (!failure.empty()) state.SkipWithError(failure.c_str());
    fs::remove_all(inbox);
    state.ResumeTiming();
  }
  state.SetBytesProcessed(state.iterations() * static_cast<std::int64_t>(fileSize));
  state.counters["peakRssMiB"] = peak;
  state.counters["rssBeforeMiB"] = before;
  state.counters["rssGrowthMiB"] = peak - before;
  state.counters["queueLimitMiB"] = static_cast<double>(FileSender::queueLimit) / (1 << 20);
  state.SetLabel(
      "ref=BM_Sha256File1GiB/iterations:1/real_time,BM_SecureChannel256KiB/iterations:1/real_time;"
      "figure=rssGrowthMiB ref=queueLimitMiB unit=MiB better=lower");
}

// The sender's hashing alone: the same file read in chunks of the same size.
void BM_Sha256File1GiB(benchmark::State& state) {
  Bytes buffer(FileSender::chunkSize);
  for (auto _ : state) {
    UniqueFd fd(::open(sourceFile().c_str(), O_RDONLY | O_CLOEXEC));
    PelloraCrypto::Sha256 hasher;
    for (ssize_t n; (n = ::read(fd.get(), buffer.data(), buffer.size())) > 0;) {
      hasher.update(ByteView(buffer.data(), static_cast<std::size_t>(n)));
    }
    benchmark::DoNotOptimize(hasher.finish());
  }
  state.SetBytesProcessed(state.iterations() * static_cast<std::int64_t>(fileSize));
}

// The channel alone: 1 GiB as 256 KiB messages under the sender's back-pressure rule.
void BM_SecureChannel256KiB(benchmark::State& state) {
  const Message chunk = Message::FileChunk{1, 0, Bytes(FileSender::chunkSize, 0x5a)};
  const std::int64_t count = fileSize / FileSender::chunkSize;
  for (auto _ : state) {
    state.PauseTiming();
    Connection net;
    std::atomic<std::int64_t> received{0};
    net.receiveLoop(net.b, [&received](const Message&) { received.fetch_add(1, std::memory_order_release); });
    state.ResumeTiming();
    for (std::int64_t i = 0; i < count; ++i) {
      while (net.a->queuedBytes() > FileSender::queueLimit) std::this_thread::sleep_for(FileSender::pollInterval);
      net.a->send(chunk);
    }
    while (received.load(std::memory_order_acquire) < count) std::this_thread::sleep_for(100us);
  }
  state.SetBytesProcessed(state.iterations() * static_cast<std::int64_t>(fileSize));
}

BENCHMARK(BM_Sha256File1GiB)->Unit(benchmark::kMillisecond)->UseRealTime()->Iterations(1);
BENCHMARK(BM_SecureChannel256KiB)->Unit(benchmark::kMillisecond)->UseRealTime()->Iterations(1);
BENCHMARK(BM_FileTransfer1GiB)->Unit(benchmark::kMillisecond)->UseRealTime()->Iterations(1);

}  // namespace
}  // namespace pellora
