#pragma once

#include <atomic>
#include <boost/asio/awaitable.hpp>
#include <boost/asio/error.hpp>
#include <boost/asio/io_context.hpp>
#include <boost/asio/post.hpp>
#include <boost/system/system_error.hpp>
#include <chrono>
#include <exception>
#include <memory>
#include <optional>
#include <string>
#include <thread>
#include <type_traits>
#include <variant>

#include "base/poll_until.h"

namespace pellora {

// A named thread with an io_context of its own: jobs run one at a time in the order they were posted, and
// asio timers and coroutines work on its executor. Owned by one object (a session's video path, the
// renderer...). `stop()` — also run by the destructor — lets the running job finish, drops the rest and
// joins; nothing posted afterwards runs.
class SerialQueue {
 public:
  using Executor = boost::asio::io_context::executor_type;

  explicit SerialQueue(std::string label);
  ~SerialQueue();
  SerialQueue(const SerialQueue&) = delete;
  SerialQueue& operator=(const SerialQueue&) = delete;

  const std::string& label() const { return label_; }
  Executor executor() { return context_.get_executor(); }
  bool isCurrentThread() const { return std::this_thread::get_id() == id_; }

  template <typename Job>
  void post(Job&& job) {
    boost::asio::post(context_, std::forward<Job>(job));
  }

  // Runs `job` here and resumes the awaiting coroutine on its own executor with the job's result or
  // exception (`operation_aborted` when the queue stops before the job ran). The coroutine polls for the
  // outcome (`pollUntil`): this thread never completes into a context that may no longer exist.
  template <typename Job, typename Result = std::invoke_result_t<Job&>>
  boost::asio::awaitable<Result> run(Job job);

  // Blocks until every job posted before has run (tests, mostly). Not from a job of this queue, nor
  // after `stop()`.
  void waitUntilIdle();

  // Idempotent. Must not be called from a job of this queue.
  void stop();
  // True once `stop()` has begun: jobs not yet started will never run.
  bool isStopped() const { return context_.stopped(); }

 private:
  std::string label_;
  boost::asio::io_context context_{1};
  std::optional<boost::asio::executor_work_guard<Executor>> work_;
  std::thread thread_;
  std::thread::id id_;
};

template <typename Job, typename Result>
boost::asio::awaitable<Result> SerialQueue::run(Job job) {
  using Value = std::conditional_t<std::is_void_v<Result>, std::monostate, Result>;
  struct Outcome {
    std::atomic<bool> done{false};
    std::optional<Value> value;
    std::exception_ptr error;
  };
  // Marks the outcome when the job is dropped unrun, so that the waiting coroutine does not poll forever.
  struct Delivery {
    std::shared_ptr<Outcome> outcome;
    explicit Delivery(std::shared_ptr<Outcome> o) : outcome(std::move(o)) {}
    Delivery(Delivery&&) = default;
    ~Delivery() {
      if (!outcome || outcome->done.load(std::memory_order_acquire)) return;
      outcome->error = std::make_exception_ptr(boost::system::system_error(boost::asio::error::operation_aborted));
      outcome->done.store(true, std::memory_order_release);
    }
  };
  auto outcome = std::make_shared<Outcome>();
  post([delivery = Delivery(outcome), job = std::move(job)]() mutable {
    Outcome& o = *delivery.outcome;
    try {
      if constexpr (std::is_void_v<Result>) {
        job();
        o.value.emplace();
      } else {
        o.value.emplace(job());
      }
    } catch (...) {
      o.error = std::current_exception();
    }
    o.done.store(true, std::memory_order_release);
  });
  co_await pollUntil([&] { return outcome->done.load(std::memory_order_acquire); }, std::chrono::milliseconds(2));
  if (outcome->error) std::rethrow_exception(outcome->error);
  if constexpr (!std::is_void_v<Result>) co_return std::move(*outcome->value);
}

}  // namespace pellora
