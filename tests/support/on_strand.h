#pragma once

// Calling into the network thread from a test: services and sessions live on a strand, so the test posts
// its job there and waits for the result. The bound is reached only when something is broken.

#include <boost/asio/post.hpp>
#include <chrono>
#include <future>
#include <stdexcept>
#include <type_traits>
#include <utility>

namespace pellora::test {

inline constexpr auto peerBound = std::chrono::seconds(60);

template <typename T>
T awaitFuture(std::future<T> future) {
  if (future.wait_for(peerBound) != std::future_status::ready) throw std::runtime_error("timed out");
  return future.get();
}

// Runs `job` on `strand` and returns its result (exceptions included). The task moves into the handler:
// the strand may still be inside it when the result wakes the caller.
template <typename Strand, typename Job>
auto onStrand(const Strand& strand, Job job) -> std::invoke_result_t<Job&> {
  std::packaged_task<std::invoke_result_t<Job&>()> task(std::move(job));
  auto result = task.get_future();
  boost::asio::post(strand, [task = std::move(task)]() mutable { task(); });
  return awaitFuture(std::move(result));
}

}  // namespace pellora::test
