#pragma once

#include <boost/asio/io_context.hpp>
#include <boost/asio/post.hpp>
#include <optional>
#include <string>
#include <thread>

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

}  // namespace pellora
