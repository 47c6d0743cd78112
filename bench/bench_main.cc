// The main() of every benchmark program: the allocator tuned as in Pellora's executables (frame-sized
// buffers reused from the heap instead of mapped and faulted in on every allocation), then Google Benchmark.

#include <benchmark/benchmark.h>

#include "base/allocator_tuning.h"

int main(int argc, char** argv) {
  pellora::tuneAllocatorForStreaming();
  benchmark::Initialize(&argc, argv);
  if (benchmark::ReportUnrecognizedArguments(argc, argv)) return 1;
  benchmark::RunSpecifiedBenchmarks();
  benchmark::Shutdown();
  return 0;
}
