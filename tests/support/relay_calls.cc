#include "support/relay_calls.h"

#include <gtest/gtest.h>

#include <boost/json.hpp>

namespace pellora::test {

std::pair<int, std::string> request(std::uint16_t port, const std::string& text, const Via& via) {
  auto c = via.open(port);
  c->send(text);
  auto head = c->readHead();
  if (!head) return {0, {}};
  return {statusOf(*head), c->readToEnd()};
}

std::pair<std::string, std::string> registerAt(std::uint16_t port, const Via& via) {
  auto [status, body] = request(port, "POST /v1/register HTTP/1.1\r\nHost: x\r\n\r\n", via);
  EXPECT_EQ(status, 200) << body;
  boost::system::error_code ec;
  auto json = boost::json::parse(body, ec);
  if (ec || !json.is_object() || !json.as_object().contains("id")) return {};
  return {std::string(json.at("id").as_string()), std::string(json.at("secret").as_string())};
}

std::unique_ptr<RawClient> openControl(std::uint16_t port, const std::pair<std::string, std::string>& identity,
                                       const Via& via) {
  auto c = via.open(port);
  c->send(upgradeRequest("/v1/host", "X-Pellora-Id: " + identity.first + "\r\nX-Pellora-Secret: " + identity.second + "\r\n"));
  auto head = c->readHead();
  EXPECT_EQ(statusOf(head.value_or("")), 101) << head.value_or("(closed)");
  return c;
}

std::string tokenOf(const std::optional<std::string>& line) {
  if (!line) return "(no line)";
  boost::system::error_code ec;
  auto json = boost::json::parse(*line, ec);
  const auto* object = ec ? nullptr : json.if_object();
  const auto* kind = object ? object->if_contains("t") : nullptr;
  if (!kind || *kind != "incoming" || !object->contains("token")) return *line;
  return std::string(object->at("token").as_string());
}

Splice join(RawClient& control, const std::string& id, std::uint16_t viewerPort, std::uint16_t acceptPort,
            const std::string& viewerEarly, const std::string& hostEarly, const Via& via) {
  Splice s{via.open(viewerPort), via.open(acceptPort), {}};
  s.viewer->send(upgradeRequest("/v1/connect", "X-Pellora-Id: " + id + "\r\n") + viewerEarly);
  s.token = tokenOf(control.readLine());
  s.host->send(upgradeRequest("/v1/accept", "X-Pellora-Token: " + s.token + "\r\n") + hostEarly);
  const int hostStatus = statusOf(s.host->readHead().value_or(""));
  const int viewerStatus = statusOf(s.viewer->readHead().value_or(""));
  if (hostStatus != 101 || viewerStatus != 101) s.viewer.reset(), s.host.reset();
  return s;
}

bool hostAndViewerMeet(std::uint16_t port, const Via& via) {
  auto identity = registerAt(port, via);
  if (identity.first.empty()) return false;
  auto control = openControl(port, identity, via);
  auto pair = join(*control, identity.first, port, port, "v", "h", via);
  return pair.viewer && pair.host && pair.viewer->read(1) == "h" && pair.host->read(1) == "v";
}

}  // namespace pellora::test
