// The windows' own rules with real model objects on a main strand: the bridge, the Connect tab's
// connect, the unattended-access fields, a session window without its session.

#include <gtest/gtest.h>
#include <stdlib.h>

#include <QApplication>
#include <QLabel>
#include <QLineEdit>
#include <QPushButton>
#include <QTest>
#include <boost/asio/post.hpp>
#include <boost/asio/use_future.hpp>
#include <filesystem>

#include "base/cpu_pool.h"
#include "base/network_thread.h"
#include "support/secret_store.h"
#include "support/temp_dir.h"
#include "ui/main_window.h"
#include "ui/remote_window.h"
#include "ui/settings_view.h"

namespace pellora::ui {
namespace {

namespace fs = std::filesystem;

// A settings file and secrets of the test's own, the network thread and the models the windows show.
class DesktopWidgetsTest : public ::testing::Test {
 protected:
  DesktopWidgetsTest() {
    secrets_ = std::make_unique<FileSecretStore>(root_ / "secrets.json");
    file_ = std::make_unique<SettingsFile>(root_ / "settings.json");
    passwords_ = std::make_shared<PermanentPasswordStore>(*secrets_);
    settings_ = std::make_shared<AppSettings>(*file_, *passwords_, root_ / "autostart" / "pellora.desktop");
    viewers_ = std::make_shared<ViewerStore>(ViewerSession::Dependencies{
        .network = network_, .cpu = cpu_, .settings = *settings_, .platform = {}, .computerName = "test",
        .downloadDirectory = root_ / "downloads"});
  }
  template <typename Work>
  auto onStrand(Work work) {
    return boost::asio::post(network_.mainStrand(), boost::asio::use_future(std::move(work))).get();
  }

  ~DesktopWidgetsTest() override {
    // Sessions end on the strand before it stops.
    onStrand([this] {
      const auto sessions = viewers_->state().sessions;
      for (const auto& entry : sessions) viewers_->close(entry.first);
      return 0;
    });
    network_.stop();
    cpu_.stop();
  }

  test::TempDir folder_{"pellora-ui"};
  fs::path root_ = folder_.path;
  std::unique_ptr<SecretStore> secrets_;
  std::unique_ptr<SettingsFile> file_;
  std::shared_ptr<PermanentPasswordStore> passwords_;
  std::shared_ptr<AppSettings> settings_;
  CpuPool cpu_;
  NetworkThread network_;
  std::shared_ptr<ViewerStore> viewers_;
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
  EXPECT_EQ(seen, (std::vector<bool>{true, false}));
  // Changes faster than the GUI thread: it sees the newest state once.
  onStrand([this] {
    settings_->setAcceptFiles(true);
    settings_->setAcceptFiles(false);
    settings_->setAcceptFiles(true);
    return 0;
  });
  ASSERT_TRUE(QTest::qWaitFor([&] { return seen.size() == 3; }));
  QTest::qWait(50);
  EXPECT_EQ(seen, (std::vector<bool>{true, false, true}));
  delete receiver;
  onStrand([this] {
    settings_->setAcceptFiles(false);
    return 0;
  });
  QTest::qWait(50);
  EXPECT_EQ(seen.size(), 3u);
}

TEST_F(DesktopWidgetsTest, ConnectOpensATrimmedTargetAndRefusesNonsense) {
  std::vector<std::string> opened;
  auto discovery = Discovery::make(network_.mainStrand(), nullptr);
  ConnectTab tab(bridge_,
                 MainModels{SettingsModels{settings_, {}, passwords_}, viewers_, discovery, "test",
                            [&](const std::string& id) { opened.push_back(id); }, nullptr, {}});
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

TEST_F(DesktopWidgetsTest, PermanentPasswordFieldsFollowTheRules) {
  SettingsView view(bridge_, SettingsModels{settings_, {}, passwords_});
  view.firstPassword()->setText("1234567");
  EXPECT_TRUE(view.mismatchLabel()->isHidden());  // nothing typed in the second field yet
  view.secondPassword()->setText("1234567");
  EXPECT_FALSE(view.saveButton()->isEnabled());
  view.firstPassword()->setText("12345678");
  EXPECT_FALSE(view.mismatchLabel()->isHidden());
  view.secondPassword()->setText("12345678");
  EXPECT_TRUE(view.mismatchLabel()->isHidden());
  ASSERT_TRUE(view.saveButton()->isEnabled());
  view.saveButton()->click();
  EXPECT_TRUE(view.firstPassword()->text().isEmpty());
  ASSERT_TRUE(QTest::qWaitFor([&] { return onStrand([&] { return settings_->state().hasPermanentPassword; }); }));
  EXPECT_EQ(passwords_->load(), "12345678");
}

TEST_F(DesktopWidgetsTest, PermissionsCardAsksUntilTheSystemHasGranted) {
  bool granted = false;
  int asked = 0;
  HostTab tab(bridge_, SettingsModels{settings_, {}, passwords_}, nullptr,
              PermissionSource{[&] { return Permissions{granted, granted}; }, [&] { ++asked; }});
  tab.show();
  auto* card = tab.findChild<QWidget*>("permissionsCard");
  ASSERT_TRUE(card);
  EXPECT_FALSE(card->isHidden());
  QPushButton* screen = nullptr;
  for (auto* b : card->findChildren<QPushButton*>())
    if (b->accessibleName() == "Ekran Kaydı izni ver") screen = b;
  ASSERT_TRUE(screen);
  screen->click();
  EXPECT_EQ(asked, 1);
  // The answer shows on the tab's next refresh.
  granted = true;
  ASSERT_TRUE(QTest::qWaitFor([&] { return card->isHidden(); }, 5000));
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
