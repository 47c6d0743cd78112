#include "platform/linux/clipboard_x11.h"

#include <gtest/gtest.h>
#include <xcb/xcb.h>

#include <chrono>
#include <cstring>
#include <thread>

#include "core/transport_error.h"
#include "support/xvfb.h"

namespace pellora {
namespace {

using test::Xvfb;

// Waits (a few seconds at most) until `clipboard` has seen a change count above `than`.
bool countRisesAbove(Clipboard& clipboard, std::uint64_t than) {
  const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(5);
  while (clipboard.changeCount() <= than) {
    if (std::chrono::steady_clock::now() > deadline) return false;
    std::this_thread::sleep_for(std::chrono::milliseconds(10));
  }
  return true;
}

// Another program that takes CLIPBOARD and never answers a request for it.
class SilentOwner {
 public:
  explicit SilentOwner(const std::string& display) : c_(xcb_connect(display.c_str(), nullptr)) {
    const xcb_screen_t* screen = xcb_setup_roots_iterator(xcb_get_setup(c_)).data;
    const xcb_window_t window = xcb_generate_id(c_);
    xcb_create_window(c_, XCB_COPY_FROM_PARENT, window, screen->root, 0, 0, 1, 1, 0, XCB_WINDOW_CLASS_INPUT_ONLY,
                      XCB_COPY_FROM_PARENT, 0, nullptr);
    auto* atom = xcb_intern_atom_reply(c_, xcb_intern_atom(c_, 0, 9, "CLIPBOARD"), nullptr);
    xcb_set_selection_owner(c_, window, atom->atom, XCB_CURRENT_TIME);
    std::free(atom);
    std::free(xcb_get_input_focus_reply(c_, xcb_get_input_focus(c_), nullptr));  // a round trip: done
  }
  ~SilentOwner() { xcb_disconnect(c_); }

 private:
  xcb_connection_t* c_;
};

TEST(ClipboardX11, NoDisplayIsAConnectFailure) {
  EXPECT_THROW(ClipboardX11(":4093"), TransportError);
}

TEST(ClipboardX11, TextWrittenByOneInstanceIsReadByItselfAndAnother) {
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
}

TEST(ClipboardX11, LargeTextTravelsInChunks) {
  Xvfb xvfb;
  ClipboardX11 a(xvfb.display()), b(xvfb.display());
  std::string text(3 << 20, '\0');
  for (std::size_t i = 0; i < text.size(); ++i) text[i] = static_cast<char>('a' + (i * 7 + i / 1000) % 26);
  a.writeText(text);
  const auto read = b.readText();
  ASSERT_TRUE(read.has_value());
  EXPECT_EQ(read->size(), text.size());
  EXPECT_TRUE(*read == text);

  // The reader still works for small texts after a chunked transfer; the writer still serves.
  b.writeText("küçük");
  EXPECT_EQ(a.readText(), "küçük");
  EXPECT_TRUE(b.readText() == "küçük");
}

TEST(ClipboardX11, AnotherProgramTakingTheClipboardIsAChangeAndEndsOurOwnership) {
  Xvfb xvfb;
  ClipboardX11 a(xvfb.display());
  const std::uint64_t written = a.writeText("bizim metin");
  SilentOwner other(xvfb.display());
  EXPECT_TRUE(countRisesAbove(a, written));
  // The new owner never answers: the read gives up with nothing instead of our old text.
  EXPECT_EQ(a.readText(), std::nullopt);
}

}  // namespace
}  // namespace pellora
