#pragma once

#include "base/cpu_pool.h"
#include "base/network_thread.h"

namespace pellora {

// The process's shared executors: the network thread with the main strand, and the CPU pool. Stopping
// joins the network thread first and then the pool, so that a pool job that finishes late only queues its
// result on a stopped context, which is destroyed last.
class Executors {
 public:
  Executors() = default;
  ~Executors() { stop(); }

  NetworkThread& network() { return network_; }
  CpuPool& cpu() { return cpu_; }

  void stop() {
    network_.stop();
    cpu_.stop();
  }

 private:
  NetworkThread network_;  // declared first: destroyed after the pool
  CpuPool cpu_{2};
};

}  // namespace pellora
