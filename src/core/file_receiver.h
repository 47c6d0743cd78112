#pragma once

#include <boost/asio/any_io_executor.hpp>
#include <boost/asio/awaitable.hpp>
#include <atomic>
#include <chrono>
#include <cstdint>
#include <filesystem>
#include <functional>
#include <map>
#include <memory>
#include <optional>
#include <string>

#include "base/network_thread.h"
#include "base/serial_queue.h"
#include "core/crypto.h"
#include "core/message.h"
#include "core/secure_channel.h"
#include "core/transfer_progress.h"

namespace pellora {

// What one session may make this side store. Offers past a limit are refused.
struct IncomingFileLimits {
  // Files saved or in progress, and their announced bytes; failed and cancelled transfers give theirs back.
  std::uint64_t maxFiles = 1'000;
  std::uint64_t maxBytes = std::uint64_t{64} << 30;
  // An offer must leave at least the larger of these free on the download volume, beside what the
  // transfers in progress still have to write.
  std::uint64_t minFreeBytes = std::uint64_t{1} << 30;
  unsigned minFreePercent = 5;
};

// Accepts the peer's file offers, writes each file to a hidden partial file beside its destination, checks
// size and SHA-256 and then claims a final name that no existing file has, atomically. Owned by a session.
//
// Executors: the bookkeeping (offers, limits, the order of chunks, progress, answers to the peer) lives on
// the executor given at construction, the one the session's receive loop runs on. `handle` and
// `abandonAll` must be called there (the receive loop does); `cancel` may be called from any thread and hops
// there itself, so every step runs one at a time without a lock. Everything that touches the disk —
// creating, writing, hashing, flushing, naming, removing — runs on the receiver's own file thread, in the
// order the steps were taken, and reports back to the executor; nothing on the executor waits for the
// disk. `setAutoAccept` may be called from any thread.
//
// Every transfer that fails, is cancelled or is dropped with the connection (or the receiver) leaves no
// partial file behind.
class FileReceiver : public std::enable_shared_from_this<FileReceiver> {
 public:
  using Executor = boost::asio::any_io_executor;
  using ProgressHandler = std::function<void(const TransferProgress&)>;

  using Limits = IncomingFileLimits;

  static constexpr std::chrono::milliseconds reportInterval{100};
  // Written data is handed to the disk in steps of this size, so that the flush before the final move has
  // little left to do.
  static constexpr std::uint64_t writebackStep = 8 << 20;
  // A peer sends one file at a time; more open transfers than this are refused rather than letting a
  // peer use up the process's file descriptors.
  static constexpr std::size_t maxIncoming = 8;
  // Each step waiting for the file thread counts as this many bytes of backlog besides its data, so that
  // floods of small steps are bounded as well.
  static constexpr std::int64_t stepCost = 16 << 10;
  // Received data waiting for the file thread above this makes the receive loop wait (`writeRoom`), so a
  // disk slower than the network slows the peer instead of filling memory.
  static constexpr std::int64_t maxBacklog = 32 << 20;

  // With `network`, a last owner that lets go on the network thread hands the receiver to its retire thread:
  // the destructor joins the file thread, which may be in the middle of a write.
  static std::shared_ptr<FileReceiver> make(std::shared_ptr<SecureChannel> channel, std::filesystem::path directory,
                                            Executor executor, Limits limits = {}, NetworkThread* network = nullptr);
  // Stops the file thread (after the step it is running) and removes every partial file still open.
  ~FileReceiver();

  void setAutoAccept(bool on) { autoAccept_ = on; }
  bool autoAccept() const { return autoAccept_; }
  // Set before the first message is handled, or on the executor.
  void setOnProgress(ProgressHandler handler) { onProgress_ = std::move(handler); }

  // Consumes fileOffer, fileChunk, fileDone and the fileCancel of incoming transfers.
  bool handle(const Message& message);
  // Completes at once unless more than `maxBacklog` bytes wait for the disk; then once they no longer do.
  // The receive loop awaits it after each handled message.
  boost::asio::awaitable<void> writeRoom();
  // The local user cancels an incoming transfer: the peer hears "Alıcı iptal etti", the local list shows
  // "İptal edildi".
  void cancel(std::uint32_t id);
  // The connection ended: every incoming transfer fails with the connection's text and leaves no partial
  // file behind.
  void abandonAll();
  // Blocks the caller until the file thread has done every step asked of it so far (tests, tear-down).
  // Never call it on the executor's thread while it must run the file thread's answers.
  void waitUntilIdle();
  // The same without blocking: completes on the caller's executor once the file thread has done every step
  // asked so far. The sessions await it at the end, so that files whose last chunk arrived are saved.
  boost::asio::awaitable<void> settled();

 private:
  struct Disk;
  boost::asio::awaitable<void> backlogAtMost(std::int64_t bytes);
  struct Incoming {
    std::string name;
    std::uint64_t size = 0;
    std::uint64_t received = 0;
    bool accepted = false;  // the partial file exists and the peer was told
    std::optional<Bytes> early;  // a fileDone that came before the partial file existed
    std::uint64_t serial = 0;  // tells the file thread's answers for an earlier transfer of the same id apart
    std::optional<std::chrono::steady_clock::time_point> lastReport;  // none yet: the first chunk reports
  };

  FileReceiver(std::shared_ptr<SecureChannel> channel, std::filesystem::path directory, Executor executor,
               Limits limits);

  void offer(const Message::FileOffer& offer);
  void opened(std::uint32_t id, std::uint64_t serial, bool ok);
  void writeFailed(std::uint32_t id, std::uint64_t serial);
  void chunk(const Message::FileChunk& chunk);
  void done(const Message::FileDone& done);
  // Verifies and saves a transfer whose last chunk came, or ends it.
  void finish(std::uint32_t id, const Bytes& sha256);
  bool cancelled(std::uint32_t id, const std::string& reason);
  // Sends fileCancel(reason) to the peer and ends the transfer here with the same reason.
  void refuse(std::uint32_t id, const std::string& reason);
  // Gives a transfer's share of the limits back.
  void release(const Incoming& incoming);
  void report(std::uint32_t id, const Incoming& incoming, TransferProgress::State state);
  // Runs `job(disk)` on the file thread, after every step asked before.
  template <typename Job>
  void onDisk(Job job, std::size_t bytes = 0);
  // Runs `job(receiver)` on the executor if the receiver still exists.
  template <typename Job>
  static void answer(const std::weak_ptr<FileReceiver>& weak, const Executor& executor, Job job);

  const std::shared_ptr<SecureChannel> channel_;
  const Executor executor_;
  const Limits limits_;
  std::atomic<bool> autoAccept_{true};
  ProgressHandler onProgress_;
  std::map<std::uint32_t, Incoming> incoming_;
  std::uint64_t files_ = 0;  // this session's, saved or in progress
  std::uint64_t bytes_ = 0;
  std::uint64_t serials_ = 0;
  const std::shared_ptr<Disk> disk_;  // file thread only, but for its atomic backlog
  std::unique_ptr<SerialQueue> io_;  // the file thread; declared last, stopped first
};

}  // namespace pellora
