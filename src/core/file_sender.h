#pragma once

#include <boost/asio/any_io_executor.hpp>
#include <boost/asio/awaitable.hpp>
#include <boost/asio/experimental/concurrent_channel.hpp>
#include <chrono>
#include <cstdint>
#include <deque>
#include <exception>
#include <filesystem>
#include <functional>
#include <map>
#include <memory>
#include <mutex>
#include <set>
#include <string>

#include "core/message.h"
#include "core/secure_channel.h"
#include "core/transfer_progress.h"

namespace pellora {

// Sends local files to the peer, strictly one at a time in the order they were queued: offer, wait for the
// answer, then chunks under the channel's back-pressure limit and a closing digest. Owned by a session
// (shared with its drain task while files are queued).
//
// Executors: `enqueue`, `cancel`, `abandonAll` and `setOnProgress` may be called from any thread (the
// user interface, the session); `handle` from the session's receive loop. The transfers themselves run
// as one coroutine at a time on the executor given at construction (a serial queue of the session, so
// that file reads and sealing never stall the network thread); the offer timeout fires there too. Progress
// is reported on whichever thread takes the step. `lock_` guards all mutable state and is never held
// while sending or waiting.
class FileSender : public std::enable_shared_from_this<FileSender> {
 public:
  using Executor = boost::asio::any_io_executor;
  using ProgressHandler = std::function<void(const TransferProgress&)>;
  using Duration = std::chrono::steady_clock::duration;

  static constexpr std::size_t chunkSize = 262'144;       // the fileChunk data limit
  static constexpr std::int64_t queueLimit = 4'194'304;   // bytes queued on the channel before holding back
  static constexpr std::chrono::milliseconds pollInterval{5};
  static constexpr std::chrono::milliseconds reportInterval{100};
  static constexpr std::chrono::seconds defaultOfferTimeout{120};

  // Ids start at 1 on the host and 2 on the viewer and advance by 2, so the two ends never collide.
  static std::shared_ptr<FileSender> make(std::shared_ptr<SecureChannel> channel, bool isHost, Executor executor,
                                          Duration offerTimeout = defaultOfferTimeout);

  // Returns the id of `file` at once; it is queued (and a drain task started if none runs) on the executor.
  std::uint32_t enqueue(const std::filesystem::path& file);
  // Cancels an outgoing transfer, queued or running, and tells the peer. A queued one ends as cancelled
  // when its turn comes, without an offer.
  void cancel(std::uint32_t id, const std::string& reason);
  // Consumes fileAccept / fileReject answering an outstanding offer and fileCancel for this side's ids.
  bool handle(const Message& message);
  // The connection ended: an outstanding offer, the running transfer and everything still queued fail
  // with the connection's text instead of waiting for answers that cannot come.
  void abandonAll();
  void setOnProgress(ProgressHandler handler);

 private:
  using ReplyChannel =
      boost::asio::experimental::concurrent_channel<void(boost::system::error_code, std::exception_ptr)>;
  struct Entry {
    std::uint32_t id;
    std::filesystem::path file;
  };

  FileSender(std::shared_ptr<SecureChannel> channel, bool isHost, Executor executor, Duration offerTimeout);

  static boost::asio::awaitable<void> drain(std::shared_ptr<FileSender> self);
  boost::asio::awaitable<void> send(std::uint32_t id, std::filesystem::path file);
  boost::asio::awaitable<void> awaitAnswer(std::uint32_t id, const std::string& name, std::uint64_t size);
  // The reason to stop, if the transfer was cancelled or the connection is gone.
  std::exception_ptr stopReason(std::uint32_t id);
  // Removes the waiter for `id` (if any) under the lock; the caller answers it outside the lock.
  std::shared_ptr<ReplyChannel> takeReply(std::uint32_t id);
  void report(const TransferProgress& progress);

  const std::shared_ptr<SecureChannel> channel_;
  const Executor executor_;
  const Duration offerTimeout_;
  const std::uint32_t parity_;

  std::mutex lock_;
  std::uint32_t nextID_;
  std::deque<Entry> queue_;
  bool running_ = false;
  bool abandoned_ = false;
  std::map<std::uint32_t, std::shared_ptr<ReplyChannel>> replies_;
  std::set<std::uint32_t> open_;  // queued or running: the only ids a cancel can name
  std::map<std::uint32_t, std::string> cancelled_;
  ProgressHandler onProgress_;
};

}  // namespace pellora
