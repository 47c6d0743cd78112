#pragma once

// Text that came from a peer (names, chat, file names, reasons) is shown as text: nothing in it may steer
// the terminal or reorder what is around it. The one place that decides which characters those are.

#include <string>
#include <string_view>

namespace pellora::PeerText {

// Code points that act on the text around them instead of being shown: C0 and C1 controls, DEL, the
// bidirectional marks, embeddings, overrides and isolates, the line and paragraph separators and the
// other invisible format controls of the same blocks (U+2060-206F, U+FEFF, U+FFF9-FFFB). Zero-width
// joiners and non-joiners stay: scripts and emoji need them.
bool isControl(char32_t c);

// `text` for one terminal line: each such code point written as a visible escape ("\n", "\r", "\t",
// "\x1b" below 0x80, "\u{202E}" above), and each byte that is not part of valid UTF-8 as "\xNN".
std::string forTerminal(std::string_view text);

}  // namespace pellora::PeerText
