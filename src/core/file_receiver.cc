#include "core/file_receiver.h"

#include <fcntl.h>
#include <stdio.h>
#include <sys/statvfs.h>
#include <unistd.h>

#include <boost/asio/dispatch.hpp>
#include <boost/asio/post.hpp>
#include <cerrno>

#include "base/poll_until.h"
#include "base/unique_fd.h"
#include "core/file_names.h"
#include "core/transport_error.h"

namespace pellora {

namespace asio = boost::asio;
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

// The partial files and everything done to them. Lives on the receiver's file thread: only jobs there touch
// it, except `backlog`. Jobs hold it strongly, so it goes with the last of them or with the receiver, and
// whatever partial file is still open then is removed.
struct FileReceiver::Disk {
  struct File {
    UniqueFd fd;
    fs::path partPath;
    PelloraCrypto::Sha256 hasher;
    std::uint64_t written = 0;
    std::uint64_t flushedUpTo = 0;
    bool failed = false;  // a write failed: the rest is ignored and the transfer ends
  };

  explicit Disk(fs::path dir) : directory(std::move(dir)) {}
  ~Disk() { removeAll(); }

  // Creates the partial file, unless the volume would keep less than the limits ask for.
  bool open(std::uint32_t id, const std::string& name, std::uint64_t size, std::uint64_t outstanding,
            const Limits& limits) {
    std::error_code ec;
    fs::create_directories(directory, ec);
    if (!fs::is_directory(directory, ec)) return false;
    if (struct statvfs st {}; ::statvfs(directory.c_str(), &st) == 0) {
      const std::uint64_t total = static_cast<std::uint64_t>(st.f_blocks) * st.f_frsize;
      const std::uint64_t free = static_cast<std::uint64_t>(st.f_bavail) * st.f_frsize;
      const std::uint64_t keep = std::max(limits.minFreeBytes, total / 100 * limits.minFreePercent);
      if (free < keep || free - keep < size + outstanding) return false;
    }
    File file;
    file.partPath = directory / partialName(name);
    // Replaces a stale file of that name without following a link planted there.
    ::unlink(file.partPath.c_str());
    file.fd = UniqueFd(::open(file.partPath.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, 0666));
    if (!file.fd) return false;
    files.insert_or_assign(id, std::move(file));
    return true;
  }

  // False when this write failed (once; later writes of a failed file are dropped).
  bool write(std::uint32_t id, ByteView data) {
    auto it = files.find(id);
    if (it == files.end() || it->second.failed) return true;
    File& f = it->second;
    if (!writeAll(f.fd.get(), data)) {
      f.failed = true;
      return false;
    }
    f.hasher.update(data);
    f.written += data.size();
    if (f.written - f.flushedUpTo >= writebackStep) {
      // Starts writing back without waiting for it.
      ::sync_file_range(f.fd.get(), static_cast<off_t>(f.flushedUpTo), static_cast<off_t>(f.written - f.flushedUpTo),
                        SYNC_FILE_RANGE_WRITE);
      f.flushedUpTo = f.written;
    }
    return true;
  }

  // Checks the digest, flushes the file and moves it to the first free numbered name. The outcome to
  // report; on failure the partial file is gone.
  TransferProgress::State save(std::uint32_t id, const std::string& name, const Bytes& sha256) {
    auto node = files.extract(id);
    if (node.empty()) return TransferProgress::Failed{"Kaydedilemedi"};
    File& f = node.mapped();
    auto fail = [&](const char* text) -> TransferProgress::State {
      f.fd.reset();
      ::unlink(f.partPath.c_str());
      return TransferProgress::Failed{text};
    };
    if (f.failed) return fail("Yazılamadı");
    if (!PelloraCrypto::constantTimeEqual(f.hasher.finish(), sha256)) return fail("Doğrulama başarısız");
    // Flushed before the move, so that a crash never leaves a truncated file under the final name.
    const bool flushed = ::fsync(f.fd.get()) == 0;
    if (!f.fd.reset() || !flushed) return fail("Kaydedilemedi");
    for (std::uint64_t n = 1; n <= FileNames::maxNumbered; ++n) {
      fs::path candidate = directory / FileNames::numbered(name, n);
      // Claimed atomically: a name taken by anyone, even a moment ago, is never replaced.
      if (renameNoReplace(f.partPath, candidate)) return TransferProgress::Done{std::move(candidate)};
      if (errno != EEXIST) break;
    }
    return fail("Kaydedilemedi");
  }

  void remove(std::uint32_t id) {
    auto node = files.extract(id);
    if (node.empty()) return;
    node.mapped().fd.reset();
    ::unlink(node.mapped().partPath.c_str());
  }

  void removeAll() {
    while (!files.empty()) remove(files.begin()->first);
  }

  const fs::path directory;
  std::map<std::uint32_t, File> files;
  std::atomic<std::int64_t> backlog{0};  // bytes and steps waiting for the file thread
};

std::shared_ptr<FileReceiver> FileReceiver::make(std::shared_ptr<SecureChannel> channel, fs::path directory,
                                                 Executor executor, Limits limits, NetworkThread* network) {
  std::unique_ptr<FileReceiver> receiver(
      new FileReceiver(std::move(channel), std::move(directory), std::move(executor), limits));
  if (network) return network->retiring(std::move(receiver));
  return receiver;
}

FileReceiver::FileReceiver(std::shared_ptr<SecureChannel> channel, fs::path directory, Executor executor, Limits limits)
    : channel_(std::move(channel)),
      executor_(std::move(executor)),
      limits_(limits),
      disk_(std::make_shared<Disk>(std::move(directory))),
      io_(std::make_unique<SerialQueue>("pellora.files.in")) {}

// io_ goes first: the step running finishes, the rest are dropped, and the disk state removes what is
// still partial.
FileReceiver::~FileReceiver() = default;

template <typename Job>
void FileReceiver::onDisk(Job job, std::size_t bytes) {
  const auto cost = stepCost + static_cast<std::int64_t>(bytes);
  disk_->backlog += cost;
  io_->post([disk = disk_, job = std::move(job), cost]() mutable {
    job(*disk);
    disk->backlog -= cost;
  });
}

template <typename Job>
void FileReceiver::answer(const std::weak_ptr<FileReceiver>& weak, const Executor& executor, Job job) {
  asio::post(executor, [weak, job = std::move(job)]() mutable {
    if (auto self = weak.lock()) job(*self);
  });
}

void FileReceiver::report(std::uint32_t id, const Incoming& incoming, TransferProgress::State state) {
  if (onProgress_) {
    onProgress_(TransferProgress{id, TransferProgress::Direction::receiving, incoming.name, incoming.received,
                                 incoming.size, std::move(state)});
  }
}

void FileReceiver::release(const Incoming& incoming) {
  files_ -= 1;
  bytes_ -= incoming.size;
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
  // Past this session's number of files, receiving is closed until the next session.
  if (!autoAccept_ || incoming_.contains(offer.id) || incoming_.size() >= maxIncoming || files_ >= limits_.maxFiles) {
    return reject("Dosya alımı kapalı");
  }
  if (offer.size > limits_.maxBytes - bytes_) return reject("Dosya çok büyük");

  std::uint64_t outstanding = 0;
  for (const auto& [id, in] : incoming_) outstanding += in.size - in.received;
  Incoming incoming;
  incoming.name = *name;
  incoming.size = offer.size;
  incoming.serial = ++serials_;
  files_ += 1;
  bytes_ += offer.size;
  incoming_.emplace(offer.id, incoming);
  onDisk([id = offer.id, name = *name, size = offer.size, outstanding, limits = limits_, serial = incoming.serial,
          weak = weak_from_this(), executor = executor_](Disk& disk) {
    const bool ok = disk.open(id, name, size, outstanding, limits);
    answer(weak, executor, [id, serial, ok](FileReceiver& self) { self.opened(id, serial, ok); });
  });
}

void FileReceiver::opened(std::uint32_t id, std::uint64_t serial, bool ok) {
  auto it = incoming_.find(id);
  if (it == incoming_.end() || it->second.serial != serial) return;  // cancelled meanwhile: the disk cleans up
  if (!ok) {
    // No room on the volume, or the folder or file cannot be made.
    release(it->second);
    incoming_.erase(it);
    channel_->send(Message::FileReject{id, "Kaydedilemiyor"});
    return;
  }
  it->second.accepted = true;
  report(id, it->second, TransferProgress::Running{});
  channel_->send(Message::FileAccept{id});
  if (auto early = std::move(it->second.early)) finish(id, *early);
}

// Chunks and the fileDone of an offer whose partial file is still being made (from a peer that does not wait
// for the answer) queue behind its making; if that fails they find no file and the offer is refused.
void FileReceiver::chunk(const Message::FileChunk& chunk) {
  auto it = incoming_.find(chunk.id);
  if (it == incoming_.end()) return;
  Incoming& in = it->second;
  if (chunk.offset != in.received || chunk.data.size() > in.size - in.received) {
    return refuse(chunk.id, "Sıra dışı veri");
  }
  in.received += chunk.data.size();
  onDisk(
      [id = chunk.id, data = chunk.data, serial = in.serial, weak = weak_from_this(), executor = executor_](Disk& disk) {
        if (!disk.write(id, data)) answer(weak, executor, [id, serial](FileReceiver& self) { self.writeFailed(id, serial); });
      },
      chunk.data.size());
  if (const auto now = Clock::now(); in.accepted && (!in.lastReport || now - *in.lastReport > reportInterval)) {
    in.lastReport = now;
    report(chunk.id, in, TransferProgress::Running{});
  }
}

void FileReceiver::writeFailed(std::uint32_t id, std::uint64_t serial) {
  auto it = incoming_.find(id);
  if (it != incoming_.end() && it->second.serial == serial) refuse(id, "Yazılamadı");
}

void FileReceiver::done(const Message::FileDone& done) {
  auto it = incoming_.find(done.id);
  if (it == incoming_.end() || it->second.early) return;
  if (!it->second.accepted) {
    it->second.early = done.sha256;
    return;
  }
  finish(done.id, done.sha256);
}

void FileReceiver::finish(std::uint32_t id, const Bytes& sha256) {
  auto it = incoming_.find(id);
  Incoming in = std::move(it->second);
  incoming_.erase(it);
  if (in.received != in.size) {
    release(in);
    onDisk([id](Disk& disk) { disk.remove(id); });
    report(id, in, TransferProgress::Failed{"Doğrulama başarısız"});
    return;
  }
  onDisk([id, in, sha256, weak = weak_from_this(), executor = executor_](Disk& disk) {
    auto state = disk.save(id, in.name, sha256);
    answer(weak, executor, [id, in, state = std::move(state)](FileReceiver& self) {
      if (std::holds_alternative<TransferProgress::Failed>(state)) self.release(in);
      self.report(id, in, state);
    });
  });
}

bool FileReceiver::cancelled(std::uint32_t id, const std::string& reason) {
  auto it = incoming_.find(id);
  if (it == incoming_.end()) return false;
  Incoming in = std::move(it->second);
  incoming_.erase(it);
  release(in);
  onDisk([id](Disk& disk) { disk.remove(id); });
  // An offer still being opened was never accepted, so it has nothing to report.
  if (in.accepted) report(id, in, TransferProgress::Failed{reason});
  return true;
}

void FileReceiver::refuse(std::uint32_t id, const std::string& reason) {
  channel_->send(Message::FileCancel{id, reason});
  cancelled(id, reason);
}

void FileReceiver::cancel(std::uint32_t id) {
  asio::dispatch(executor_, [weak = weak_from_this(), id] {
    auto self = weak.lock();
    if (!self) return;
    self->channel_->send(Message::FileCancel{id, "Alıcı iptal etti"});
    self->cancelled(id, "İptal edildi");
  });
}

void FileReceiver::abandonAll() {
  if (incoming_.empty()) return;
  auto incoming = std::move(incoming_);
  incoming_.clear();
  onDisk([](Disk& disk) { disk.removeAll(); });
  const std::string text = TransportError::closed().description();
  for (auto& [id, in] : incoming) {
    release(in);
    if (in.accepted) report(id, in, TransferProgress::Failed{text});
  }
}

// Both waits poll (`pollUntil`): a session torn down while waiting must not be resumed by the file thread.
asio::awaitable<void> FileReceiver::backlogAtMost(std::int64_t bytes) {
  return pollUntil([disk = disk_, bytes] { return disk->backlog.load() <= bytes; }, std::chrono::milliseconds(5));
}

asio::awaitable<void> FileReceiver::writeRoom() { return backlogAtMost(maxBacklog); }

asio::awaitable<void> FileReceiver::settled() { return backlogAtMost(0); }

void FileReceiver::waitUntilIdle() { io_->waitUntilIdle(); }

}  // namespace pellora
