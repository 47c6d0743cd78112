// Any control line parses to an event; a token is only ever taken from a well-formed incoming line.

#include <cstdlib>

#include "core/relay_protocol.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  using namespace pellora;
  const RelayControl::Event event = RelayControl::parse(ByteView(data, size));
  if (event.kind != RelayControl::Event::Kind::incoming && !event.token.empty()) std::abort();
  return 0;
}
