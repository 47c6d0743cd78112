#pragma once

// The buffers that relayed bytes pass through, pooled per thread that copies them. When hosts reconnect
// after a restart, hundreds of splices start at once; a fresh buffer for each (zero-filled, then faulted
// in a page at a time) cost the relay a third of its CPU in such a burst. Here memory comes in slabs made
// resident in one step (as a huge page where the kernel allows), and buffers are reused from one splice to
// the next.

#include <boost/asio/execution_context.hpp>

#include <cstddef>
#include <memory>
#include <vector>

namespace pellora::relay {

// Lives on one io_context (`use_service`) and is used only from the thread that runs it.
class SpliceBuffers : public boost::asio::execution_context::service {
 public:
  static constexpr std::size_t kSize = 64 * 1024;  // per direction: what one relayed stream may hold in memory
  static constexpr std::size_t kSlab = 2 << 20;
  static constexpr std::size_t kPerSlab = kSlab / kSize;

  struct Slab;
  // A buffer until it is destroyed, then back in its pool.
  class Lease {
   public:
    Lease(Lease&& other) noexcept;
    Lease& operator=(Lease&&) = delete;
    ~Lease();
    char* data() const { return data_; }
    static constexpr std::size_t size() { return kSize; }

   private:
    friend class SpliceBuffers;
    Lease(SpliceBuffers* pool, Slab* slab, char* data) : pool_(pool), slab_(slab), data_(data) {}
    SpliceBuffers* pool_;
    Slab* slab_;
    char* data_;
  };

  static boost::asio::execution_context::id id;
  explicit SpliceBuffers(boost::asio::execution_context& owner);
  ~SpliceBuffers() override;

  Lease take();
  std::size_t slabs() const { return slabs_.size(); }

 private:
  void shutdown() override {}  // leases may still be given back while the context tears down
  void giveBack(Slab* slab, char* data);

  std::vector<std::unique_ptr<Slab>> slabs_;
  std::vector<Slab*> withRoom_;  // slabs with a free buffer; the last one is used first
  Slab* spare_ = nullptr;        // an empty slab kept for the next burst; a second empty one is unmapped
};

}  // namespace pellora::relay
