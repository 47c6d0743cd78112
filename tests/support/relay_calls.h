#pragma once

// The relay's calls made by hand over RawClient, for the relay's own tests.

#include <memory>
#include <optional>
#include <string>
#include <utility>

#include "support/raw_client.h"

namespace pellora::test {

// Where the calls below go (the relay's host) and leave from (a local IPv4 address; "" for any).
struct Via {
  std::string host = "127.0.0.1";
  std::string source;
  std::unique_ptr<RawClient> open(std::uint16_t port) const { return std::make_unique<RawClient>(host, port, 5000, source); }
};

// One request on a fresh connection to the relay on `port`: status and body (0 and "" without a head).
std::pair<int, std::string> request(std::uint16_t port, const std::string& text, const Via& via = {});
// A fresh identity from the relay: id and secret.
std::pair<std::string, std::string> registerAt(std::uint16_t port, const Via& via = {});
// An authenticated control connection, after its 101.
std::unique_ptr<RawClient> openControl(std::uint16_t port, const std::pair<std::string, std::string>& identity,
                                       const Via& via = {});
// The token of an "incoming" control line; the line itself when it is another.
std::string tokenOf(const std::optional<std::string>& line);

// A viewer joined through `viewerPort` to the host whose control connection is `control`, the host
// accepting through `acceptPort`; both after their 101 (null when the join failed). The early bytes
// follow each side's request at once.
struct Splice {
  std::unique_ptr<RawClient> viewer, host;
  std::string token;
};
Splice join(RawClient& control, const std::string& id, std::uint16_t viewerPort, std::uint16_t acceptPort,
            const std::string& viewerEarly = {}, const std::string& hostEarly = {}, const Via& via = {});
// A host that registers, comes online and is joined with a viewer, all from `via`; whether bytes pass.
bool hostAndViewerMeet(std::uint16_t port, const Via& via = {});

}  // namespace pellora::test
