#include "platform/linux/clipboard_remote_desktop.h"

#include <gtest/gtest.h>

#include <atomic>
#include <mutex>
#include <thread>
#include <vector>

#include "platform/linux/mutter_remote_desktop.h"
#include "platform/linux/screen_capturer_pipewire.h"
#include "support/clipboard_sync.h"
#include "support/eventually.h"
#include "wayland_test_session.h"

namespace pellora {
namespace {

using test::eventually;

// One program's view of the compositor: its desktop and the clipboard over it.
struct Side {
  std::shared_ptr<MutterDesktop> desktop = std::make_shared<MutterDesktop>();
  ClipboardRemoteDesktop clipboard{desktop};
};

// Several remote-desktop sessions on the one headless compositor. Sessions opened here are published on
// their side's desktop and pumped by a thread of the test, as a capture's thread would.
class ClipboardRemoteDesktopTest : public test::WaylandSessionTest {
 protected:
  void TearDown() override {
    stop_ = true;
    if (pump_.joinable()) pump_.join();
    sessions_.clear();
  }

  std::shared_ptr<RemoteDesktopSession> open(Side* side = nullptr) {
    auto session = MutterDesktop().open(0);
    if (side) side->desktop->publish(session);
    std::lock_guard lock(mutex_);
    sessions_.push_back(session);
    if (!pump_.joinable()) pump_ = std::thread([this] { pump(); });
    return session;
  }

  // Offers something on the clipboard, waits for `reader` to count the change and reads.
  static std::optional<std::string> readOffer(Side& reader, const std::function<void()>& offer) {
    const std::uint64_t before = reader.clipboard.changeCount();
    offer();
    EXPECT_TRUE(eventually([&] { return reader.clipboard.changeCount() > before; }));
    return reader.clipboard.readText();
  }

 private:
  void pump() {
    while (!stop_) {
      {
        std::lock_guard lock(mutex_);
        for (const auto& s : sessions_) s->pollClosed();
      }
      std::this_thread::sleep_for(std::chrono::milliseconds(2));
    }
  }

  std::mutex mutex_;
  std::vector<std::shared_ptr<RemoteDesktopSession>> sessions_;
  std::atomic<bool> stop_{false};
  std::thread pump_;
};

TEST_F(ClipboardRemoteDesktopTest, TextCopiedThroughOneSessionIsReadThroughAnother) {
  Side a, b, c;
  // Before any session: nothing to read, and a write changes nothing.
  EXPECT_FALSE(a.clipboard.available());
  EXPECT_EQ(a.clipboard.readText(), std::nullopt);
  EXPECT_EQ(a.clipboard.writeText("lost"), 0u);

  // A's session comes from a capture, as in the host; B's is pumped by the test.
  ScreenCapturerPipeWire capturer(a.desktop);
  capturer.start(0, 1920, 30);
  open(&b);
  ASSERT_TRUE(a.clipboard.available());
  ASSERT_TRUE(b.clipboard.available());

  const std::string text = "Merhaba dünya — ✓";
  const std::uint64_t bBefore = b.clipboard.changeCount();
  const std::uint64_t written = a.clipboard.writeText(text);
  EXPECT_GT(written, 0u);
  ASSERT_TRUE(eventually([&] { return b.clipboard.changeCount() > bBefore; }));
  EXPECT_EQ(b.clipboard.readText(), text);
  EXPECT_EQ(a.clipboard.readText(), text);
  // The count A's write returned already includes its own change: nothing new for A to send back.
  EXPECT_EQ(a.clipboard.changeCount(), written);

  // A session that starts now does not count what was copied before it.
  open(&c);
  // The other way, larger than a pipe holds at once.
  std::string large;
  while (large.size() < 300'000) large += "satır " + std::to_string(large.size()) + " çğüşöı\n";
  const std::uint64_t aBefore = a.clipboard.changeCount();
  const std::uint64_t writtenBack = b.clipboard.writeText(large);
  ASSERT_TRUE(eventually([&] { return a.clipboard.changeCount() > aBefore && c.clipboard.changeCount() > 0; }));
  EXPECT_EQ(a.clipboard.readText(), large);
  EXPECT_EQ(b.clipboard.changeCount(), writtenBack);
  EXPECT_EQ(c.clipboard.changeCount(), 1u);
  EXPECT_EQ(c.clipboard.readText(), large);
  capturer.stop();
}

TEST_F(ClipboardRemoteDesktopTest, WhatIsNoUsableTextIsNotRead) {
  Side reader, writer;
  open(&reader);
  open(&writer);
  EXPECT_EQ(readOffer(reader, [&] { writer.clipboard.writeText("caf\xE9"); }), std::nullopt)
      << "Latin-1 labelled as UTF-8";
  // The reader stops once the text is too long, and the compositor then closes the writer's pipe: its
  // paste fails (EPIPE, no SIGPIPE) without harm.
  EXPECT_EQ(readOffer(reader, [&] { writer.clipboard.writeText(std::string(4 * ClipboardSync::maxText, 'a')); }),
            std::nullopt)
      << "longer than ClipboardSync::maxText";
  const std::shared_ptr<RemoteDesktopSession> other = open();
  EXPECT_EQ(readOffer(reader, [&] { other->setSelection({"image/png"}); }), std::nullopt) << "no text type";
  EXPECT_EQ(readOffer(reader, [&] { writer.clipboard.writeText("still fine"); }), "still fine");

  // An owner that never answers a paste: the read gives up.
  Side patient;
  open(&patient);
  other->setClipboardEvents({nullptr, [](const std::string&, std::uint32_t) {}});
  EXPECT_EQ(readOffer(patient, [&] { other->setSelection({"text/plain"}); }), std::nullopt)
      << "an owner that never answers";
}

}  // namespace
}  // namespace pellora
