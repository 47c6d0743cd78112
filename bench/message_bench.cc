// Encoding and decoding cost of the two messages that dominate a session: a large video frame and a
// mouse move, each beside a plain memcpy of the same bytes.

#include <benchmark/benchmark.h>

#include <cstring>

#include "core/message.h"

namespace pellora {
namespace {

Message videoFrame(std::size_t size) {
  Bytes data(size);
  for (std::size_t i = 0; i < size; ++i) data[i] = static_cast<std::uint8_t>(i * 31);
  return Message::VideoFrame{true, 123456, std::move(data)};
}

void roundTrip(benchmark::State& state, const Message& m) {
  const std::size_t size = m.encode().size();
  for (auto _ : state) {
    Bytes encoded = m.encode();
    Message decoded = Message::decode(encoded);
    benchmark::DoNotOptimize(decoded);
  }
  state.SetBytesProcessed(static_cast<std::int64_t>(state.iterations() * size));
}

void memcpyOf(benchmark::State& state, std::size_t size) {
  Bytes from(size, 7), to(size);
  for (auto _ : state) {
    std::memcpy(to.data(), from.data(), size);
    benchmark::DoNotOptimize(to.data());
    benchmark::ClobberMemory();
  }
  state.SetBytesProcessed(static_cast<std::int64_t>(state.iterations() * size));
}

void BM_VideoFrame1MiBEncodeDecode(benchmark::State& state) {
  static const Message m = videoFrame(1 << 20);
  roundTrip(state, m);
  state.SetLabel("ref=BM_Memcpy1MiB");
}
void BM_Memcpy1MiB(benchmark::State& state) { memcpyOf(state, Message(videoFrame(1 << 20)).encode().size()); }

void BM_MouseMoveEncodeDecode(benchmark::State& state) {
  static const Message m = Message::MouseMove{0.25f, 0.75f};
  roundTrip(state, m);
  state.SetLabel("ref=BM_MemcpyMouseMove metric=time");
}
void BM_MemcpyMouseMove(benchmark::State& state) { memcpyOf(state, 9); }

BENCHMARK(BM_VideoFrame1MiBEncodeDecode);
BENCHMARK(BM_Memcpy1MiB);
BENCHMARK(BM_MouseMoveEncodeDecode);
BENCHMARK(BM_MemcpyMouseMove);

}  // namespace
}  // namespace pellora
