#include "platform/linux/clipboard_x11.h"

#include <gtest/gtest.h>

#include "core/transport_error.h"
#include "support/eventually.h"
#include "support/xvfb.h"
#include "x11_test_window.h"

namespace pellora {
namespace {

using test::Xvfb;
using OtherProgram = test::X11TestWindow;  // another program on the display

// Whether `clipboard` comes to see a change count above `than`.
bool countRisesAbove(Clipboard& clipboard, std::uint64_t than) {
  return test::eventually([&] { return clipboard.changeCount() > than; }, std::chrono::seconds(5));
}

TEST(ClipboardX11, NoDisplayIsAConnectFailure) {
  EXPECT_THROW(ClipboardX11(test::kAbsentDisplay), TransportError);
}

TEST(ClipboardX11, TextOfAnySizeWrittenByOneInstanceIsReadByItselfAndAnother) {
  Xvfb xvfb;
  ClipboardX11 a(xvfb.display()), b(xvfb.display());
  EXPECT_EQ(b.readText(), std::nullopt);  // nobody owns the clipboard yet

  const std::uint64_t before = b.changeCount();
  const std::string text = "Merhaba dünya — ğüşiöç ✓";
  const std::uint64_t written = a.writeText(text);
  EXPECT_GT(written, 0u);
  EXPECT_EQ(a.changeCount(), written);
  EXPECT_EQ(a.readText(), text);
  EXPECT_EQ(b.readText(), text);
  EXPECT_TRUE(countRisesAbove(b, before));

  // A second write is a change of its own, also seen by the other instance.
  const std::uint64_t seen = b.changeCount();
  EXPECT_GT(a.writeText(""), written);
  EXPECT_EQ(b.readText(), "");
  EXPECT_TRUE(countRisesAbove(b, seen));

  // A large text travels in chunks.
  std::string large(3 << 20, '\0');
  for (std::size_t i = 0; i < large.size(); ++i) large[i] = static_cast<char>('a' + (i * 7 + i / 1000) % 26);
  a.writeText(large);
  const auto read = b.readText();
  ASSERT_TRUE(read.has_value());
  EXPECT_EQ(read->size(), large.size());
  EXPECT_TRUE(*read == large);

  // The reader still works for small texts after a chunked transfer; the writer still serves.
  b.writeText("küçük");
  EXPECT_EQ(a.readText(), "küçük");
  EXPECT_TRUE(b.readText() == "küçük");
}

TEST(ClipboardX11, CallsReturnAtOnceWhenTheServerIsGone) {
  Xvfb xvfb;
  ClipboardX11 a(xvfb.display());
  const std::uint64_t written = a.writeText("son metin");
  xvfb.kill();
  EXPECT_EQ(a.readText(), std::nullopt);
  EXPECT_GE(a.writeText("kimse duymaz"), written);  // the dying server may still report our window's end
}

// Another program on the display: the targets it asks of us, its taking the clipboard over (a change,
// and the end of our ownership), and what comes back from owners that offer something else than clean
// UTF-8 text.
TEST(ClipboardX11, AnotherProgramAsksForTargetsTakesOverAndOnlyItsTextIsRead) {
  Xvfb xvfb;
  ClipboardX11 a(xvfb.display());
  OtherProgram other(xvfb.display());

  a.writeText("café");
  const auto targets = other.request("TARGETS");
  ASSERT_TRUE(targets.has_value());
  for (const char* target : {" TARGETS ", " UTF8_STRING ", " TEXT ", " STRING "})
    EXPECT_NE(targets->bytes.find(target), std::string::npos) << target << " missing from " << targets->bytes;
  EXPECT_EQ(other.request("STRING")->bytes, "caf\xE9");
  EXPECT_EQ(other.request("UTF8_STRING")->bytes, "café");
  EXPECT_EQ(other.request("TEXT")->type, "UTF8_STRING");
  EXPECT_EQ(other.request("image/png"), std::nullopt);

  const std::uint64_t written = a.writeText("ğ");  // no Latin-1 form: STRING is neither listed nor served
  EXPECT_EQ(other.request("TARGETS")->bytes.find(" STRING "), std::string::npos);
  EXPECT_EQ(other.request("STRING"), std::nullopt);

  other.takeClipboard();
  EXPECT_TRUE(countRisesAbove(a, written));
  // The new owner never answers: the read gives up with nothing instead of our old text.
  EXPECT_EQ(a.readText(), std::nullopt);

  auto readWhileServing = [&](const std::map<std::string, OtherProgram::Data>& offers) {
    auto reading = std::async(std::launch::async, [&] { return a.readText(); });
    other.serveUntil(reading, offers);
    return reading.get();
  };
  EXPECT_EQ(readWhileServing({{"image/png", {"image/png", "\x89PNG\r\n"}}}), std::nullopt);
  EXPECT_EQ(readWhileServing({{"UTF8_STRING", {"UTF8_STRING", "bozuk \xC3("}}}), std::nullopt);
  EXPECT_EQ(readWhileServing({{"STRING", {"STRING", "caf\xE9"}}}), "café");  // Latin-1 from an older program
  EXPECT_EQ(readWhileServing({{"UTF8_STRING", {"UTF8_STRING", "çalışır"}}, {"STRING", {"STRING", "x"}}}), "çalışır");
}

}  // namespace
}  // namespace pellora
