#include "core/relay_protocol.h"

#include <gtest/gtest.h>

#include "core/relay_error.h"
#include "core/relay_identity.h"
#include "support/test_vectors.h"

namespace pellora {
namespace {

const boost::json::object& relayVectors() { return test::wireVectors().at("relay").as_object(); }
std::string str(const boost::json::value& v) { return std::string(v.as_string()); }

TEST(RelayProtocol, ResponseHeadsAsTheVectorsRead) {
  for (const auto& c : relayVectors().at("parseHead").as_array()) {
    const std::string head = str(c.at("head"));
    RelayProtocol::Head parsed = RelayProtocol::parseHead(asBytes(head));
    EXPECT_EQ(parsed.status, c.at("status").as_int64()) << head;
    EXPECT_EQ(parsed.contentLength, c.at("contentLength").as_int64()) << head;
  }
  // Bytes that are not UTF-8 do not stop the parse.
  EXPECT_EQ(RelayProtocol::parseHead(asBytes("HTTP/1.1 404 \xff\xfe\r\nContent-Length: 3\r\n\r\n")),
            (RelayProtocol::Head{404, 3}));
  EXPECT_EQ(RelayProtocol::parseHead(asBytes("HTTP/1.1 99999999999 x\r\n\r\n")).status, 0);
}

TEST(RelayProtocol, ErrorCodesAndTheirTexts) {
  for (const auto& c : relayVectors().at("errorCode").as_array())
    EXPECT_EQ(RelayProtocol::errorCode(asBytes(str(c.at("body")))), str(c.at("code")));
  for (const auto& c : relayVectors().at("errorDescriptions").as_array()) {
    const auto& o = c.as_object();
    RelayError e = o.contains("case") ? RelayError::badURL()
                                      : RelayError::http(static_cast<int>(o.at("status").as_int64()), str(o.at("code")));
    EXPECT_EQ(e.description(), str(o.at("text")));
  }
}

TEST(RelayProtocol, RelayIdsAreNineAsciiDigitsIgnoringWhiteSpace) {
  for (const auto& c : relayVectors().at("isRelayID").as_array())
    EXPECT_EQ(RelayProtocol::isRelayID(str(c.at("text"))), c.at("result").as_bool()) << str(c.at("text"));
  EXPECT_TRUE(RelayProtocol::isRelayID("123\xC2\xA0" "456\xE2\x80\x89" "789")) << "no-break and thin spaces";
  EXPECT_FALSE(RelayProtocol::isRelayID("123456789\xff"));
  EXPECT_FALSE(RelayProtocol::isRelayID(""));
  EXPECT_EQ(RelayProtocol::digitsOf(" 123 456 789\n"), "123456789");
}

TEST(RelayControl, LinesAsTheVectorsRead) {
  using Kind = RelayControl::Event::Kind;
  const std::map<std::string, Kind> kinds = {
      {"incoming", Kind::incoming}, {"pong", Kind::pong}, {"replaced", Kind::replaced}, {"other", Kind::other}};
  for (const auto& c : relayVectors().at("controlParse").as_array()) {
    const auto event = RelayControl::parse(asBytes(str(c.at("line"))));
    EXPECT_EQ(event.kind, kinds.at(str(c.at("event")))) << str(c.at("line"));
    if (c.at("token").is_string()) {
      EXPECT_EQ(event.token, str(c.at("token")));
    }
  }
  EXPECT_EQ(RelayControl::ping, str(relayVectors().at("ping")));
  EXPECT_EQ(RelayControl::parse(asBytes(std::string(100, '['))).kind, Kind::other) << "deep nesting";
}

TEST(RelayIdentity, JsonRoundTripAndRejects) {
  RelayIdentity id{"123456789", "abc"};
  EXPECT_EQ(RelayIdentity::fromJSON(id.toJSON()), id);
  EXPECT_EQ(RelayIdentity::fromJSON(R"({"id":"1","secret":"s","extra":1})"), (RelayIdentity{"1", "s"}));
  for (const char* bad : {"", "[]", R"({"id":"1"})", R"({"id":1,"secret":"s"})", "{"})
    EXPECT_EQ(RelayIdentity::fromJSON(bad), std::nullopt) << bad;
}

}  // namespace
}  // namespace pellora
