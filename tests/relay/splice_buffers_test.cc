#include "relay/splice_buffers.h"

#include <gtest/gtest.h>

#include <boost/asio/io_context.hpp>

#include <cstring>
#include <optional>
#include <set>
#include <vector>

namespace pellora::relay {
namespace {

// A burst larger than a slab, given back and taken again: no buffer is leased twice, the burst's buffers
// are reused, and once they are all back at most one empty slab stays mapped.
TEST(SpliceBuffersTest, ABurstIsServedWithoutOverlapAndItsMemoryIsReusedThenGivenBack) {
  boost::asio::io_context io;
  auto& pool = boost::asio::use_service<SpliceBuffers>(io);
  const std::size_t burst = 2 * SpliceBuffers::kPerSlab + 3;
  std::vector<std::optional<SpliceBuffers::Lease>> leases(burst);
  std::set<char*> seen;
  for (std::size_t i = 0; i < burst; ++i) {
    leases[i].emplace(pool.take());
    char* data = leases[i]->data();
    EXPECT_TRUE(seen.insert(data).second);
    std::memset(data, static_cast<int>(i), SpliceBuffers::kSize);
  }
  EXPECT_EQ(pool.slabs(), 3u);
  for (std::size_t i = 0; i < burst; ++i)  // each buffer kept its own bytes: none overlaps another
    EXPECT_EQ(leases[i]->data()[SpliceBuffers::kSize - 1], static_cast<char>(i));

  leases.resize(SpliceBuffers::kPerSlab);  // most of the burst ends
  const SpliceBuffers::Lease again = pool.take();
  EXPECT_TRUE(seen.contains(again.data()));
  EXPECT_EQ(pool.slabs(), 2u);  // the slab that fell empty went back; one empty one is kept

  leases.clear();
  EXPECT_EQ(pool.slabs(), 2u);  // the one `again` holds, and the spare
}

}  // namespace
}  // namespace pellora::relay
