#pragma once

#include <sys/types.h>

#include <condition_variable>
#include <deque>
#include <filesystem>
#include <mutex>
#include <optional>
#include <string>
#include <thread>

namespace pellora {

// Writes files atomically (writeFileAtomically: temporary file, fsync, rename) on a thread of its own, so
// that a caller on the network thread hands a file over instead of waiting tens of milliseconds for the disk.
// Writes to one path coalesce: a write queued while an older one for the same path still waits replaces it,
// and writes of one path land in the order they were queued, so the newest content is what stays on disk.
// A write that fails is reported on stderr with its path; the file on disk then keeps its previous content.
//
// `shared()` is the process's writer: every SettingsFile goes through it, so that a second object on the same
// path (or a reload) finds what this process queued but has not written yet (`pending`). Its destructor, run
// at normal exit (return from main or exit()), writes whatever is still queued. Thread-safe.
class DeferredFileWriter {
 public:
  ~DeferredFileWriter();  // writes everything queued, then joins
  DeferredFileWriter(const DeferredFileWriter&) = delete;
  DeferredFileWriter& operator=(const DeferredFileWriter&) = delete;

  static DeferredFileWriter& shared();

  // Queues `content` for `path`, created with `mode`. Never waits for the disk.
  void write(const std::filesystem::path& path, std::string content, mode_t mode);

  // The content `path` will hold once this writer is done with it: the newest queued or being written;
  // nothing when no write of `path` is outstanding (the file itself is then current).
  std::optional<std::string> pending(const std::filesystem::path& path) const;

  // Blocks until no write of `path` is queued or under way. Not for the network thread.
  void flush(const std::filesystem::path& path);

 private:
  struct Job {
    std::filesystem::path path;
    std::string content;
    mode_t mode;
  };

  DeferredFileWriter();

  bool busyWith(const std::filesystem::path& path) const;  // with lock_ held
  void run();

  mutable std::mutex lock_;
  std::condition_variable wake_;  // a job was queued, or stopping_
  std::condition_variable done_;  // a write finished
  std::deque<Job> queued_;        // at most one per path, oldest first
  std::optional<Job> writing_;    // taken off the queue, on the disk now
  bool stopping_ = false;
  std::thread thread_;  // last: starts once the state above exists
};

}  // namespace pellora
