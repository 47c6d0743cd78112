#include "base/allocator_tuning.h"

#include <malloc.h>

namespace pellora {

void tuneAllocatorForStreaming() {
  // Buffers up to 32 MiB (the largest frame) come from the heap, and up to 128 MiB of free heap is kept.
  mallopt(M_MMAP_THRESHOLD, 32 << 20);
  mallopt(M_TRIM_THRESHOLD, 128 << 20);
  // Heaps grow 8 MiB at a time rather than by what one allocation lacks. Each growth write-locks the
  // process' memory map, and page faults on every thread wait behind it: a burst of new connections
  // allocating on several threads at once otherwise grew the heaps a page at a time.
  mallopt(M_TOP_PAD, 8 << 20);
}

}  // namespace pellora
