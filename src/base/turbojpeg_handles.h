#pragma once

// TurboJPEG handles and buffers, each owned by a unique_ptr that frees it the one way TurboJPEG wants.
// Header only: shared by the host's encoders and the viewer's renderer, which link TurboJPEG themselves
// (base does not, and core never includes this).

#include <turbojpeg.h>

#include <memory>

namespace pellora {

struct TjDestroy {
  void operator()(void* handle) const { tjDestroy(handle); }
};
struct TjFree {
  void operator()(unsigned char* buffer) const { tjFree(buffer); }
};

using TjHandle = std::unique_ptr<void, TjDestroy>;
using TjBuffer = std::unique_ptr<unsigned char, TjFree>;

}  // namespace pellora
