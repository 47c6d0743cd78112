#include "base/cpu_pool.h"

namespace pellora {

CpuPool::CpuPool(std::size_t threads) : pool_(threads) {}

CpuPool::~CpuPool() { stop(); }

void CpuPool::stop() {
  pool_.stop();
  pool_.join();
}

}  // namespace pellora
