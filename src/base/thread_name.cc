#include "base/thread_name.h"

#include <pthread.h>

#include <string>

namespace pellora {

void setCurrentThreadName(std::string_view name) {
  const std::string shortName(name.substr(0, 15));
  pthread_setname_np(pthread_self(), shortName.c_str());
}

}  // namespace pellora
