#include "relay/splice_buffers.h"

#include <sys/mman.h>

#include <algorithm>
#include <cstdint>
#include <new>
#include <utility>

namespace pellora::relay {

struct SpliceBuffers::Slab {
  char* base = nullptr;
  std::vector<char*> free;
};

namespace {

// 2 MiB aligned, so that the kernel can back it with one huge page.
char* mapSlab() {
  constexpr std::size_t size = SpliceBuffers::kSlab;
  void* mapped = ::mmap(nullptr, 2 * size, PROT_READ | PROT_WRITE, MAP_PRIVATE | MAP_ANONYMOUS, -1, 0);
  if (mapped == MAP_FAILED) throw std::bad_alloc();
  const auto start = reinterpret_cast<std::uintptr_t>(mapped);
  const std::uintptr_t aligned = (start + size - 1) & ~(size - 1);
  if (aligned > start) ::munmap(mapped, aligned - start);
  ::munmap(reinterpret_cast<void*>(aligned + size), start + size - aligned);
  auto* slab = reinterpret_cast<char*>(aligned);
  // Both are hints: without them the pages fault in as they are first written.
  ::madvise(slab, size, MADV_HUGEPAGE);
  ::madvise(slab, size, MADV_POPULATE_WRITE);
  return slab;
}

}  // namespace

boost::asio::execution_context::id SpliceBuffers::id;

SpliceBuffers::SpliceBuffers(boost::asio::execution_context& owner) : service(owner) {}

SpliceBuffers::~SpliceBuffers() {
  for (const auto& slab : slabs_) ::munmap(slab->base, kSlab);
}

SpliceBuffers::Lease SpliceBuffers::take() {
  if (withRoom_.empty()) {
    auto slab = std::make_unique<Slab>();
    slab->base = mapSlab();
    for (std::size_t i = kPerSlab; i-- > 0;) slab->free.push_back(slab->base + i * kSize);
    withRoom_.push_back(slab.get());
    slabs_.push_back(std::move(slab));
  }
  Slab* slab = withRoom_.back();
  char* data = slab->free.back();
  slab->free.pop_back();
  if (slab->free.empty()) withRoom_.pop_back();
  if (slab == spare_) spare_ = nullptr;
  return Lease(this, slab, data);
}

void SpliceBuffers::giveBack(Slab* slab, char* data) {
  if (slab->free.empty()) withRoom_.push_back(slab);
  slab->free.push_back(data);
  if (slab->free.size() < kPerSlab) return;
  if (!spare_) {
    spare_ = slab;
    return;
  }
  std::erase(withRoom_, slab);
  ::munmap(slab->base, kSlab);
  std::erase_if(slabs_, [slab](const std::unique_ptr<Slab>& s) { return s.get() == slab; });
}

SpliceBuffers::Lease::Lease(Lease&& other) noexcept
    : pool_(std::exchange(other.pool_, nullptr)), slab_(other.slab_), data_(other.data_) {}

SpliceBuffers::Lease::~Lease() {
  if (pool_) pool_->giveBack(slab_, data_);
}

}  // namespace pellora::relay
