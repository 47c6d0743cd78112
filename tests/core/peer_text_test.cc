#include "core/peer_text.h"

#include <gtest/gtest.h>

#include "core/file_names.h"

namespace pellora {
namespace {

TEST(PeerText, TerminalLinesShowControlsAsEscapes) {
  struct Case {
    std::string in, out;
  };
  const Case cases[] = {
      {"Ayşe'nin Mac'i — 日本 👩‍👩‍👧", "Ayşe'nin Mac'i — 日本 👩‍👩‍👧"},  // joiners stay
      {"\x1b]0;pwned\x07", "\\x1b]0;pwned\\x07"},                      // window title
      {"a\x1b[2K\rHatalı parola", "a\\x1b[2K\\rHatalı parola"},        // erase line, carriage return
      {"x\ny\tz", "x\\ny\\tz"},
      {std::string("nul\0del\x7f", 8), "nul\\x00del\\x7f"},
      {"\xc2\x9b" "31m", "\\u{009B}31m"},                                // C1 CSI
      {"\xc2\x85", "\\u{0085}"},                                         // next line
      {"rapor\u202Efdp.exe", "rapor\\u{202E}fdp.exe"},
      {"\u200E\u200F\u061C\u202A\u2066\u2069\u2028\u2029\uFEFF", "\\u{200E}\\u{200F}\\u{061C}\\u{202A}\\u{2066}\\u{2069}"
                                                                   "\\u{2028}\\u{2029}\\u{FEFF}"},
      {"\xff\xc3", "\\xff\\xc3"},                                        // not UTF-8: bytes, visibly
      {"\xed\xa0\x80", "\\xed\\xa0\\x80"},                               // an encoded surrogate
      {"ok\\x1b", "ok\\x1b"},                                            // a backslash stays itself
  };
  for (const auto& c : cases) EXPECT_EQ(PeerText::forTerminal(c.in), c.out) << c.out;
}

TEST(PeerText, ReceivedFileNamesLoseEveryControl) {
  EXPECT_EQ(FileNames::sanitize("foto\u202Egpj.exe"), "fotogpj.exe");
  EXPECT_EQ(FileNames::sanitize("\u2066rapor\u2069 \xc2\x9b.pdf"), "rapor .pdf");
  EXPECT_EQ(FileNames::sanitize("not\u200Dlar.txt"), "not\u200Dlar.txt");
  EXPECT_FALSE(FileNames::sanitize("\u202E\u200F"));  // nothing left
  EXPECT_FALSE(FileNames::sanitize("bozuk\xff.txt"));  // not UTF-8
}

}  // namespace
}  // namespace pellora
