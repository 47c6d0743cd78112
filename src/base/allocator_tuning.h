#pragma once

namespace pellora {

// Keeps glibc from returning large buffers to the kernel after every free. Video frames and file chunks
// are allocated on one thread (encoder, sender) and freed on another (the network thread once written);
// with the default dynamic thresholds every such free may trim the arena (madvise + TLB shootdowns) and
// the next allocation faults the pages back in, which costs more than the encryption itself. Executables
// call this once at start, before any thread exists.
void tuneAllocatorForStreaming();

}  // namespace pellora
