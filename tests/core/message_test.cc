#include "core/message.h"

#include <gtest/gtest.h>

#include <set>

#include "support/hex.h"
#include "support/test_vectors.h"

namespace pellora {
namespace {

using test::fromHex;
using test::toHex;
namespace json = boost::json;

template <typename F>
std::string wireError(F&& f) {
  try {
    f();
  } catch (const WireError& e) {
    return e.description();
  }
  return "(no error)";
}
std::string decodeError(ByteView input) {
  return wireError([&] { Message::decode(input); });
}

// Cases newer than the recorded vectors, which peers that predate them read as `Unknown`.
const struct {
  const char* name;
  Message message;
  const char* hex;
} ownCases[] = {{"targetBitrate", Message::TargetBitrate{8000}, "1a00001f40"}};

// Every case's name and encoding: the recorded vectors, then ours.
std::vector<std::pair<std::string, Bytes>> everyEncoding() {
  std::vector<std::pair<std::string, Bytes>> all;
  for (const auto& v : test::wireVectors().at("messages").as_array())
    all.emplace_back(json::value_to<std::string>(v.at("case")), fromHex(v.at("hex").as_string()));
  for (const auto& c : ownCases) all.emplace_back(c.name, fromHex(c.hex));
  return all;
}

TEST(Message, EveryCaseEncodesAsTheVectorsAndDecodesBack) {
  std::set<std::string> cases;
  for (const auto& v : test::wireVectors().at("messages").as_array()) {
    const auto& o = v.as_object();
    const std::string name = json::value_to<std::string>(o.at("case"));
    cases.insert(name);
    Message m = test::messageFromJson(o.at("value").as_object());
    Bytes expected = fromHex(o.at("hex").as_string());
    EXPECT_EQ(toHex(m.encode()), toHex(expected)) << name;
    EXPECT_EQ(Message::decode(expected), m) << name;
  }
  for (const auto& c : ownCases) {
    cases.insert(c.name);
    EXPECT_EQ(toHex(c.message.encode()), c.hex) << c.name;
    EXPECT_EQ(Message::decode(fromHex(c.hex)), c.message) << c.name;
  }
  EXPECT_EQ(cases.size(), std::variant_size_v<Message::Value>) << "the vectors cover every case";
}

TEST(Message, LenientReadingOfFlagsOSAndTrailingBytes) {
  for (const auto& v : test::wireVectors().at("positiveDecode").as_array()) {
    const auto& o = v.as_object();
    Message decoded = Message::decode(fromHex(o.at("input").as_string()));
    EXPECT_EQ(decoded, test::messageFromJson(o.at("decoded").as_object())) << o.at("note");
    EXPECT_EQ(toHex(decoded.encode()), o.at("reencoded").as_string()) << o.at("note");
  }
  // Fields a newer host may append to the target are skipped.
  EXPECT_EQ(Message::decode(fromHex("1a00001f40ff00")), Message(Message::TargetBitrate{8000}));
}

TEST(Message, MalformedInputFailsWithTheSpecifiedText) {
  for (const auto& v : test::wireVectors().at("negative").as_array()) {
    const auto& o = v.as_object();
    if (o.at("kind").as_string() != "message") continue;
    EXPECT_EQ(decodeError(fromHex(o.at("input").as_string())), o.at("error").as_string()) << o.at("note");
  }
}

TEST(Message, EveryCutInsideAMessageIsTruncated) {
  for (const auto& [name, full] : everyEncoding()) {
    for (std::size_t n = 0; n < full.size(); ++n) {
      EXPECT_EQ(decodeError(ByteView(full).first(n)), "Eksik veri") << name << " cut at " << n;
    }
  }
}

TEST(Message, UnassignedTypeBytesDecodeAsUnknown) {
  std::set<int> assigned;  // the type bytes of every case
  for (const auto& [name, bytes] : everyEncoding()) assigned.insert(bytes[0]);
  for (int code = 0; code < 256; ++code) {
    if (assigned.count(code)) continue;
    Bytes input = {static_cast<std::uint8_t>(code), 0xFF, 0x00};
    Message m = Message::decode(input);
    ASSERT_TRUE(m.is<Message::Unknown>()) << code;
    EXPECT_EQ(m.as<Message::Unknown>()->code, code);
    EXPECT_EQ(m.type(), code);
    EXPECT_EQ(m.encode(), Bytes{static_cast<std::uint8_t>(code)});
  }
  // An unknown carrying an assigned code re-reads as that message, or as truncated.
  EXPECT_TRUE(Message::decode(Message(Message::Unknown{0x13}).encode()).is<Message::RequestKeyframe>());
  EXPECT_EQ(decodeError(Message(Message::Unknown{0x40}).encode()), "Eksik veri");
}

// Each bounded field accepts exactly its limit and refuses one more byte from the prefix alone.
TEST(Message, FieldLimitsAtNAndNPlusOne) {
  struct Field {
    const char* name;
    std::uint32_t limit;
    Bytes before;  // type byte and the fields in front of the bounded one
    Bytes after;   // fields that follow it
  };
  const Field fields[] = {
      {"hostInfo.name", 1'048'576, fromHex("020102"), {}},
      {"videoConfig.parameterSet", 65'536, fromHex("1001000000010000000104" "01"), {}},
      {"videoFrame.data", 33'554'432, fromHex("11010000000000000001"), {}},
      {"imageRegions.jpeg", 33'554'432, fromHex("120000000100000001" "00" "0001" "0000000000010001"), {}},
      {"audioPacket.data", 65'536, fromHex("150000000000000001"), {}},
      {"displayList.name", 256, fromHex("1801" "00000001" "0001" "0001" "01"), {}},
      {"clipboardText", 1'048'576, fromHex("30"), {}},
      {"chatText", 4'096, fromHex("31"), {}},
      {"bye", 4'096, fromHex("50"), {}},
      {"fileOffer.name", 1'024, fromHex("6000000001"), fromHex("0000000000000009")},
      {"fileReject.reason", 4'096, fromHex("6200000001"), {}},
      {"fileChunk.data", 262'144, fromHex("6300000001" "0000000000000000"), {}},
      {"fileDone.sha256", 32, fromHex("6400000007"), {}},
      {"fileCancel.reason", 4'096, fromHex("6500000001"), {}},
  };
  for (const Field& f : fields) {
    for (std::uint32_t length : {f.limit, f.limit + 1}) {
      ByteWriter w;
      w.raw(f.before);
      w.u32(length);
      if (length == f.limit) {
        w.raw(Bytes(length, 'a'));
        w.raw(f.after);
        EXPECT_NO_THROW(Message::decode(w.data())) << f.name;
      } else {
        EXPECT_EQ(decodeError(w.data()), WireError::tooLarge(length).description()) << f.name;
      }
    }
  }
}

// Fields that are there but wrong, and counts the input cannot back.
TEST(Message, BadFieldsAndEmptyCountsAreRefusedWithTheirText) {
  const std::pair<std::string, const char*> cases[] = {
      {"6400000007" "00000000", "Geçersiz veri: sha256"},  // a digest of 0 bytes, or of 31
      {"6400000007" "0000001f" + std::string(62, '1'), "Geçersiz veri: sha256"},
      {"1801" "00000001" "0320" "0258" "01" "00000003" "eda080", "Geçersiz veri: UTF-8"},  // a surrogate in a display name
      // 65,535 regions announced, none present: truncated at once, without reserving room for them.
      {"12000000010000000100ffff", "Eksik veri"},
      {"100100000001000000010eff" "00000001aa" "00000001bb", "Eksik veri"},  // 255 parameter sets, two present
  };
  for (const auto& [hex, text] : cases) EXPECT_EQ(decodeError(fromHex(hex)), text) << hex;
}

// Every text field is read as strict UTF-8; the clipboards and secret stores use the same check.
TEST(WireText, OnlyStrictUTF8IsText) {
  for (const char* hex : {"c328", "ff", "80", "c080", "e08080", "eda080", "f4908080", "e282"})
    EXPECT_FALSE(isValidUTF8(fromHex(hex))) << hex;  // not a continuation, overlong, surrogate, too high, cut
  for (const char* hex : {"", "00", "7f", "c2a9", "e282ac", "f09f9880", "f48fbfbf"})
    EXPECT_TRUE(isValidUTF8(fromHex(hex))) << hex;
}

TEST(Framing, PrefixLimitIsMaxFrameInclusive) {
  EXPECT_EQ(Framing::payloadLength(fromHex("02000000")), 33'554'432u);
  for (const auto& c : test::wireVectors().at("negative").as_array()) {
    const auto& o = c.as_object();
    if (o.at("kind").as_string() != "framePrefix") continue;
    EXPECT_EQ(wireError([&] { Framing::payloadLength(fromHex(o.at("input").as_string())); }), o.at("error").as_string());
  }
  EXPECT_EQ(wireError([] { Framing::payloadLength(fromHex("020000")); }), "Eksik veri");
}

}  // namespace
}  // namespace pellora
