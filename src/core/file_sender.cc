#include "core/file_sender.h"

#include <fcntl.h>
#include <unistd.h>

#include <boost/asio/co_spawn.hpp>
#include <boost/asio/detached.hpp>
#include <boost/asio/post.hpp>
#include <boost/asio/steady_timer.hpp>
#include <boost/asio/use_awaitable.hpp>
#include <cerrno>
#include <system_error>

#include "base/unique_fd.h"
#include "core/crypto.h"
#include "core/file_names.h"
#include "core/transfer_error.h"
#include "core/transport_error.h"

namespace pellora {

namespace asio = boost::asio;
using Clock = std::chrono::steady_clock;

namespace {

// The platform's description of the last system error, as the user sees it.
std::runtime_error systemError() { return std::runtime_error(std::generic_category().message(errno)); }

}  // namespace

std::shared_ptr<FileSender> FileSender::make(std::shared_ptr<SecureChannel> channel, bool isHost, Executor executor,
                                             Duration offerTimeout) {
  return std::shared_ptr<FileSender>(new FileSender(std::move(channel), isHost, std::move(executor), offerTimeout));
}

FileSender::FileSender(std::shared_ptr<SecureChannel> channel, bool isHost, Executor executor, Duration offerTimeout)
    : channel_(std::move(channel)),
      executor_(std::move(executor)),
      offerTimeout_(offerTimeout),
      parity_(isHost ? 1 : 0),
      nextID_(isHost ? 1 : 2) {}

void FileSender::setOnProgress(ProgressHandler handler) {
  std::lock_guard lock(lock_);
  onProgress_ = std::move(handler);
}

void FileSender::report(const TransferProgress& progress) {
  ProgressHandler handler;
  {
    std::lock_guard lock(lock_);
    handler = onProgress_;
  }
  if (handler) handler(progress);
}

std::uint32_t FileSender::enqueue(const std::filesystem::path& file) {
  std::uint32_t id;
  {
    std::lock_guard lock(lock_);
    id = nextID_;
    nextID_ += 2;
    open_.insert(id);
  }
  // The size is a question to the file system, which may keep the caller (the network thread) waiting: it is
  // asked on the transfers' executor, which queues the file only once it is reported as waiting, so that no
  // step of its transfer is reported before that.
  asio::post(executor_, [self = shared_from_this(), id, file] {
    std::error_code ec;
    const std::uintmax_t size = std::filesystem::file_size(file, ec);
    self->report({id, TransferProgress::Direction::sending, file.filename().string(), 0, ec ? 0 : size,
                  TransferProgress::Waiting{}});
    bool wasRunning;
    {
      std::lock_guard lock(self->lock_);
      self->queue_.push_back({id, file});
      wasRunning = std::exchange(self->running_, true);
    }
    if (!wasRunning) asio::co_spawn(self->executor_, drain(self), asio::detached);
  });
  return id;
}

// The queued files keep the sender alive until they are done; `self` is held from the moment the task is
// created, not from its first step.
asio::awaitable<void> FileSender::drain(std::shared_ptr<FileSender> self) {
  for (;;) {
    Entry entry;
    {
      std::lock_guard lock(self->lock_);
      if (self->queue_.empty()) {
        self->running_ = false;
        co_return;
      }
      entry = std::move(self->queue_.front());
      self->queue_.pop_front();
    }
    co_await self->send(entry.id, std::move(entry.file));
  }
}

std::exception_ptr FileSender::stopReason(std::uint32_t id) {
  {
    std::lock_guard lock(lock_);
    if (auto it = cancelled_.find(id); it != cancelled_.end()) {
      return std::make_exception_ptr(TransferError::cancelled(it->second));
    }
    if (abandoned_) return std::make_exception_ptr(TransportError::closed());
  }
  // Sends on a closed channel vanish: without this check a dropped connection would look like success.
  if (channel_->isClosed()) return std::make_exception_ptr(TransportError::closed());
  return nullptr;
}

std::shared_ptr<FileSender::ReplyChannel> FileSender::takeReply(std::uint32_t id) {
  std::lock_guard lock(lock_);
  auto it = replies_.find(id);
  if (it == replies_.end()) return nullptr;
  auto reply = std::move(it->second);
  replies_.erase(it);
  return reply;
}

asio::awaitable<void> FileSender::awaitAnswer(std::uint32_t id, const std::string& name, std::uint64_t size) {
  auto reply = std::make_shared<ReplyChannel>(executor_, 1);
  {
    std::lock_guard lock(lock_);
    if (auto it = cancelled_.find(id); it != cancelled_.end()) throw TransferError::cancelled(it->second);
    if (abandoned_) throw TransportError::closed();
    replies_[id] = reply;
  }
  channel_->send(Message::FileOffer{id, name, size});

  // Whoever removes the waiter from `replies_` answers it, so it is answered exactly once.
  asio::steady_timer timer(executor_, offerTimeout_);
  auto expire = [weak = weak_from_this(), id](const boost::system::error_code& ec) {
    if (ec) return;
    if (auto self = weak.lock()) {
      if (auto waiter = self->takeReply(id)) waiter->try_send(boost::system::error_code{}, std::make_exception_ptr(TransferError::timeout()));
    }
  };
  timer.async_wait(std::move(expire));
  const std::exception_ptr answer = co_await reply->async_receive(asio::use_awaitable);
  timer.cancel();
  if (answer) std::rethrow_exception(answer);
}

asio::awaitable<void> FileSender::send(std::uint32_t id, std::filesystem::path file) {
  TransferProgress progress{id, TransferProgress::Direction::sending, file.filename().string(), 0, 0,
                            TransferProgress::Waiting{}};
  try {
    UniqueFd fd(::open(file.c_str(), O_RDONLY | O_CLOEXEC));
    if (!fd) throw systemError();
    const off_t end = ::lseek(fd.get(), 0, SEEK_END);
    if (end < 0 || ::lseek(fd.get(), 0, SEEK_SET) < 0) throw systemError();
    progress.total = static_cast<std::uint64_t>(end);
    if (progress.total > FileNames::maxSize) throw TransferError::tooLarge();
    report(progress);

    co_await awaitAnswer(id, progress.name, progress.total);

    progress.state = TransferProgress::Running{};
    report(progress);
    PelloraCrypto::Sha256 hasher;
    std::uint64_t offset = 0;
    std::optional<Clock::time_point> lastReport;  // none yet: the first chunk reports
    asio::steady_timer pause(executor_);
    Bytes buffer(chunkSize);
    for (;;) {
      if (auto stop = stopReason(id)) std::rethrow_exception(stop);
      if (channel_->queuedBytes() > queueLimit) {
        pause.expires_after(pollInterval);
        co_await pause.async_wait(asio::use_awaitable);
        continue;
      }
      ssize_t n;
      do n = ::read(fd.get(), buffer.data(), buffer.size());
      while (n < 0 && errno == EINTR);
      if (n < 0) throw systemError();
      if (n == 0) break;
      const ByteView data(buffer.data(), static_cast<std::size_t>(n));
      hasher.update(data);
      channel_->send(Message::FileChunk{id, offset, Bytes(data.begin(), data.end())});
      offset += static_cast<std::uint64_t>(n);
      progress.done = offset;
      if (const auto now = Clock::now(); !lastReport || now - *lastReport > reportInterval) {
        lastReport = now;
        report(progress);
      }
    }
    // The last chunks may have been dropped by a channel that closed meanwhile.
    if (auto stop = stopReason(id)) std::rethrow_exception(stop);
    channel_->send(Message::FileDone{id, hasher.finish()});
    progress.done = offset;
    progress.state = TransferProgress::Done{};
  } catch (const std::exception& e) {
    progress.state = TransferProgress::Failed{e.what()};
  }
  {
    std::lock_guard lock(lock_);
    open_.erase(id);
    cancelled_.erase(id);
  }
  report(progress);
}

bool FileSender::handle(const Message& message) {
  if (const auto* accept = message.as<Message::FileAccept>()) {
    auto reply = takeReply(accept->id);
    if (reply) reply->try_send(boost::system::error_code{}, nullptr);
    return reply != nullptr;
  }
  if (const auto* reject = message.as<Message::FileReject>()) {
    auto reply = takeReply(reject->id);
    if (reply) reply->try_send(boost::system::error_code{}, std::make_exception_ptr(TransferError::rejected(reject->reason)));
    return reply != nullptr;
  }
  if (const auto* cancel = message.as<Message::FileCancel>()) {
    if ((cancel->id & 1) != parity_) return false;
    std::shared_ptr<ReplyChannel> reply;
    {
      std::lock_guard lock(lock_);
      // Ours by its parity, so consumed; but only a transfer still open is marked, else a peer naming
      // ids at will would grow the table.
      if (!open_.contains(cancel->id)) return true;
      cancelled_[cancel->id] = cancel->reason;
      if (auto it = replies_.find(cancel->id); it != replies_.end()) {
        reply = std::move(it->second);
        replies_.erase(it);
      }
    }
    if (reply) reply->try_send(boost::system::error_code{}, std::make_exception_ptr(TransferError::cancelled(cancel->reason)));
    return true;
  }
  return false;
}

void FileSender::cancel(std::uint32_t id, const std::string& reason) {
  std::shared_ptr<ReplyChannel> reply;
  {
    std::lock_guard lock(lock_);
    if (!open_.contains(id)) return;  // finished already, or never ours
    cancelled_[id] = reason;
    if (auto it = replies_.find(id); it != replies_.end()) {
      reply = std::move(it->second);
      replies_.erase(it);
    }
  }
  channel_->send(Message::FileCancel{id, reason});
  if (reply) reply->try_send(boost::system::error_code{}, std::make_exception_ptr(TransferError::cancelled(reason)));
}

void FileSender::abandonAll() {
  std::map<std::uint32_t, std::shared_ptr<ReplyChannel>> replies;
  {
    std::lock_guard lock(lock_);
    abandoned_ = true;
    replies.swap(replies_);
  }
  for (auto& [id, reply] : replies) reply->try_send(boost::system::error_code{}, std::make_exception_ptr(TransportError::closed()));
}

}  // namespace pellora
