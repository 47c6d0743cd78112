#include "base/allocator_tuning.h"

#include <malloc.h>

namespace pellora {

void tuneAllocatorForStreaming() {
  // Buffers up to 32 MiB (the largest frame) come from the heap, and up to 128 MiB of free heap is kept.
  mallopt(M_MMAP_THRESHOLD, 32 << 20);
  mallopt(M_TRIM_THRESHOLD, 128 << 20);
}

}  // namespace pellora
