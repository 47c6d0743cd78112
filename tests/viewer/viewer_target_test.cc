#include "viewer/viewer_target.h"

#include <gtest/gtest.h>

#include <ostream>

namespace pellora {

void PrintTo(const ViewerTarget& target, std::ostream* os) {
  static const char* const kinds[] = {"direct", "relay", "bonjour"};
  *os << kinds[target.value.index()] << '(' << target.label() << ')';
}

namespace {

ViewerTarget direct(std::string host, std::uint16_t port = ViewerTarget::defaultPort) {
  return {ViewerTarget::Direct{std::move(host), port}};
}
ViewerTarget relay(std::string id) { return {ViewerTarget::Relay{std::move(id)}}; }

TEST(ViewerTarget, ParsesTypedText) {
  const std::vector<std::pair<std::string, std::optional<ViewerTarget>>> cases = {
      // Relay identities: nine digits, white space anywhere inside.
      {"123 456 789", relay("123456789")},
      {" \t123456789 ", relay("123456789")},
      {"123\n456\t789", relay("123456789")},
      {"12345678", direct("12345678")},
      {"1234567890", direct("1234567890")},
      // Host and port: the last colon splits off a port that reads as 0...65535.
      {"10.0.0.5:5900", direct("10.0.0.5", 5900)},
      {"10.0.0.5:0", direct("10.0.0.5", 0)},
      {"10.0.0.5:65535", direct("10.0.0.5", 65535)},
      {"10.0.0.5:", direct("10.0.0.5:")},
      {"10.0.0.5:65536", direct("10.0.0.5:65536")},
      {"10.0.0.5:+80", direct("10.0.0.5:+80")},
      {"10.0.0.5:-1", direct("10.0.0.5:-1")},
      {"host:port", direct("host:port")},
      {"fe80::1:8080", direct("fe80::1", 8080)},
      {"::1", direct(":", 1)},
      {":80", direct("", 80)},
      // Blanks: spaces and tabs at the ends go; an inner space means no target.
      {"  mac-mini.local\t", direct("mac-mini.local")},
      {"two words", std::nullopt},
      {"host :80", std::nullopt},
      {"", std::nullopt},
      {" \t ", std::nullopt},
      {"host\n", direct("host\n")},
  };
  for (const auto& [text, expected] : cases) EXPECT_EQ(ViewerTarget::parse(text), expected) << '"' << text << '"';
}

TEST(ViewerTarget, PinKeysNameWhereTheConnectionGoes) {
  // A typed address and the same host found on the network share a pin; case does not matter.
  EXPECT_EQ(direct("Masa.local", 7171).pinKey(), direct("masa.local").pinKey());
  EXPECT_EQ(direct("10.0.0.5").pinKey(),
            (ViewerTarget{ViewerTarget::Bonjour{"Masa", ServiceEndpoint{"Masa", "10.0.0.5", 7171}}}).pinKey());
  EXPECT_NE(direct("10.0.0.5", 7172).pinKey(), direct("10.0.0.5").pinKey());
  EXPECT_NE(relay("123456789").pinKey(), direct("123456789").pinKey());
}

}  // namespace
}  // namespace pellora
