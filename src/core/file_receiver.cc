#include "core/file_receiver.h"

#include <fcntl.h>
#include <stdio.h>
#include <unistd.h>

#include <boost/asio/dispatch.hpp>
#include <cerrno>

#include "core/file_names.h"
#include "core/transport_error.h"

namespace pellora {

namespace fs = std::filesystem;
using Clock = std::chrono::steady_clock;

namespace {

// "." + name + "." + 8 random hex digits + ".part", with the name cut (at a character boundary) so that the
// whole stays within the 255 bytes a Linux file name may have.
std::string partialName(const std::string& name) {
  static constexpr char hex[] = "0123456789ABCDEF";
  std::string tag;
  for (const std::uint8_t b : PelloraCrypto::randomBytes(4)) {
    tag += hex[b >> 4];
    tag += hex[b & 15];
  }
  constexpr std::size_t room = 255 - 1 - 1 - 8 - 5;
  std::size_t cut = std::min(name.size(), room);
  while (cut > 0 && cut < name.size() && (static_cast<unsigned char>(name[cut]) & 0xc0) == 0x80) --cut;
  return "." + name.substr(0, cut) + "." + tag + ".part";
}

bool writeAll(int fd, ByteView data) {
  while (!data.empty()) {
    const ssize_t n = ::write(fd, data.data(), data.size());
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) return false;
    data = data.subspan(static_cast<std::size_t>(n));
  }
  return true;
}

// Moves `from` to `to` unless something already has that name. False with errno EEXIST when it has.
bool renameNoReplace(const fs::path& from, const fs::path& to) {
  if (::renameat2(AT_FDCWD, from.c_str(), AT_FDCWD, to.c_str(), RENAME_NOREPLACE) == 0) return true;
  if (errno != EINVAL && errno != ENOSYS) return false;
  // File systems without RENAME_NOREPLACE: a hard link claims the name just as atomically.
  if (::link(from.c_str(), to.c_str()) != 0) return false;
  ::unlink(from.c_str());
  return true;
}

}  // namespace

std::shared_ptr<FileReceiver> FileReceiver::make(std::shared_ptr<SecureChannel> channel, fs::path directory,
                                                 Executor executor) {
  return std::shared_ptr<FileReceiver>(new FileReceiver(std::move(channel), std::move(directory), std::move(executor)));
}

FileReceiver::FileReceiver(std::shared_ptr<SecureChannel> channel, fs::path directory, Executor executor)
    : channel_(std::move(channel)), directory_(std::move(directory)), executor_(std::move(executor)) {}

FileReceiver::~FileReceiver() {
  for (auto& [id, incoming] : incoming_) {
    incoming.fd.reset();
    ::unlink(incoming.partPath.c_str());
  }
}

void FileReceiver::report(std::uint32_t id, const Incoming& incoming, TransferProgress::State state) {
  if (onProgress_) {
    onProgress_(TransferProgress{id, TransferProgress::Direction::receiving, incoming.name, incoming.received,
                                 incoming.size, std::move(state)});
  }
}

bool FileReceiver::handle(const Message& message) {
  if (const auto* m = message.as<Message::FileOffer>()) {
    offer(*m);
  } else if (const auto* c = message.as<Message::FileChunk>()) {
    chunk(*c);
  } else if (const auto* d = message.as<Message::FileDone>()) {
    done(*d);
  } else if (const auto* x = message.as<Message::FileCancel>()) {
    return cancelled(x->id, x->reason);
  } else {
    return false;
  }
  return true;
}

void FileReceiver::offer(const Message::FileOffer& offer) {
  auto reject = [&](const char* reason) { channel_->send(Message::FileReject{offer.id, reason}); };
  const auto name = FileNames::sanitize(offer.name);
  if (!name) return reject("Geçersiz dosya adı");
  if (offer.size > FileNames::maxSize) return reject("Dosya çok büyük");
  if (!autoAccept_ || incoming_.contains(offer.id) || incoming_.size() >= maxIncoming) {
    return reject("Dosya alımı kapalı");
  }
  std::error_code ec;
  fs::create_directories(directory_, ec);
  if (!fs::is_directory(directory_, ec)) return reject("Kaydedilemiyor");

  Incoming incoming;
  incoming.name = *name;
  incoming.size = offer.size;
  incoming.partPath = directory_ / partialName(*name);
  // Replaces a stale file of that name without following a link planted there.
  ::unlink(incoming.partPath.c_str());
  incoming.fd = UniqueFd(::open(incoming.partPath.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, 0666));
  if (!incoming.fd) return reject("Kaydedilemiyor");

  report(offer.id, incoming, TransferProgress::Running{});
  incoming_.emplace(offer.id, std::move(incoming));
  channel_->send(Message::FileAccept{offer.id});
}

void FileReceiver::chunk(const Message::FileChunk& chunk) {
  auto it = incoming_.find(chunk.id);
  if (it == incoming_.end()) return;
  Incoming& in = it->second;
  if (chunk.offset != in.received || chunk.data.size() > in.size - in.received) {
    return refuse(chunk.id, "Sıra dışı veri");
  }
  if (!writeAll(in.fd.get(), chunk.data)) return refuse(chunk.id, "Yazılamadı");
  in.hasher.update(chunk.data);
  in.received += chunk.data.size();
  if (in.received - in.flushedUpTo >= writebackStep) {
    // Starts writing back without waiting for it.
    ::sync_file_range(in.fd.get(), static_cast<off_t>(in.flushedUpTo), static_cast<off_t>(in.received - in.flushedUpTo),
                      SYNC_FILE_RANGE_WRITE);
    in.flushedUpTo = in.received;
  }
  if (const auto now = Clock::now(); !in.lastReport || now - *in.lastReport > reportInterval) {
    in.lastReport = now;
    report(chunk.id, in, TransferProgress::Running{});
  }
}

std::optional<fs::path> FileReceiver::save(Incoming& in) {
  // Flushed before the move, so that a crash never leaves a truncated file under the final name.
  const bool flushed = ::fsync(in.fd.get()) == 0;
  if (!in.fd.reset() || !flushed) return std::nullopt;
  std::error_code ec;
  for (std::uint64_t n = 1;; ++n) {
    const fs::path candidate = directory_ / FileNames::numbered(in.name, n);
    if (fs::exists(candidate, ec)) continue;
    // The name may be taken between the check and the move: claim it atomically, else try the next one.
    if (renameNoReplace(in.partPath, candidate)) return candidate;
    if (errno != EEXIST) return std::nullopt;
  }
}

void FileReceiver::done(const Message::FileDone& done) {
  auto node = incoming_.extract(done.id);
  if (node.empty()) return;
  Incoming& in = node.mapped();
  const Bytes digest = in.hasher.finish();
  if (in.received == in.size && PelloraCrypto::constantTimeEqual(digest, done.sha256)) {
    if (auto saved = save(in)) {
      report(done.id, in, TransferProgress::Done{*saved});
    } else {
      report(done.id, in, TransferProgress::Failed{"Kaydedilemedi"});  // the partial file stays
    }
    return;
  }
  in.fd.reset();
  ::unlink(in.partPath.c_str());
  report(done.id, in, TransferProgress::Failed{"Doğrulama başarısız"});
}

bool FileReceiver::cancelled(std::uint32_t id, const std::string& reason) {
  auto node = incoming_.extract(id);
  if (node.empty()) return false;
  Incoming& in = node.mapped();
  in.fd.reset();
  ::unlink(in.partPath.c_str());
  report(id, in, TransferProgress::Failed{reason});
  return true;
}

void FileReceiver::refuse(std::uint32_t id, const std::string& reason) {
  channel_->send(Message::FileCancel{id, reason});
  cancelled(id, reason);
}

void FileReceiver::cancel(std::uint32_t id) {
  boost::asio::dispatch(executor_, [weak = weak_from_this(), id] {
    auto self = weak.lock();
    if (!self) return;
    self->channel_->send(Message::FileCancel{id, "Alıcı iptal etti"});
    self->cancelled(id, "İptal edildi");
  });
}

void FileReceiver::abandonAll() {
  auto incoming = std::move(incoming_);
  incoming_.clear();
  const std::string text = TransportError::closed().description();
  for (auto& [id, in] : incoming) {
    in.fd.reset();
    ::unlink(in.partPath.c_str());
    report(id, in, TransferProgress::Failed{text});
  }
}

}  // namespace pellora
