#include "base/cpu_pool.h"

namespace pellora {

CpuPool::CpuPool(std::size_t threads) { pool_.emplace(threads); }

CpuPool::~CpuPool() { stop(); }

void CpuPool::stop() {
  if (!pool_) return;
  pool_->stop();
  pool_->join();
  pool_.reset();  // destroys the jobs that never started, while the executors they hold still exist
}

}  // namespace pellora
