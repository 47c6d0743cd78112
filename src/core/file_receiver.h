#pragma once

#include <boost/asio/any_io_executor.hpp>
#include <atomic>
#include <chrono>
#include <cstdint>
#include <filesystem>
#include <functional>
#include <map>
#include <memory>
#include <optional>
#include <string>

#include "base/unique_fd.h"
#include "core/crypto.h"
#include "core/message.h"
#include "core/secure_channel.h"
#include "core/transfer_progress.h"

namespace pellora {

// Accepts the peer's file offers, writes each file to a hidden partial file beside its destination, checks
// size and SHA-256 and then claims a final name that no existing file has, atomically. Owned by a session.
//
// Executor: the one the session's receive loop runs on, given at construction. `handle` and `abandonAll`
// must be called there (the receive loop does); `cancel` may be called from any thread and hops there
// itself, so every step on the incoming transfers runs one at a time without a lock. Progress is reported
// on that executor. `setAutoAccept` may be called from any thread.
class FileReceiver : public std::enable_shared_from_this<FileReceiver> {
 public:
  using Executor = boost::asio::any_io_executor;
  using ProgressHandler = std::function<void(const TransferProgress&)>;

  static constexpr std::chrono::milliseconds reportInterval{100};
  // Written data is handed to the disk in steps of this size, so that the flush before the final move has
  // little left to do and never stalls the receive loop for long.
  static constexpr std::uint64_t writebackStep = 8 << 20;
  // A peer sends one file at a time; more open transfers than this are refused rather than letting a
  // peer use up the process's file descriptors.
  static constexpr std::size_t maxIncoming = 8;

  static std::shared_ptr<FileReceiver> make(std::shared_ptr<SecureChannel> channel, std::filesystem::path directory,
                                            Executor executor);
  ~FileReceiver();

  void setAutoAccept(bool on) { autoAccept_ = on; }
  bool autoAccept() const { return autoAccept_; }
  // Set before the first message is handled, or on the executor.
  void setOnProgress(ProgressHandler handler) { onProgress_ = std::move(handler); }

  // Consumes fileOffer, fileChunk, fileDone and the fileCancel of incoming transfers.
  bool handle(const Message& message);
  // The local user cancels an incoming transfer: the peer hears "Alıcı iptal etti", the local list shows
  // "İptal edildi".
  void cancel(std::uint32_t id);
  // The connection ended: every incoming transfer fails with the connection's text and leaves no partial
  // file behind.
  void abandonAll();

 private:
  struct Incoming {
    std::string name;
    std::uint64_t size = 0;
    std::uint64_t received = 0;
    std::uint64_t flushedUpTo = 0;
    UniqueFd fd;
    std::filesystem::path partPath;
    PelloraCrypto::Sha256 hasher;
    std::optional<std::chrono::steady_clock::time_point> lastReport;  // none yet: the first chunk reports
  };

  FileReceiver(std::shared_ptr<SecureChannel> channel, std::filesystem::path directory, Executor executor);

  void offer(const Message::FileOffer& offer);
  void chunk(const Message::FileChunk& chunk);
  void done(const Message::FileDone& done);
  bool cancelled(std::uint32_t id, const std::string& reason);
  // Sends fileCancel(reason) to the peer and ends the transfer here with the same reason.
  void refuse(std::uint32_t id, const std::string& reason);
  // Flushes the partial file and moves it to a free name; the saved path, or nullopt.
  std::optional<std::filesystem::path> save(Incoming& incoming);
  void report(std::uint32_t id, const Incoming& incoming, TransferProgress::State state);

  const std::shared_ptr<SecureChannel> channel_;
  const std::filesystem::path directory_;
  const Executor executor_;
  std::atomic<bool> autoAccept_{true};
  ProgressHandler onProgress_;
  std::map<std::uint32_t, Incoming> incoming_;
};

}  // namespace pellora
