#include "platform/linux/clipboard_x11.h"

#include <poll.h>
#include <sys/eventfd.h>
#include <unistd.h>
#include <xcb/xfixes.h>

#include <algorithm>
#include <array>
#include <atomic>
#include <chrono>
#include <cstring>
#include <deque>
#include <future>
#include <mutex>
#include <thread>
#include <vector>

#include "core/bytes.h"
#include "core/transport_error.h"
#include "platform/linux/monitor_list_x11.h"
#include "platform/linux/xcb_handles_x11.h"

namespace pellora {

namespace {

using Clock = std::chrono::steady_clock;

// How long a read or write waits for the next answer of the X server or of the clipboard's owner.
constexpr auto stepTimeout = std::chrono::seconds(1);
// A whole read, however many INCR chunks it takes.
constexpr auto readTimeout = std::chrono::seconds(3);
// A requestor that stops taking the chunks of an INCR transfer is forgotten after this long.
constexpr auto outgoingTimeout = std::chrono::seconds(5);
constexpr std::size_t maxReadBytes = 64u << 20;
// Size of a ChangeProperty request without its data.
constexpr std::size_t changePropertyHeader = 24;

// Latin-1 (the STRING target) to UTF-8.
std::string utf8FromLatin1(const std::string& latin1) {
  std::string out;
  out.reserve(latin1.size());
  for (unsigned char ch : latin1) {
    if (ch < 0x80) {
      out.push_back(static_cast<char>(ch));
    } else {
      out.push_back(static_cast<char>(0xC0 | (ch >> 6)));
      out.push_back(static_cast<char>(0x80 | (ch & 0x3F)));
    }
  }
  return out;
}

// UTF-8 to Latin-1; nothing when the text holds a character Latin-1 lacks (or is not valid UTF-8).
std::optional<std::string> latin1FromUtf8(const std::string& utf8) {
  std::string out;
  out.reserve(utf8.size());
  for (std::size_t i = 0; i < utf8.size(); ++i) {
    const auto ch = static_cast<unsigned char>(utf8[i]);
    if (ch < 0x80) {
      out.push_back(static_cast<char>(ch));
    } else if ((ch == 0xC2 || ch == 0xC3) && i + 1 < utf8.size() &&
               (static_cast<unsigned char>(utf8[i + 1]) & 0xC0) == 0x80) {
      out.push_back(static_cast<char>(((ch & 0x03) << 6) | (utf8[i + 1] & 0x3F)));
      ++i;
    } else {
      return std::nullopt;
    }
  }
  return out;
}

struct Atoms {
  xcb_atom_t clipboard, utf8String, targets, timestamp, incr, text, textPlainUtf8, selectionProperty, timeProperty;
};

Atoms internAtoms(xcb_connection_t* c) {
  static constexpr std::array<const char*, 9> names = {"CLIPBOARD", "UTF8_STRING",   "TARGETS",
                                                       "TIMESTAMP", "INCR",          "TEXT",
                                                       "text/plain;charset=utf-8", "PELLORA_SELECTION",
                                                       "PELLORA_TIME"};
  std::array<xcb_intern_atom_cookie_t, names.size()> cookies;
  for (std::size_t i = 0; i < names.size(); ++i)
    cookies[i] = xcb_intern_atom(c, 0, static_cast<std::uint16_t>(std::strlen(names[i])), names[i]);
  std::array<xcb_atom_t, names.size()> atoms{};
  for (std::size_t i = 0; i < names.size(); ++i) {
    x11::Reply<xcb_intern_atom_reply_t> reply(xcb_intern_atom_reply(c, cookies[i], nullptr));
    if (!reply) throw TransportError::connectFailed("X atoms unavailable");
    atoms[i] = reply->atom;
  }
  return {atoms[0], atoms[1], atoms[2], atoms[3], atoms[4], atoms[5], atoms[6], atoms[7], atoms[8]};
}

}  // namespace

// Everything that talks to the X server, on its own thread. Other threads only queue commands (under
// `mutex_`) and wake the thread through `wakeFd_`; the change count is an atomic they read directly.
// All other members belong to the thread once it runs.
class ClipboardX11::Worker {
 public:
  explicit Worker(const std::string& xDisplay);
  ~Worker();

  std::uint64_t changeCount() const { return changes_.load(); }
  std::optional<std::string> read();
  std::uint64_t write(const std::string& text);

 private:
  struct Command {
    bool isWrite = false;
    std::string text;  // to write
    std::promise<std::optional<std::string>> readDone;
    std::promise<std::uint64_t> writeDone;
  };
  enum class Step { idle, awaitingTime, awaitingOwnerEvent, awaitingNotify, receivingIncr };
  // One INCR transfer of our text to another program.
  struct Outgoing {
    xcb_window_t requestor;
    xcb_atom_t property, type;
    std::shared_ptr<const std::string> data;
    std::size_t offset = 0;
    Clock::time_point deadline;
  };

  void wake();
  void run();
  void startNext();
  // When the running command gives up waiting; the nearest of every wait (nothing: none).
  Clock::time_point nextStepDeadline() const;
  std::optional<Clock::time_point> nextDeadline() const;
  void expire();
  void handle(const xcb_generic_event_t* event);
  void finishRead(std::optional<std::string> text);
  void finishWrite();

  // Reading from another owner.
  void requestConversion(xcb_atom_t target);
  void onSelectionNotify(const xcb_selection_notify_event_t& e);
  void onIncrChunk();
  std::optional<std::string> asText(std::string bytes) const;

  // Writing: taking ownership and serving requests.
  void takeOwnership(xcb_timestamp_t time);
  void serve(const xcb_selection_request_event_t& r);
  bool answer(xcb_window_t requestor, xcb_atom_t property, xcb_atom_t target);
  void sendData(xcb_window_t requestor, xcb_atom_t property, xcb_atom_t type, std::shared_ptr<const std::string> data);
  void onRequestorPropertyDeleted(xcb_window_t requestor, xcb_atom_t property);
  void forgetOutgoing(std::vector<Outgoing>::iterator it);

  x11::Connection connection_;
  xcb_connection_t* c_ = nullptr;
  xcb_window_t window_ = XCB_NONE;
  Atoms atoms_{};
  std::uint8_t xfixesEvent_ = 0;
  std::size_t chunkSize_ = 0;

  // The command being carried out, and how far it got.
  std::optional<Command> current_;
  Step step_ = Step::idle;
  Clock::time_point stepDeadline_, readDeadline_;
  xcb_atom_t readTarget_ = XCB_NONE;
  std::string received_;
  xcb_timestamp_t writeTime_ = 0;

  // What we serve while we own CLIPBOARD.
  bool owned_ = false;
  xcb_timestamp_t ownedSince_ = 0;
  std::shared_ptr<const std::string> ownedText_;
  std::shared_ptr<const std::string> ownedLatin1_;  // null when the text has no Latin-1 form
  std::vector<Outgoing> outgoing_;

  std::atomic<std::uint64_t> changes_{0};
  std::mutex mutex_;
  std::deque<Command> queue_;  // guarded by mutex_
  bool stopping_ = false;      // guarded by mutex_
  bool dead_ = false;          // guarded by mutex_: the thread ended, commands are answered at once
  int wakeFd_ = -1;
  std::thread thread_;
};

ClipboardX11::Worker::Worker(const std::string& xDisplay) {
  int screenNumber = 0;
  connection_ = x11::connect(xDisplay, &screenNumber);
  if (!connection_) throw TransportError::connectFailed("no X server at " + x11::displayLabel(xDisplay));
  c_ = connection_.get();
  const xcb_screen_t* screen = x11::screenOf(c_, screenNumber);
  if (!screen) throw TransportError::connectFailed("no X screen " + std::to_string(screenNumber));
  if (!x11::hasExtension(c_, &xcb_xfixes_id)) throw TransportError::connectFailed("no XFIXES extension");
  x11::Reply<xcb_xfixes_query_version_reply_t> version(
      xcb_xfixes_query_version_reply(c_, xcb_xfixes_query_version(c_, 1, 0), nullptr));
  if (!version) throw TransportError::connectFailed("no XFIXES extension");
  xfixesEvent_ = xcb_get_extension_data(c_, &xcb_xfixes_id)->first_event;
  atoms_ = internAtoms(c_);

  // The core request limit, not the BIG-REQUESTS one: what every requestor can take in one property.
  chunkSize_ = std::size_t{xcb_get_setup(c_)->maximum_request_length} * 4 - changePropertyHeader;

  window_ = xcb_generate_id(c_);
  const std::uint32_t values[] = {1, XCB_EVENT_MASK_PROPERTY_CHANGE};
  xcb_create_window(c_, XCB_COPY_FROM_PARENT, window_, screen->root, -1, -1, 1, 1, 0, XCB_WINDOW_CLASS_INPUT_ONLY,
                    XCB_COPY_FROM_PARENT, XCB_CW_OVERRIDE_REDIRECT | XCB_CW_EVENT_MASK, values);
  xcb_xfixes_select_selection_input(c_, window_, atoms_.clipboard,
                                    XCB_XFIXES_SELECTION_EVENT_MASK_SET_SELECTION_OWNER |
                                        XCB_XFIXES_SELECTION_EVENT_MASK_SELECTION_WINDOW_DESTROY |
                                        XCB_XFIXES_SELECTION_EVENT_MASK_SELECTION_CLIENT_CLOSE);
  xcb_flush(c_);

  wakeFd_ = eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK);
  if (wakeFd_ < 0) throw TransportError::connectFailed(std::strerror(errno));
  thread_ = std::thread([this] { run(); });
}

ClipboardX11::Worker::~Worker() {
  {
    std::lock_guard lock(mutex_);
    stopping_ = true;
  }
  wake();
  thread_.join();
  close(wakeFd_);
}

std::optional<std::string> ClipboardX11::Worker::read() {
  std::future<std::optional<std::string>> done;
  {
    std::lock_guard lock(mutex_);
    if (dead_) return std::nullopt;
    Command& command = queue_.emplace_back();
    done = command.readDone.get_future();
  }
  wake();
  return done.get();
}

std::uint64_t ClipboardX11::Worker::write(const std::string& text) {
  std::future<std::uint64_t> done;
  {
    std::lock_guard lock(mutex_);
    if (dead_) return changes_.load();
    Command& command = queue_.emplace_back();
    command.isWrite = true;
    command.text = text;
    done = command.writeDone.get_future();
  }
  wake();
  return done.get();
}

void ClipboardX11::Worker::wake() {
  const std::uint64_t one = 1;
  [[maybe_unused]] auto n = ::write(wakeFd_, &one, sizeof one);
}

void ClipboardX11::Worker::run() {
  const int xFd = xcb_get_file_descriptor(c_);
  for (;;) {
    {
      std::lock_guard lock(mutex_);
      if (stopping_) break;
    }
    while (x11::Reply<xcb_generic_event_t> event{xcb_poll_for_event(c_)}) handle(event.get());
    if (xcb_connection_has_error(c_)) break;
    expire();
    startNext();
    xcb_flush(c_);
    // Writing may have read events into XCB's queue, where poll() cannot see them.
    if (x11::Reply<xcb_generic_event_t> event{xcb_poll_for_queued_event(c_)}) {
      handle(event.get());
      continue;
    }

    int timeoutMs = -1;
    if (auto next = nextDeadline()) {
      const auto left = std::chrono::ceil<std::chrono::milliseconds>(*next - Clock::now()).count();
      timeoutMs = static_cast<int>(std::clamp<std::int64_t>(left, 0, 60'000));
    }
    pollfd fds[2] = {{xFd, POLLIN, 0}, {wakeFd_, POLLIN, 0}};
    if (::poll(fds, 2, timeoutMs) > 0 && (fds[1].revents & POLLIN)) {
      std::uint64_t count;
      [[maybe_unused]] auto n = ::read(wakeFd_, &count, sizeof count);
    }
  }

  // Stopped or the X server went away: whatever is still waiting gets its answer now.
  if (current_) current_->isWrite ? finishWrite() : finishRead(std::nullopt);
  std::deque<Command> left;
  {
    std::lock_guard lock(mutex_);
    dead_ = true;
    left.swap(queue_);
  }
  for (auto& command : left) {
    if (command.isWrite) {
      command.writeDone.set_value(changes_.load());
    } else {
      command.readDone.set_value(std::nullopt);
    }
  }
}

void ClipboardX11::Worker::startNext() {
  while (!current_) {
    {
      std::lock_guard lock(mutex_);
      if (queue_.empty()) return;
      current_.emplace(std::move(queue_.front()));
      queue_.pop_front();
    }
    if (current_->isWrite) {
      // SetSelectionOwner wants a real server time: a zero-length append to our own property makes the
      // server report one in a PropertyNotify.
      xcb_change_property(c_, XCB_PROP_MODE_APPEND, window_, atoms_.timeProperty, XCB_ATOM_STRING, 8, 0, nullptr);
      step_ = Step::awaitingTime;
      stepDeadline_ = Clock::now() + stepTimeout;
    } else if (owned_) {
      finishRead(*ownedText_);
    } else {
      readDeadline_ = Clock::now() + readTimeout;
      requestConversion(atoms_.utf8String);
    }
  }
}

Clock::time_point ClipboardX11::Worker::nextStepDeadline() const {
  return current_->isWrite ? stepDeadline_ : std::min(stepDeadline_, readDeadline_);
}

std::optional<Clock::time_point> ClipboardX11::Worker::nextDeadline() const {
  std::optional<Clock::time_point> next;
  if (current_) next = nextStepDeadline();
  for (const auto& o : outgoing_) next = next ? std::min(*next, o.deadline) : o.deadline;
  return next;
}

void ClipboardX11::Worker::expire() {
  const auto now = Clock::now();
  if (const auto deadline = current_ ? nextStepDeadline() : Clock::time_point::max(); now >= deadline) {
    if (current_->isWrite) {
      finishWrite();
    } else {
      xcb_delete_property(c_, window_, atoms_.selectionProperty);
      finishRead(std::nullopt);
    }
  }
  for (std::size_t i = outgoing_.size(); i-- > 0;) {
    if (now >= outgoing_[i].deadline) forgetOutgoing(outgoing_.begin() + static_cast<std::ptrdiff_t>(i));
  }
}

void ClipboardX11::Worker::finishRead(std::optional<std::string> text) {
  current_->readDone.set_value(std::move(text));
  current_.reset();
  step_ = Step::idle;
  received_.clear();
  received_.shrink_to_fit();
}

void ClipboardX11::Worker::finishWrite() {
  current_->writeDone.set_value(changes_.load());
  current_.reset();
  step_ = Step::idle;
}

void ClipboardX11::Worker::handle(const xcb_generic_event_t* event) {
  const std::uint8_t type = event->response_type & 0x7F;
  if (type == 0) return;  // an error of an unchecked request, e.g. a requestor window that went away
  if (type == xfixesEvent_ + XCB_XFIXES_SELECTION_NOTIFY) {
    const auto& e = *reinterpret_cast<const xcb_xfixes_selection_notify_event_t*>(event);
    if (e.selection != atoms_.clipboard) return;
    ++changes_;
    if (e.owner != window_) owned_ = false;
    // Our own SetSelectionOwner, seen in order after every earlier change: the count the write produced.
    if (step_ == Step::awaitingOwnerEvent && e.owner == window_ && e.selection_timestamp == writeTime_)
      finishWrite();
    return;
  }
  switch (type) {
    case XCB_PROPERTY_NOTIFY: {
      const auto& e = *reinterpret_cast<const xcb_property_notify_event_t*>(event);
      if (e.window == window_ && e.atom == atoms_.timeProperty && step_ == Step::awaitingTime) {
        takeOwnership(e.time);
      } else if (e.window == window_ && e.atom == atoms_.selectionProperty && e.state == XCB_PROPERTY_NEW_VALUE &&
                 step_ == Step::receivingIncr) {
        onIncrChunk();
      } else if (e.state == XCB_PROPERTY_DELETE) {
        onRequestorPropertyDeleted(e.window, e.atom);
      }
      return;
    }
    case XCB_SELECTION_NOTIFY: {
      const auto& e = *reinterpret_cast<const xcb_selection_notify_event_t*>(event);
      // An answer for another target is a late one to an earlier request (an owner that answered after we
      // gave up, or the UTF-8 refusal arriving after we asked for Latin-1): not this request's.
      if (e.requestor == window_ && e.selection == atoms_.clipboard && step_ == Step::awaitingNotify &&
          e.target == readTarget_)
        onSelectionNotify(e);
      return;
    }
    case XCB_SELECTION_REQUEST:
      serve(*reinterpret_cast<const xcb_selection_request_event_t*>(event));
      return;
    case XCB_SELECTION_CLEAR: {
      const auto& e = *reinterpret_cast<const xcb_selection_clear_event_t*>(event);
      if (e.selection == atoms_.clipboard) owned_ = false;
      return;
    }
    default:
      return;
  }
}

// --- Reading ---

void ClipboardX11::Worker::requestConversion(xcb_atom_t target) {
  readTarget_ = target;
  xcb_delete_property(c_, window_, atoms_.selectionProperty);
  xcb_convert_selection(c_, window_, atoms_.clipboard, target, atoms_.selectionProperty, XCB_CURRENT_TIME);
  step_ = Step::awaitingNotify;
  stepDeadline_ = Clock::now() + stepTimeout;
}

void ClipboardX11::Worker::onSelectionNotify(const xcb_selection_notify_event_t& e) {
  if (e.property == XCB_NONE) {
    // Refused (or nobody owns the clipboard): older programs may still offer Latin-1 text.
    if (readTarget_ == atoms_.utf8String) {
      requestConversion(XCB_ATOM_STRING);
    } else {
      finishRead(std::nullopt);
    }
    return;
  }
  x11::Reply<xcb_get_property_reply_t> reply(xcb_get_property_reply(
      c_, xcb_get_property(c_, 1, window_, e.property, XCB_GET_PROPERTY_TYPE_ANY, 0, maxReadBytes / 4 + 1), nullptr));
  if (!reply) return finishRead(std::nullopt);
  if (reply->type == atoms_.incr) {
    // Deleting the INCR property (done by the read above) asks the owner for the first chunk.
    received_.clear();
    step_ = Step::receivingIncr;
    stepDeadline_ = Clock::now() + stepTimeout;
    return;
  }
  const bool isText = reply->format == 8 && (reply->type == readTarget_ ||
                                              (readTarget_ == atoms_.utf8String && reply->type == atoms_.textPlainUtf8));
  if (!isText || reply->bytes_after > 0) {
    xcb_delete_property(c_, window_, e.property);
    return finishRead(std::nullopt);
  }
  const auto* data = static_cast<const char*>(xcb_get_property_value(reply.get()));
  finishRead(asText(std::string(data, static_cast<std::size_t>(xcb_get_property_value_length(reply.get())))));
}

void ClipboardX11::Worker::onIncrChunk() {
  x11::Reply<xcb_get_property_reply_t> reply(xcb_get_property_reply(
      c_,
      xcb_get_property(c_, 1, window_, atoms_.selectionProperty, XCB_GET_PROPERTY_TYPE_ANY, 0,
                       maxReadBytes / 4 + 1),
      nullptr));
  if (!reply || reply->format != 8 || reply->bytes_after > 0) return finishRead(std::nullopt);
  const auto length = static_cast<std::size_t>(xcb_get_property_value_length(reply.get()));
  if (length == 0) return finishRead(asText(std::move(received_)));  // the closing empty chunk
  if (received_.size() + length > maxReadBytes) return finishRead(std::nullopt);
  received_.append(static_cast<const char*>(xcb_get_property_value(reply.get())), length);
  stepDeadline_ = Clock::now() + stepTimeout;
}

std::optional<std::string> ClipboardX11::Worker::asText(std::string bytes) const {
  if (readTarget_ == XCB_ATOM_STRING) return utf8FromLatin1(bytes);
  // Some programs label other encodings as UTF-8; such bytes would not survive the trip to the peer.
  if (!isValidUTF8(asBytes(bytes))) return std::nullopt;
  return bytes;
}

// --- Owning the clipboard ---

void ClipboardX11::Worker::takeOwnership(xcb_timestamp_t time) {
  auto text = std::make_shared<const std::string>(std::move(current_->text));
  ownedText_ = text;
  auto latin1 = latin1FromUtf8(*text);
  ownedLatin1_ = latin1 ? std::make_shared<const std::string>(std::move(*latin1)) : nullptr;
  ownedSince_ = time;
  writeTime_ = time;
  xcb_set_selection_owner(c_, window_, atoms_.clipboard, time);
  x11::Reply<xcb_get_selection_owner_reply_t> owner(
      xcb_get_selection_owner_reply(c_, xcb_get_selection_owner(c_, atoms_.clipboard), nullptr));
  owned_ = owner && owner->owner == window_;
  if (!owned_) return finishWrite();  // someone took it with a later time: nothing changed by us
  step_ = Step::awaitingOwnerEvent;
  stepDeadline_ = Clock::now() + stepTimeout;
}

void ClipboardX11::Worker::serve(const xcb_selection_request_event_t& r) {
  // Obsolete requestors leave the property out and expect the target's name to be used.
  const xcb_atom_t property = r.property == XCB_NONE ? r.target : r.property;
  const bool ours = owned_ && r.selection == atoms_.clipboard && r.owner == window_ &&
                    (r.time == XCB_CURRENT_TIME || r.time >= ownedSince_);
  const bool answered = ours && answer(r.requestor, property, r.target);

  union {
    xcb_selection_notify_event_t notify;
    char bytes[32];
  } event{};
  event.notify.response_type = XCB_SELECTION_NOTIFY;
  event.notify.time = r.time;
  event.notify.requestor = r.requestor;
  event.notify.selection = r.selection;
  event.notify.target = r.target;
  event.notify.property = answered ? property : XCB_NONE;
  xcb_send_event(c_, 0, r.requestor, XCB_EVENT_MASK_NO_EVENT, event.bytes);
}

bool ClipboardX11::Worker::answer(xcb_window_t requestor, xcb_atom_t property, xcb_atom_t target) {
  if (target == atoms_.targets) {
    std::vector<xcb_atom_t> targets = {atoms_.targets, atoms_.timestamp, atoms_.utf8String, atoms_.textPlainUtf8,
                                       atoms_.text};
    if (ownedLatin1_) targets.push_back(XCB_ATOM_STRING);
    xcb_change_property(c_, XCB_PROP_MODE_REPLACE, requestor, property, XCB_ATOM_ATOM, 32,
                        static_cast<std::uint32_t>(targets.size()), targets.data());
    return true;
  }
  if (target == atoms_.timestamp) {
    xcb_change_property(c_, XCB_PROP_MODE_REPLACE, requestor, property, XCB_ATOM_INTEGER, 32, 1, &ownedSince_);
    return true;
  }
  if (target == atoms_.utf8String || target == atoms_.textPlainUtf8) {
    sendData(requestor, property, target, ownedText_);
    return true;
  }
  if (target == atoms_.text) {  // the owner picks the encoding
    sendData(requestor, property, atoms_.utf8String, ownedText_);
    return true;
  }
  if (target == XCB_ATOM_STRING && ownedLatin1_) {
    sendData(requestor, property, XCB_ATOM_STRING, ownedLatin1_);
    return true;
  }
  return false;
}

void ClipboardX11::Worker::sendData(xcb_window_t requestor, xcb_atom_t property, xcb_atom_t type,
                                    std::shared_ptr<const std::string> data) {
  if (data->size() <= chunkSize_) {
    xcb_change_property(c_, XCB_PROP_MODE_REPLACE, requestor, property, type, 8,
                        static_cast<std::uint32_t>(data->size()), data->data());
    return;
  }
  // INCR: announce the size; each deletion of the property by the requestor asks for the next chunk.
  for (auto it = outgoing_.begin(); it != outgoing_.end(); ++it) {
    if (it->requestor == requestor && it->property == property) {
      outgoing_.erase(it);  // the requestor started over on the same property
      break;
    }
  }
  const std::uint32_t mask = XCB_EVENT_MASK_PROPERTY_CHANGE;
  xcb_change_window_attributes(c_, requestor, XCB_CW_EVENT_MASK, &mask);
  const auto size = static_cast<std::uint32_t>(std::min<std::size_t>(data->size(), UINT32_MAX));
  xcb_change_property(c_, XCB_PROP_MODE_REPLACE, requestor, property, atoms_.incr, 32, 1, &size);
  outgoing_.push_back({requestor, property, type, std::move(data), 0, Clock::now() + outgoingTimeout});
}

void ClipboardX11::Worker::onRequestorPropertyDeleted(xcb_window_t requestor, xcb_atom_t property) {
  auto it = std::find_if(outgoing_.begin(), outgoing_.end(),
                         [&](const Outgoing& o) { return o.requestor == requestor && o.property == property; });
  if (it == outgoing_.end()) return;
  const std::size_t n = std::min(chunkSize_, it->data->size() - it->offset);
  xcb_change_property(c_, XCB_PROP_MODE_REPLACE, requestor, property, it->type, 8, static_cast<std::uint32_t>(n),
                      it->data->data() + it->offset);
  if (n == 0) return forgetOutgoing(it);  // that was the closing empty chunk
  it->offset += n;
  it->deadline = Clock::now() + outgoingTimeout;
}

void ClipboardX11::Worker::forgetOutgoing(std::vector<Outgoing>::iterator it) {
  const xcb_window_t requestor = it->requestor;
  outgoing_.erase(it);
  const bool stillUsed = std::any_of(outgoing_.begin(), outgoing_.end(),
                                     [&](const Outgoing& o) { return o.requestor == requestor; });
  if (!stillUsed && requestor != window_) {
    const std::uint32_t none = XCB_EVENT_MASK_NO_EVENT;
    xcb_change_window_attributes(c_, requestor, XCB_CW_EVENT_MASK, &none);
  }
}

ClipboardX11::ClipboardX11(std::string xDisplay) : worker_(std::make_unique<Worker>(xDisplay)) {}

ClipboardX11::~ClipboardX11() = default;

std::uint64_t ClipboardX11::changeCount() { return worker_->changeCount(); }

std::optional<std::string> ClipboardX11::readText() { return worker_->read(); }

std::uint64_t ClipboardX11::writeText(const std::string& text) { return worker_->write(text); }

}  // namespace pellora
