// Whatever a relay answers, reading its head, its error body or a control line never fails or crashes.

#include "core/relay_protocol.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  using namespace pellora;
  const ByteView input(data, size);
  RelayProtocol::Head head = RelayProtocol::parseHead(input);
  (void)head;
  (void)RelayProtocol::errorCode(input);
  (void)RelayProtocol::isRelayID(std::string_view(reinterpret_cast<const char*>(data), size));
  return 0;
}
