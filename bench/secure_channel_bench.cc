// The secure channel's costs, each beside its floor from the same run: handshake time (version 1) vs the
// server's two PBKDF2 runs, and version 2 (SPAKE2) vs version 1; sealed-record throughput vs a raw loopback TCP copy and vs AES-256-GCM sealing alone; and
// the network thread's longest stall while a handshake runs beside a streaming channel vs one PBKDF2 run.

#include <benchmark/benchmark.h>

#include <atomic>
#include <boost/asio/co_spawn.hpp>
#include <boost/asio/detached.hpp>
#include <boost/asio/read.hpp>
#include <boost/asio/steady_timer.hpp>
#include <boost/asio/use_future.hpp>
#include <boost/asio/write.hpp>
#include <thread>

#include "base/allocator_tuning.h"
#include "base/executors.h"
#include "core/crypto.h"
#include "core/secure_channel.h"

namespace pellora {
namespace {

namespace asio = boost::asio;
using asio::awaitable;
using Tcp = asio::ip::tcp;
using Clock = std::chrono::steady_clock;
using namespace std::chrono_literals;

const Bytes keyA(32, 0xa1), keyB(32, 0xb2);

// The shared executors and a loopback listener on the network thread.
struct Loopback {
  Executors executors;
  Tcp::acceptor acceptor{executors.network().context(), Tcp::endpoint(asio::ip::make_address("127.0.0.1"), 0)};

  ~Loopback() { executors.stop(); }

  NetworkThread::Strand& strand() { return executors.network().mainStrand(); }

  std::pair<std::shared_ptr<Wire>, std::shared_ptr<Wire>> connect() {
    auto accept = [this]() -> awaitable<std::shared_ptr<Wire>> {
      co_return Wire::accepted(co_await acceptor.async_accept(asio::use_awaitable));
    };
    auto accepted = asio::co_spawn(strand(), accept(), asio::use_future);
    auto client = Wire::tcp(executors.network().executor(), "127.0.0.1", acceptor.local_endpoint().port(), false);
    asio::co_spawn(strand(), client->start(), asio::use_future).get();
    return {client, accepted.get()};
  }

  // `permanent`: the host holds a permanent password too (version 2 then derives two shares side by side).
  void handshake(bool version2 = true, bool permanent = false) {
    auto [clientWire, serverWire] = connect();
    SecureChannel::ClientOptions versions;
    versions.offerVersion2 = version2;
    SecureChannel::Admit admit = [](const Hello&, SecureChannel::PasswordMatch) -> awaitable<HandshakeStatus> {
      co_return HandshakeStatus::ok;
    };
    auto server = asio::co_spawn(strand(),
                                 SecureChannel::server(serverWire, "kedi 42",
                                                       permanent ? std::optional<std::string>("uzak 7") : std::nullopt,
                                                       "host", 60s, admit, executors.cpu()),
                                 asio::use_future);
    auto client = asio::co_spawn(
        strand(), SecureChannel::client(clientWire, "kedi 42", "viewer", 60s, executors.cpu(), versions),
        asio::use_future);
    benchmark::DoNotOptimize(client.get());
    server.get()->close(std::nullopt);
  }
};

// A channel pair with a receive loop on the network thread that counts the messages it opened.
struct Stream {
  explicit Stream(Loopback& net) {
    auto [a, b] = net.connect();
    sender = SecureChannel::make(a, Hello{}, CipherState(keyA), CipherState(keyB));
    receiver = SecureChannel::make(b, Hello{}, CipherState(keyB), CipherState(keyA));
    auto loop = [](std::shared_ptr<SecureChannel> r, std::atomic<std::int64_t>* count) -> awaitable<void> {
      for (;;) {
        co_await r->receive();
        count->fetch_add(1, std::memory_order_release);
      }
    };
    asio::co_spawn(net.strand(), loop(receiver, &received), asio::detached);
  }
  ~Stream() {
    sender->close(std::nullopt);
    receiver->close(std::nullopt);
  }
  // Sends without letting more than `budget` bytes queue up, as the host's video path does.
  void send(const Message& m, std::int64_t budget = 4 << 20) {
    while (sender->queuedBytes() > budget) std::this_thread::sleep_for(50us);
    sender->send(m);
    ++sent;
  }
  void drain() {
    while (received.load(std::memory_order_acquire) < sent) std::this_thread::sleep_for(20us);
  }

  std::shared_ptr<SecureChannel> sender, receiver;
  std::atomic<std::int64_t> received{0};
  std::int64_t sent = 0;
};

Message videoFrame(std::size_t size) { return Message::VideoFrame{true, 1, Bytes(size, 0x5a)}; }

void BM_Handshake(benchmark::State& state) {
  Loopback net;
  for (auto _ : state) net.handshake(false);
  state.SetLabel("ref=BM_TwoPbkdf2Runs/iterations:8/real_time metric=time");
}

// PBKDF2 dominates both versions; version 2 runs the server's before its hello, the client's after it.
void BM_HandshakeVersion2(benchmark::State& state) {
  Loopback net;
  for (auto _ : state) net.handshake(true);
  state.SetLabel("ref=BM_Handshake/iterations:8/real_time metric=time");
}
void BM_HandshakeVersion2TwoPasswords(benchmark::State& state) {
  Loopback net;
  for (auto _ : state) net.handshake(true, true);
  state.SetLabel("ref=BM_Handshake/iterations:8/real_time metric=time");
}

void BM_TwoPbkdf2Runs(benchmark::State& state) {
  const Bytes salt(16, 3);
  for (auto _ : state) {
    benchmark::DoNotOptimize(PelloraCrypto::pbkdf2("kedi 42", salt, PelloraCrypto::defaultIterations));
    benchmark::DoNotOptimize(PelloraCrypto::pbkdf2("throwaway", salt, PelloraCrypto::defaultIterations));
  }
}

void secureChannelThroughput(benchmark::State& state, std::size_t size, int perIteration) {
  Loopback net;
  Stream stream(net);
  const Message m = videoFrame(size);
  for (auto _ : state) {
    for (int i = 0; i < perIteration; ++i) stream.send(m);
    stream.drain();
  }
  state.SetBytesProcessed(state.iterations() * perIteration * static_cast<std::int64_t>(size));
}

// The same bytes through a plain loopback TCP connection: a blocking writer and a reader thread.
void rawTcpCopy(benchmark::State& state, std::size_t size, int perIteration) {
  asio::io_context io;
  Tcp::acceptor acceptor(io, Tcp::endpoint(asio::ip::make_address("127.0.0.1"), 0));
  Tcp::socket writer(io), reader(io);
  writer.connect(acceptor.local_endpoint());
  acceptor.accept(reader);
  writer.set_option(Tcp::no_delay(true));
  const Bytes data(size + 4 + 16, 0x5a);  // a frame's worth
  std::atomic<std::int64_t> toRead{0};
  std::atomic<bool> done{false};
  std::thread readerThread([&] {
    Bytes buffer(1 << 20);
    while (!done) {
      boost::system::error_code ec;
      const std::size_t n = reader.read_some(asio::buffer(buffer), ec);
      if (ec) return;
      toRead -= static_cast<std::int64_t>(n);
    }
  });
  for (auto _ : state) {
    for (int i = 0; i < perIteration; ++i) {
      toRead += static_cast<std::int64_t>(data.size());
      asio::write(writer, asio::buffer(data));
    }
    while (toRead > 0) std::this_thread::sleep_for(20us);
  }
  done = true;
  writer.shutdown(Tcp::socket::shutdown_both);
  readerThread.join();
  state.SetBytesProcessed(state.iterations() * perIteration * static_cast<std::int64_t>(size));
}

void aesGcmSeal(benchmark::State& state, std::size_t size) {
  CipherState cipher(keyA);
  const Bytes plaintext(size, 0x5a);
  Bytes out(size + CipherState::tagSize);
  for (auto _ : state) {
    cipher.sealInto(plaintext, out.data());
    benchmark::DoNotOptimize(out.data());
  }
  state.SetBytesProcessed(state.iterations() * static_cast<std::int64_t>(size));
}

void BM_SecureChannel64KiB(benchmark::State& state) {
  secureChannelThroughput(state, 64 << 10, 512);
  state.SetLabel("ref=BM_RawTcp64KiB/min_time:1.000/real_time,BM_AesGcmSeal64KiB/min_time:0.500");
}
void BM_RawTcp64KiB(benchmark::State& state) { rawTcpCopy(state, 64 << 10, 512); }
void BM_AesGcmSeal64KiB(benchmark::State& state) { aesGcmSeal(state, 64 << 10); }

void BM_SecureChannel1MiB(benchmark::State& state) {
  secureChannelThroughput(state, 1 << 20, 32);
  state.SetLabel("ref=BM_RawTcp1MiB/min_time:1.000/real_time,BM_AesGcmSeal1MiB/min_time:0.500");
}
void BM_RawTcp1MiB(benchmark::State& state) { rawTcpCopy(state, 1 << 20, 32); }
void BM_AesGcmSeal1MiB(benchmark::State& state) { aesGcmSeal(state, 1 << 20); }

// A 1 ms probe timer on the network thread records how late it fires while a 64 KiB stream flows and a
// second handshake runs; the reference is one PBKDF2 run timed in the same benchmark.
void BM_NetworkStallDuringHandshake(benchmark::State& state) {
  Loopback net;
  double worstStall = 0, onePbkdf2 = 0;
  for (auto _ : state) {
    const auto t0 = Clock::now();
    benchmark::DoNotOptimize(PelloraCrypto::pbkdf2("kedi 42", Bytes(16, 3), PelloraCrypto::defaultIterations));
    onePbkdf2 = std::max(onePbkdf2, std::chrono::duration<double, std::milli>(Clock::now() - t0).count());

    Stream stream(net);
    std::atomic<bool> streaming{true}, probing{true};
    std::atomic<double> stall{0};
    auto probe = [&]() -> awaitable<void> {
      asio::steady_timer timer(co_await asio::this_coro::executor);
      while (probing) {
        const auto due = Clock::now() + 1ms;
        timer.expires_at(due);
        co_await timer.async_wait(asio::use_awaitable);
        const double late = std::chrono::duration<double, std::milli>(Clock::now() - due).count();
        if (late > stall) stall = late;
      }
    };
    auto probed = asio::co_spawn(net.strand(), probe(), asio::use_future);
    std::thread sender([&] {
      const Message m = videoFrame(64 << 10);
      while (streaming) stream.send(m, 1 << 20);
    });
    std::this_thread::sleep_for(50ms);
    net.handshake();
    streaming = false;
    sender.join();
    probing = false;
    probed.get();
    stream.drain();
    worstStall = std::max(worstStall, stall.load());
  }
  state.counters["maxStallMs"] = worstStall;
  state.counters["onePbkdf2Ms"] = onePbkdf2;
  state.SetLabel("figure=maxStallMs ref=onePbkdf2Ms unit=ms better=lower");
}

BENCHMARK(BM_Handshake)->Unit(benchmark::kMillisecond)->UseRealTime()->Iterations(8);
BENCHMARK(BM_HandshakeVersion2)->Unit(benchmark::kMillisecond)->UseRealTime()->Iterations(8);
BENCHMARK(BM_HandshakeVersion2TwoPasswords)->Unit(benchmark::kMillisecond)->UseRealTime()->Iterations(8);
BENCHMARK(BM_TwoPbkdf2Runs)->Unit(benchmark::kMillisecond)->UseRealTime()->Iterations(8);
BENCHMARK(BM_SecureChannel64KiB)->UseRealTime()->MinTime(1.0);
BENCHMARK(BM_RawTcp64KiB)->UseRealTime()->MinTime(1.0);
BENCHMARK(BM_AesGcmSeal64KiB)->MinTime(0.5);
BENCHMARK(BM_SecureChannel1MiB)->UseRealTime()->MinTime(1.0);
BENCHMARK(BM_RawTcp1MiB)->UseRealTime()->MinTime(1.0);
BENCHMARK(BM_AesGcmSeal1MiB)->MinTime(0.5);
BENCHMARK(BM_NetworkStallDuringHandshake)->Unit(benchmark::kMillisecond)->UseRealTime()->Iterations(3);

}  // namespace
}  // namespace pellora
