#pragma once

#include <boost/asio/awaitable.hpp>
#include <boost/asio/co_spawn.hpp>
#include <boost/asio/thread_pool.hpp>
#include <boost/asio/use_awaitable.hpp>
#include <boost/system/system_error.hpp>
#include <optional>
#include <type_traits>

namespace pellora {

// A small pool of threads for CPU-heavy one-offs (PBKDF2 with 200,000 iterations), so that a handshake
// never stalls the network thread. `run` is awaited from a coroutine on any executor and resumes there.
// `stop()` — also run by the destructor — joins the threads and destroys the jobs that have not started, with
// the coroutines waiting on them; stop the network thread first (see Executors), because finished jobs post
// their results to it, and stop this pool before the network thread is destroyed, because the waiting
// coroutines keep its executor. A job asked for after `stop()` fails with `operation_aborted`.
class CpuPool {
 public:
  explicit CpuPool(std::size_t threads = 2);
  ~CpuPool();
  CpuPool(const CpuPool&) = delete;
  CpuPool& operator=(const CpuPool&) = delete;

  // Runs `job` on a pool thread; its result or exception comes back to the awaiting coroutine.
  template <typename Job, typename Result = std::invoke_result_t<Job&>>
  boost::asio::awaitable<Result> run(Job job) {
    if (!pool_) throw boost::system::system_error(boost::asio::error::operation_aborted);
    return boost::asio::co_spawn(
        pool_->get_executor(),
        [job = std::move(job)]() mutable -> boost::asio::awaitable<Result> { co_return job(); },
        boost::asio::use_awaitable);
  }

  void stop();

 private:
  std::optional<boost::asio::thread_pool> pool_;
};

}  // namespace pellora
