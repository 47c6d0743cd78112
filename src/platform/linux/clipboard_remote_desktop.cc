#include "platform/linux/clipboard_remote_desktop.h"

#include <fcntl.h>
#include <poll.h>
#include <unistd.h>

#include <algorithm>
#include <array>
#include <cerrno>
#include <condition_variable>
#include <mutex>
#include <vector>

#include "core/bytes.h"
#include "platform/linux/remote_desktop_session.h"
#include "support/clipboard_sync.h"

namespace pellora {

namespace {

using Clock = std::chrono::steady_clock;

// The text types we offer, and read in this order of preference. All carry UTF-8.
const std::vector<std::string> textTypes = {"text/plain;charset=utf-8", "UTF8_STRING", "text/plain"};

bool isTextType(const std::string& mimeType) {
  return std::find(textTypes.begin(), textTypes.end(), mimeType) != textTypes.end();
}

int millisecondsUntil(Clock::time_point deadline) {
  const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(deadline - Clock::now()).count();
  return static_cast<int>(std::clamp<std::int64_t>(left, 0, 60'000));
}

// Waits until `fd` is ready for `events`; false when the deadline passed or poll failed.
bool await(int fd, short events, Clock::time_point deadline) {
  for (;;) {
    pollfd p{fd, events, 0};
    const int ready = ::poll(&p, 1, millisecondsUntil(deadline));
    if (ready > 0) return true;
    if (ready == 0 || errno != EINTR) return false;
  }
}

// Everything the pipe delivers up to its end; nothing when that is more than `limit` bytes, when reading
// fails or when the end has not come by `deadline`.
std::optional<std::string> readPipe(int fd, std::size_t limit, Clock::time_point deadline) {
  std::string data;
  std::array<char, 65536> buffer;
  for (;;) {
    if (!await(fd, POLLIN, deadline)) return std::nullopt;
    const ssize_t n = ::read(fd, buffer.data(), buffer.size());
    if (n == 0) return data;
    if (n < 0) {
      if (errno == EINTR || errno == EAGAIN) continue;
      return std::nullopt;
    }
    if (data.size() + static_cast<std::size_t>(n) > limit) return std::nullopt;
    data.append(buffer.data(), static_cast<std::size_t>(n));
  }
}

// Writes all of `data` unless the reader goes away or stops taking it until `deadline`. A reader that went
// away shows as EPIPE, not as SIGPIPE: GIO ignores that signal process-wide once it has made a socket,
// as the session's bus connection did.
bool writePipe(int fd, const std::string& data, Clock::time_point deadline) {
  ::fcntl(fd, F_SETFL, ::fcntl(fd, F_GETFL) | O_NONBLOCK);
  std::size_t done = 0;
  while (done < data.size()) {
    const ssize_t n = ::write(fd, data.data() + done, data.size() - done);
    if (n > 0) {
      done += static_cast<std::size_t>(n);
    } else if (n < 0 && errno != EINTR && (errno != EAGAIN || !await(fd, POLLOUT, deadline))) {
      return false;
    }
  }
  return true;
}

}  // namespace

// What the sessions' events and the public calls share, under `mutex`. The sessions' callbacks hold it
// weakly, so that a session outliving the clipboard finds nothing to report to.
struct ClipboardRemoteDesktop::State {
  std::mutex mutex;
  std::condition_variable ownerReported;
  const RemoteDesktopSession* session = nullptr;  // the last published one: only its reports count
  bool shared = false;                            // whether it shares the clipboard
  std::uint64_t changes = 0;
  std::uint64_t ownReports = 0;  // reports that we took the clipboard, which end writeText's wait
  std::vector<std::string> offered;  // the owner's types, as last reported
  bool ours = false;
  std::shared_ptr<const std::string> text;  // what we offer, since the last writeText
  std::function<void(bool)> onSession;

  static void published(const std::weak_ptr<State>& weak, const std::shared_ptr<RemoteDesktopSession>& session);
  void ownerChanged(const RemoteDesktopSession* from, std::vector<std::string> types, bool own);
  void transfer(RemoteDesktopSession& from, const std::string& mimeType, std::uint32_t serial);
};

void ClipboardRemoteDesktop::State::published(const std::weak_ptr<State>& weak,
                                              const std::shared_ptr<RemoteDesktopSession>& session) {
  auto state = weak.lock();
  if (!state) return;
  std::function<void(bool)> callback;
  {
    std::lock_guard lock(state->mutex);
    state->session = session.get();
    state->shared = session->clipboardAvailable();
    state->offered.clear();
    state->ours = false;
    callback = state->onSession;
  }
  const RemoteDesktopSession* raw = session.get();
  std::weak_ptr<RemoteDesktopSession> weakSession = session;
  session->setClipboardEvents(
      {[weak, raw](const std::vector<std::string>& types, bool own) {
         if (auto s = weak.lock()) s->ownerChanged(raw, types, own);
       },
       [weak, weakSession](const std::string& mimeType, std::uint32_t serial) {
         auto s = weak.lock();
         auto from = weakSession.lock();
         if (s && from) s->transfer(*from, mimeType, serial);
         else if (from) from->selectionWriteDone(serial, false);
       }});
  if (callback) callback(state->shared);
}

void ClipboardRemoteDesktop::State::ownerChanged(const RemoteDesktopSession* from, std::vector<std::string> types,
                                                 bool own) {
  {
    std::lock_guard lock(mutex);
    if (from != session) return;
    ++changes;
    offered = std::move(types);
    ours = own;
    if (own) ++ownReports;
  }
  if (own) ownerReported.notify_all();
}

void ClipboardRemoteDesktop::State::transfer(RemoteDesktopSession& from, const std::string& mimeType,
                                             std::uint32_t serial) {
  std::shared_ptr<const std::string> data;
  if (isTextType(mimeType)) {
    std::lock_guard lock(mutex);
    data = text;
  }
  UniqueFd pipe;
  if (data) pipe = from.selectionWrite(serial);
  bool written = pipe && writePipe(pipe.get(), *data, Clock::now() + transferTimeout);
  written = pipe.reset() && written;  // the reader sees the end before we say we are done
  from.selectionWriteDone(serial, written);
}

ClipboardRemoteDesktop::ClipboardRemoteDesktop(std::shared_ptr<WaylandDesktop> desktop)
    : desktop_(std::move(desktop)), state_(std::make_shared<State>()) {
  std::weak_ptr<State> weak = state_;
  desktop_->setOnPublish([weak](const std::shared_ptr<RemoteDesktopSession>& session) { State::published(weak, session); });
  if (auto running = desktop_->current()) State::published(weak, running);
}

ClipboardRemoteDesktop::~ClipboardRemoteDesktop() { desktop_->setOnPublish(nullptr); }

std::uint64_t ClipboardRemoteDesktop::changeCount() {
  std::lock_guard lock(state_->mutex);
  return state_->changes;
}

bool ClipboardRemoteDesktop::available() const {
  std::lock_guard lock(state_->mutex);
  return state_->shared;
}

void ClipboardRemoteDesktop::setOnSession(std::function<void(bool shared)> callback) {
  std::lock_guard lock(state_->mutex);
  state_->onSession = std::move(callback);
}

std::optional<std::string> ClipboardRemoteDesktop::readText() {
  const std::shared_ptr<RemoteDesktopSession> session = desktop_->current();
  if (!session || !session->clipboardAvailable()) return std::nullopt;
  std::vector<std::string> offered;
  {
    std::lock_guard lock(state_->mutex);
    // The compositor refuses to read a session's own offer back.
    if (state_->ours && state_->text) return *state_->text;
    offered = state_->offered;
  }
  auto type = std::find_first_of(textTypes.begin(), textTypes.end(), offered.begin(), offered.end());
  if (type == textTypes.end()) return std::nullopt;
  const UniqueFd pipe = session->selectionRead(*type);
  if (!pipe) return std::nullopt;
  std::optional<std::string> text = readPipe(pipe.get(), ClipboardSync::maxText, Clock::now() + transferTimeout);
  // Some programs label other encodings as UTF-8; such bytes would not survive the trip to the peer.
  if (!text || !isValidUTF8(asBytes(*text))) return std::nullopt;
  return text;
}

std::uint64_t ClipboardRemoteDesktop::writeText(const std::string& text) {
  const std::shared_ptr<RemoteDesktopSession> session = desktop_->current();
  std::unique_lock lock(state_->mutex);
  if (!session || !session->clipboardAvailable()) return state_->changes;
  state_->text = std::make_shared<const std::string>(text);
  const std::uint64_t reports = state_->ownReports;
  lock.unlock();
  session->setSelection(textTypes);
  lock.lock();
  // The report comes through the capture thread's next poll of the session.
  state_->ownerReported.wait_for(lock, ownerTimeout, [&] { return state_->ownReports != reports; });
  return state_->changes;
}

}  // namespace pellora
