#include "platform/linux/avahi_connection.h"

#include <avahi-common/timeval.h>

#include "base/thread_name.h"

namespace pellora::avahi {

Connection::Lock::Lock(Connection& c) : poll_(c.poll_.get()) { avahi_threaded_poll_lock(poll_); }
Connection::Lock::~Lock() { avahi_threaded_poll_unlock(poll_); }

Connection::Connection(std::string threadName, StateHandler onState)
    : threadName_(std::move(threadName)), onState_(std::move(onState)), poll_(avahi_threaded_poll_new()) {}

Connection::~Connection() {
  stop();
  timer_.reset();
  client_.reset();
}

void Connection::start() {
  if (started_ || !poll_) return;
  started_ = true;
  const AvahiPoll* api = avahi_threaded_poll_get(poll_.get());
  timeval now{};
  avahi_elapse_time(&now, 0, 0);
  timer_ = Timeout(api->timeout_new(api, &now, timerEvent, this), TimeoutDeleter{api});
  connect();
  running_ = avahi_threaded_poll_start(poll_.get()) == 0;
}

void Connection::stop() {
  if (!running_) return;
  avahi_threaded_poll_stop(poll_.get());
  running_ = false;
}

void Connection::connect() {
  client_.reset();  // the one that failed, if any
  int error = 0;
  // NO_FAIL: a missing daemon is waited for (CONNECTING) rather than an error; only a missing bus fails.
  AvahiClient* client =
      avahi_client_new(avahi_threaded_poll_get(poll_.get()), AVAHI_CLIENT_NO_FAIL, clientEvent, this, &error);
  if (!client) {
    wakeIn(busRetryDelay);
    return;
  }
  client_.reset(client);
}

void Connection::wakeIn(std::chrono::milliseconds delay) {
  if (!timer_) return;
  reconnectDue_ = true;
  timeval at{};
  avahi_elapse_time(&at, static_cast<unsigned>(delay.count()), 0);
  avahi_threaded_poll_get(poll_.get())->timeout_update(timer_.get(), &at);
}

void Connection::clientEvent(AvahiClient* client, AvahiClientState state, void* self) {
  auto* c = static_cast<Connection*>(self);
  c->onState_(client, state);
  // The failed client is still inside its own dispatch here: it is replaced from the timer, not now.
  if (state == AVAHI_CLIENT_FAILURE) c->wakeIn(reconnectDelay);
}

void Connection::timerEvent(AvahiTimeout*, void* self) {
  auto* c = static_cast<Connection*>(self);
  if (!c->named_) {
    setCurrentThreadName(c->threadName_);
    c->named_ = true;
  }
  if (c->reconnectDue_) {
    c->reconnectDue_ = false;
    c->connect();
  }
}

}  // namespace pellora::avahi
