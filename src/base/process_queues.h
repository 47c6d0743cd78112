#pragma once

#include "base/serial_queue.h"

namespace pellora {

// Queues that live as long as the process, for steps that may block for a while and whose requesters may
// go away meanwhile: their jobs hold what they need (never the queue), so no owner ever waits to join a
// thread busy with a slow clipboard owner or sound server. Made on first use, stopped at exit.

// Clipboard round trips: another program owning the selection may take seconds to answer.
SerialQueue& clipboardQueue();
// Opening and closing sound streams (a sound server's connection and stream set-up wait for answers).
SerialQueue& soundDeviceQueue();
// Secret-store calls and small reads and writes of the user's files: a keyring behind D-Bus may take seconds
// to start or to ask for its unlock, and one queue keeps them in the order they were asked for.
SerialQueue& storageQueue();
// Keeping the display awake and letting it sleep again: a session bus or X server round trip, each with a
// timeout of a second or more.
SerialQueue& powerQueue();

}  // namespace pellora
