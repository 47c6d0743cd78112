#include "support/deferred_file_writer.h"

#include <algorithm>
#include <exception>
#include <iostream>

#include "base/thread_name.h"
#include "support/atomic_file.h"

namespace pellora {

DeferredFileWriter::DeferredFileWriter() : thread_([this] { run(); }) {}

DeferredFileWriter::~DeferredFileWriter() {
  {
    std::lock_guard guard(lock_);
    stopping_ = true;
  }
  wake_.notify_one();
  thread_.join();
}

DeferredFileWriter& DeferredFileWriter::shared() {
  // Constructed on first use, which is inside the first SettingsFile's constructor: it is therefore destroyed
  // after every SettingsFile of static storage, and its destructor writes what the exiting process left queued.
  static DeferredFileWriter writer;
  return writer;
}

void DeferredFileWriter::write(const std::filesystem::path& path, std::string content, mode_t mode) {
  {
    std::lock_guard guard(lock_);
    auto queued = std::find_if(queued_.begin(), queued_.end(), [&](const Job& job) { return job.path == path; });
    if (queued != queued_.end()) {
      // Not begun yet: the newer content takes its place.
      queued->content = std::move(content);
      queued->mode = mode;
      return;
    }
    queued_.push_back(Job{path, std::move(content), mode});
  }
  wake_.notify_one();
}

std::optional<std::string> DeferredFileWriter::pending(const std::filesystem::path& path) const {
  std::lock_guard guard(lock_);
  for (const Job& job : queued_)
    if (job.path == path) return job.content;
  if (writing_ && writing_->path == path) return writing_->content;
  return std::nullopt;
}

void DeferredFileWriter::flush(const std::filesystem::path& path) {
  std::unique_lock guard(lock_);
  done_.wait(guard, [&] { return !busyWith(path); });
}

bool DeferredFileWriter::busyWith(const std::filesystem::path& path) const {
  if (writing_ && writing_->path == path) return true;
  return std::any_of(queued_.begin(), queued_.end(), [&](const Job& job) { return job.path == path; });
}

void DeferredFileWriter::run() {
  setCurrentThreadName("pellora.save");
  std::unique_lock guard(lock_);
  for (;;) {
    wake_.wait(guard, [this] { return stopping_ || !queued_.empty(); });
    if (queued_.empty()) return;  // stopping, and everything is written
    writing_ = std::move(queued_.front());
    queued_.pop_front();
    const Job& job = *writing_;  // stays put: only this thread resets writing_
    guard.unlock();
    bool ok = false;
    try {
      ok = writeFileAtomically(job.path, job.content, job.mode);
    } catch (const std::exception&) {
      // Out of memory or a path the library refuses: reported like any failed write.
    }
    if (!ok) std::cerr << "pellora: cannot save " << job.path.string() << "; it keeps its previous content\n";
    guard.lock();
    writing_.reset();
    done_.notify_all();
  }
}

}  // namespace pellora
