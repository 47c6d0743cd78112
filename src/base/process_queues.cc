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

SerialQueue& storageQueue() {
  static SerialQueue queue("pellora.storage");
  return queue;
}

SerialQueue& powerQueue() {
  static SerialQueue queue("pellora.power");
  return queue;
}

}  // namespace pellora
