#include "support/clipboard_sync.h"

#include <gtest/gtest.h>

#include <future>
#include <vector>

#include "support/fake_clipboard.h"

namespace pellora {
namespace {

class ClipboardSyncTest : public ::testing::Test {
 protected:
  ClipboardSyncTest() : clipboard_(std::make_shared<FakeClipboard>()) {
    clipboard_->copy("kopyalanmış önceden");
    sync_ = ClipboardSync::make(boost::asio::make_strand(io_), clipboard_);
    sync_->onLocalChange = [this](const std::string& text) { sent_.push_back(text); };
  }

  // Another program copies `text` (nothing: an image) and the sync polls once.
  void copied(std::optional<std::string> text) {
    clipboard_->copy(std::move(text));
    sync_->poll();
    settle();
  }
  // Lets the clipboard queue finish what was asked and delivers its answers on the strand.
  void settle() {
    ClipboardSync::waitUntilIdle();
    io_.restart();
    io_.poll();
  }

  boost::asio::io_context io_;
  std::shared_ptr<FakeClipboard> clipboard_;
  std::shared_ptr<ClipboardSync> sync_;
  std::vector<std::string> sent_;
};

TEST_F(ClipboardSyncTest, OnlyNonEmptyTextUpToTheLimitIsSent) {
  sync_->start();
  sync_->poll();
  settle();
  EXPECT_TRUE(sent_.empty());  // copied before the session

  copied("");
  copied(std::nullopt);  // an image
  std::string tooLong(ClipboardSync::maxText, 'a');
  tooLong.back() = '\xC4';
  tooLong += '\x9F';  // "ğ" at the end: 1,048,577 bytes, fewer characters
  copied(tooLong);
  EXPECT_TRUE(sent_.empty());

  std::string longest;
  for (std::size_t i = 0; i < ClipboardSync::maxText / 2; ++i) longest += "ğ";
  clipboard_->copy(longest);
  sync_->poll();
  sync_->poll();  // no new change: nothing more
  settle();
  ASSERT_EQ(sent_.size(), 1u);
  EXPECT_EQ(sent_[0].size(), ClipboardSync::maxText);
}

TEST_F(ClipboardSyncTest, TextFromThePeerIsNotSentBack) {
  sync_->start();
  sync_->writeFromPeer("uzaktan gelen");
  settle();
  EXPECT_EQ(clipboard_->text(), "uzaktan gelen");
  EXPECT_EQ(sync_->changeCount(), clipboard_->changeCount());
  sync_->poll();
  settle();
  EXPECT_TRUE(sent_.empty());

  copied("yerel");
  EXPECT_EQ(sent_, std::vector<std::string>{"yerel"});
}

TEST_F(ClipboardSyncTest, TheTimerPollsUntilStopped) {
  sync_->onLocalChange = [this](const std::string& text) {
    sent_.push_back(text);
    sync_->stop();
    clipboard_->copy("durduktan sonra");
  };
  sync_->start();
  clipboard_->copy("zamanlayıcı");
  // Stopped from its own callback, the timer lets go of the context, which then runs out of work.
  io_.run_for(std::chrono::seconds(10));
  EXPECT_TRUE(io_.stopped()) << "the timer still polls";
  EXPECT_EQ(sent_, std::vector<std::string>{"zamanlayıcı"});

  // A restart forgets what was copied while stopped.
  sync_->start();
  sync_->poll();
  settle();
  EXPECT_EQ(sent_.size(), 1u);
}

// An owner that takes its time answering holds the clipboard queue, never the strand; what it finally
// answers after the sync stopped is not sent.
TEST_F(ClipboardSyncTest, ASlowOwnerHoldsNeitherTheStrandNorAStoppedSync) {
  class SlowClipboard final : public FakeClipboard {
   public:
    std::optional<std::string> readText() override {
      answer.wait();
      return FakeClipboard::readText();
    }
    std::shared_future<void> answer;
  };
  auto slow = std::make_shared<SlowClipboard>();
  std::promise<void> release;
  slow->answer = release.get_future().share();
  auto sync = ClipboardSync::make(boost::asio::make_strand(io_), slow);
  sync->onLocalChange = [this](const std::string& text) { sent_.push_back(text); };
  sync->start();
  slow->copy("yavaş");
  sync->poll();  // returns while the read waits
  bool strandRan = false;
  boost::asio::post(io_, [&] { strandRan = true; });
  io_.restart();
  io_.poll();
  EXPECT_TRUE(strandRan);
  sync->stop();
  sync.reset();  // the queue's job keeps the clipboard
  release.set_value();
  settle();
  EXPECT_TRUE(sent_.empty());
}

}  // namespace
}  // namespace pellora
