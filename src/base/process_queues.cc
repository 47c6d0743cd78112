#include "base/process_queues.h"

namespace pellora {

SerialQueue& clipboardQueue() {
  static SerialQueue queue("pellora.clipboard");
  return queue;
}

SerialQueue& soundDeviceQueue() {
  static SerialQueue queue("pellora.sound");
  return queue;
}

}  // namespace pellora
