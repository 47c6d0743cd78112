#pragma once

#include <boost/asio/io_context.hpp>
#include <boost/asio/strand.hpp>
#include <optional>
#include <thread>

namespace pellora {

// The network io_context and the one thread that runs it. Every connection (its wire strand), every timer
// of a session and the main strand run here. Owned by the application (or a test); `stop()` — also run by
// the destructor — stops the context and joins the thread; handlers still queued then never run and are
// destroyed with the context.
class NetworkThread {
 public:
  using Executor = boost::asio::io_context::executor_type;
  using Strand = boost::asio::strand<Executor>;

  NetworkThread();
  ~NetworkThread();
  NetworkThread(const NetworkThread&) = delete;
  NetworkThread& operator=(const NetworkThread&) = delete;

  boost::asio::io_context& context() { return context_; }
  Executor executor() { return context_.get_executor(); }
  // The main strand: every observable model object lives on it. It is not the GUI thread.
  Strand& mainStrand() { return mainStrand_; }
  bool isCurrentThread() const { return std::this_thread::get_id() == id_; }

  // Idempotent. Must not be called from the network thread itself.
  void stop();

 private:
  boost::asio::io_context context_{1};
  std::optional<boost::asio::executor_work_guard<Executor>> work_;
  Strand mainStrand_;
  std::thread thread_;
  std::thread::id id_;
};

}  // namespace pellora
