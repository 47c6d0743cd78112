#pragma once

// A client connection to the system's mDNS daemon, private to the Avahi code.

#include <chrono>
#include <functional>
#include <string>

#include "platform/linux/avahi_handles.h"

namespace pellora::avahi {

// One client of avahi-daemon (reached over the system bus) with its own event thread. It outlives the
// daemon: when the daemon stops or restarts, the client is replaced by a fresh one that waits for the
// daemon to come back; when no system bus answers at all, it tries again every few seconds. Nothing is
// thrown and nothing waits for a missing daemon.
//
// Executors: `onState` runs on the event thread with the loop locked, for every state of the current
// client: CONNECTING while the daemon is away, S_REGISTERING / S_RUNNING / S_COLLISION while it is
// there, FAILURE once the connection is lost. On FAILURE the owner frees everything it made on that
// client; the connection frees the client itself a moment later, on the event thread. The very first
// call may come from `start` on the caller's thread. Any other thread takes `Lock` before touching
// objects made on the client. Owned by one advertiser or browser, which calls `stop` before freeing its
// own Avahi objects: no `onState` runs once `stop` has returned.
class Connection {
 public:
  using StateHandler = std::function<void(AvahiClient*, AvahiClientState)>;

  // `threadName` names the event thread (at most 15 bytes are kept).
  Connection(std::string threadName, StateHandler onState);
  ~Connection();
  Connection(const Connection&) = delete;
  Connection& operator=(const Connection&) = delete;

  // Connects and starts the event thread; later calls do nothing.
  void start();
  // Stops the event thread and waits for it. Idempotent; never called from the event thread.
  void stop();
  bool started() const { return started_; }

  class Lock {
   public:
    explicit Lock(Connection& c);
    ~Lock();
    Lock(const Lock&) = delete;
    Lock& operator=(const Lock&) = delete;

   private:
    AvahiThreadedPoll* poll_;
  };

  static constexpr std::chrono::milliseconds reconnectDelay{1000};  // after the daemon went away
  static constexpr std::chrono::milliseconds busRetryDelay{5000};   // while no system bus answers

 private:
  static void clientEvent(AvahiClient* client, AvahiClientState state, void* self);
  static void timerEvent(AvahiTimeout* timeout, void* self);
  void connect();  // on the event thread, or before it runs
  void wakeIn(std::chrono::milliseconds delay);

  std::string threadName_;
  StateHandler onState_;
  ThreadedPoll poll_;
  Client client_;  // after poll_: freed before it
  Timeout timer_;  // names the thread once, then reconnects when asked to
  bool started_ = false;
  bool running_ = false;  // the event thread runs
  bool named_ = false;
  bool reconnectDue_ = false;
};

}  // namespace pellora::avahi
