// The windows' own rules with real model objects on a main strand: the bridge, the Connect tab's connect,
// and a session window without its session.

#include <gtest/gtest.h>

#include <QApplication>
#include <QLabel>
#include <QLineEdit>
#include <QPushButton>
#include <QTest>

#include "base/cpu_pool.h"
#include "base/network_thread.h"
#include "support/on_strand.h"
#include "support/settings_stack.h"
#include "ui/main_window.h"
#include "ui/remote_window.h"

namespace pellora::ui {
namespace {

// The viewer's settings and the models the windows show, on the network thread.
class DesktopWidgetsTest : public ::testing::Test {
 protected:
  ~DesktopWidgetsTest() override {
    // Sessions end on the strand before it stops.
    onStrand([this] {
      const auto sessions = viewers_->state().sessions;  // closing changes the store's own
      for (const auto& entry : sessions) viewers_->close(entry.first);
    });
    network_.stop();
    cpu_.stop();
  }
  template <typename Work>
  auto onStrand(Work work) -> std::invoke_result_t<Work&> {
    return test::onStrand(network_.mainStrand(), std::move(work));
  }
  MainModels mainModels(std::shared_ptr<Discovery> discovery, std::function<void(const std::string&)> opened = {}) {
    return {{settings_, {}}, viewers_, discovery, std::move(opened), nullptr, {}};
  }

  const std::shared_ptr<test::SettingsStack> stack_ = std::make_shared<test::SettingsStack>("pellora-ui");
  const std::shared_ptr<AppSettings> settings_{stack_, &stack_->settings};
  CpuPool cpu_;
  NetworkThread network_;
  std::shared_ptr<ViewerStore> viewers_ = std::make_shared<ViewerStore>(ViewerSession::Dependencies{
      .network = network_, .cpu = cpu_, .settings = *settings_, .platform = {}, .computerName = "test",
      .downloadDirectory = stack_->dir / "downloads"});
  ModelBridge bridge_{network_.mainStrand(), qApp};
};

TEST_F(DesktopWidgetsTest, BridgeShowsTheCurrentStateThenTheNewestUntilTheWidgetGoes) {
  auto* receiver = new QObject;
  std::vector<bool> seen;
  bridge_.watch(std::weak_ptr(settings_), receiver, [&](const AppSettings::State& state) {
    EXPECT_EQ(QThread::currentThread(), qApp->thread());
    seen.push_back(state.acceptFiles);
  });
  ASSERT_TRUE(QTest::qWaitFor([&] { return seen.size() == 1; }));
  bridge_.act(std::weak_ptr(settings_), [](AppSettings& s) { s.setAcceptFiles(false); });
  ASSERT_TRUE(QTest::qWaitFor([&] { return seen.size() == 2; }));
  // Changes faster than the GUI thread: it sees the newest state once.
  onStrand([this] {
    settings_->setAcceptFiles(true);
    settings_->setAcceptFiles(false);
    settings_->setAcceptFiles(true);
  });
  // A round trip through the strand: what it queued for the GUI thread before has been shown by then.
  const auto drained = [&] {
    bool done = false;
    bridge_.ask(std::weak_ptr(settings_), qApp, [](AppSettings&) { return 0; }, [&](int) { done = true; });
    return QTest::qWaitFor([&] { return done; });
  };
  ASSERT_TRUE(drained());
  EXPECT_EQ(seen, (std::vector<bool>{true, false, true}));
  delete receiver;
  onStrand([this] { settings_->setAcceptFiles(false); });
  ASSERT_TRUE(drained());
  EXPECT_EQ(seen.size(), 3u);
}

TEST_F(DesktopWidgetsTest, ConnectOpensATrimmedTargetAndRefusesNonsense) {
  std::vector<std::string> opened;
  ConnectTab tab(bridge_, mainModels(Discovery::make(network_.mainStrand(), nullptr),
                                     [&](const std::string& id) { opened.push_back(id); }));
  tab.address()->setText("two words");
  tab.password()->setText("parola-1");
  tab.connectNow();
  auto* error = tab.findChild<QLabel*>("error");
  ASSERT_NE(error, nullptr);
  EXPECT_EQ(error->text(), "Kimlik ya da adres anlaşılamadı.");
  EXPECT_EQ(tab.password()->text(), "parola-1");  // kept for a corrected address

  tab.address()->setText("  127.0.0.1:1 \n");
  tab.connectNow();
  ASSERT_TRUE(QTest::qWaitFor([&] { return opened.size() == 1; }));
  EXPECT_TRUE(tab.password()->text().isEmpty());
  EXPECT_TRUE(error->isHidden());
  EXPECT_TRUE(onStrand([&] { return viewers_->session(opened[0]) != nullptr; }));
  EXPECT_EQ(onStrand([&] { return settings_->state().recent; }), (std::vector<std::string>{"127.0.0.1:1"}));
}

TEST_F(DesktopWidgetsTest, SessionWindowWithoutItsSessionSaysSoAndNothingElse) {
  RemoteWindow window(bridge_, viewers_, "no-such-session", nullptr);
  ASSERT_TRUE(QTest::qWaitFor([&] { return window.findChild<QLabel*>() != nullptr; }));
  const auto labels = window.findChildren<QLabel*>();
  ASSERT_EQ(labels.size(), 1);
  EXPECT_EQ(labels[0]->text(), "Oturum bulunamadı");
  EXPECT_TRUE(window.findChildren<QPushButton*>().isEmpty());
}

}  // namespace
}  // namespace pellora::ui
