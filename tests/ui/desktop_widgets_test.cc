// The windows' own rules with real model objects on a main strand: the bridge, the Connect tab's
// connect, the unattended-access fields, the settings and Host tab layouts, and session windows, with and
// without their session, against a host on loopback.

#include <gtest/gtest.h>

#include <QApplication>
#include <QLabel>
#include <QLineEdit>
#include <QPushButton>
#include <QScrollArea>
#include <QScrollBar>
#include <QTest>

#include "base/cpu_pool.h"
#include "base/network_thread.h"
#include "host/null_input_event_sink.h"
#include "host/synthetic_screen_capturer.h"
#include "support/fake_power_inhibitor.h"
#include "support/null_clipboard.h"
#include "support/on_strand.h"
#include "support/settings_stack.h"
#include "ui/main_window.h"
#include "ui/remote_screen.h"
#include "ui/remote_window.h"
#include "ui/settings_view.h"

namespace pellora::ui {
namespace {

constexpr const char* hostPassword = "kahve-1234";

// Announces nothing: no test here needs the local network.
class QuietAdvertiser : public ServiceAdvertiser {
 public:
  void advertise(const std::string&, std::uint16_t) override {}
};

// The viewer's settings and the models the windows show, on the network thread; on demand a host on
// loopback, with settings of its own, that shares a small synthetic screen.
class DesktopWidgetsTest : public ::testing::Test {
 protected:
  ~DesktopWidgetsTest() override {
    // Sessions end on the strand before it stops.
    onStrand([this] {
      const auto sessions = viewers_->state().sessions;  // closing changes the store's own
      for (const auto& entry : sessions) viewers_->close(entry.first);
      if (host_) host_->stop();
    });
    if (host_) {
      EXPECT_TRUE(QTest::qWaitFor([&] { return onStrand([&] { return host_->session() == nullptr; }); }));
      onStrand([&] { host_.reset(); });
    }
    network_.stop();
    cpu_.stop();
  }
  template <typename Work>
  auto onStrand(Work work) -> std::invoke_result_t<Work&> {
    return test::onStrand(network_.mainStrand(), std::move(work));
  }
  SettingsModels models() { return {settings_, host_}; }
  MainModels mainModels(std::shared_ptr<Discovery> discovery, std::function<void(const std::string&)> opened = {}) {
    return {models(), viewers_, discovery, std::move(opened), nullptr, {}};
  }

  // The host, sharing (no approval, no relay) under the name "Masa".
  void startHost() {
    HostService::Options options;
    options.listen = {boost::asio::ip::make_address("127.0.0.1"), 0};
    options.computerName = "Masa";
    options.downloadDirectory = hostStack_.dir / "downloads";
    options.makeAdvertiser = [] { return std::make_unique<QuietAdvertiser>(); };
    HostPlatform platform;
    platform.makeCapturer = [] { return std::make_unique<SyntheticScreenCapturer>(SyntheticScreenCapturer::Options{320, 200}); };
    platform.makeInputSink = [] { return std::make_unique<NullInputEventSink>(PixelRect{0, 0, 320, 200}); };
    host_ = HostService::make({network_, cpu_, hostStack_.settings, identities_,
                               ClipboardSync::make(network_.mainStrand(), std::make_shared<NullClipboard>()),
                               std::make_shared<FakePowerInhibitor>(), nullptr, platform},
                              options);
    hostPort_ = onStrand([this] {
      hostStack_.settings.setRequireApproval(false);
      hostStack_.settings.setRelayEnabled(false);
      host_->setPassword(hostPassword);
      host_->start();
      return host_->listeningPort();
    });
  }
  // A viewer session of our own to the host.
  std::string openSession() {
    auto target = ViewerTarget::parse("127.0.0.1:" + std::to_string(hostPort_));
    return onStrand([&] { return viewers_->open(*target, hostPassword); });
  }

  const std::shared_ptr<test::SettingsStack> stack_ = std::make_shared<test::SettingsStack>("pellora-ui");
  const std::shared_ptr<AppSettings> settings_{stack_, &stack_->settings};
  test::SettingsStack hostStack_{"pellora-ui-host"};
  RelayIdentityStore identities_{hostStack_.secrets, hostStack_.settingsFile};
  CpuPool cpu_;
  NetworkThread network_;
  std::shared_ptr<ViewerStore> viewers_ = std::make_shared<ViewerStore>(ViewerSession::Dependencies{
      .network = network_, .cpu = cpu_, .settings = *settings_, .platform = {}, .computerName = "test",
      .downloadDirectory = stack_->dir / "downloads"});
  std::shared_ptr<HostService> host_;
  std::uint16_t hostPort_ = 0;
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

TEST_F(DesktopWidgetsTest, PermanentPasswordFieldsFollowTheRulesInAWindowThatNeedsNoScrolling) {
  onStrand([&] { settings_->setRelayEnabled(true); });
  SettingsView view(bridge_, models());
  view.resize(640, 540);
  view.show();
  ASSERT_TRUE(QTest::qWaitFor([&] { return view.findChild<QLineEdit*>() && !view.findChildren<QLineEdit*>()[0]->isHidden(); }));
  view.firstPassword()->setText("12345678");
  view.secondPassword()->setText("1234567");
  EXPECT_FALSE(view.saveButton()->isEnabled());
  EXPECT_FALSE(view.mismatchLabel()->isHidden());
  QApplication::processEvents();
  EXPECT_EQ(view.findChild<QScrollArea*>()->verticalScrollBar()->maximum(), 0);

  view.secondPassword()->setText("12345678");
  EXPECT_TRUE(view.mismatchLabel()->isHidden());
  ASSERT_TRUE(view.saveButton()->isEnabled());
  view.saveButton()->click();
  EXPECT_TRUE(view.firstPassword()->text().isEmpty());
  ASSERT_TRUE(QTest::qWaitFor([&] { return onStrand([&] { return settings_->state().hasPermanentPassword; }); }));
  EXPECT_EQ(stack_->permanent.load(), "12345678");
}

TEST_F(DesktopWidgetsTest, PermissionsCardAsksUntilTheSystemHasGranted) {
  bool granted = false;
  int asked = 0;
  HostTab tab(bridge_, models(), nullptr, PermissionSource{[&] { return Permissions{granted, granted}; }, [&] { ++asked; }});
  tab.show();
  auto* card = tab.findChild<QWidget*>("permissionsCard");
  ASSERT_TRUE(card);
  EXPECT_FALSE(card->isHidden());
  for (auto* b : card->findChildren<QPushButton*>())
    if (b->accessibleName() == "Ekran Kaydı izni ver") b->click();
  EXPECT_EQ(asked, 1);
  // The answer shows on the tab's next refresh.
  granted = true;
  ASSERT_TRUE(QTest::qWaitFor([&] { return card->isHidden(); }, 5000));
}

TEST_F(DesktopWidgetsTest, HostTabKeepsItsButtonInViewWithASessionAndItsChatOpen) {
  startHost();
  MainWindow window(bridge_, mainModels(Discovery::make(network_.mainStrand(), nullptr)));
  window.resize(900, 640);
  window.show();
  window.selectTab(1);
  openSession();
  HostTab* tab = window.hostTab();
  const auto button = [&](const QString& text) -> QPushButton* {
    for (auto* b : tab->findChildren<QPushButton*>())
      if (b->text().startsWith(text) && b->isVisible()) return b;
    return nullptr;
  };
  ASSERT_TRUE(QTest::qWaitFor([&] { return button("Sohbet") != nullptr; }, 30000));
  button("Sohbet")->click();
  QApplication::processEvents();
  QPushButton* share = button("Paylaşımı durdur");
  ASSERT_TRUE(share);
  const QRect shown(share->mapTo(tab, QPoint(0, 0)), share->size());
  EXPECT_TRUE(tab->rect().contains(shown)) << shown.y() << "+" << shown.height() << " of " << tab->height();
  EXPECT_TRUE(tab->findChild<ChatPanel*>()->isVisible());
}

// Typing into a connected session window is the end-to-end desktop test's; here, the keyboard coming back
// to the screen when the window is left and entered again.
TEST_F(DesktopWidgetsTest, SessionScreenTakesTheKeyboardOnEveryReturn) {
  startHost();
  const std::string id = openSession();
  RemoteWindow window(bridge_, viewers_, id, nullptr);
  window.show();
  window.activateWindow();
  ASSERT_TRUE(QTest::qWaitForWindowActive(&window));
  RemoteScreen* screen = nullptr;
  ASSERT_TRUE(QTest::qWaitFor([&] { return (screen = window.findChild<RemoteScreen*>()) != nullptr; }));
  ASSERT_TRUE(QTest::qWaitFor([&] { return screen->hasFocus(); }, 30000));

  QWidget other;
  other.show();
  other.activateWindow();
  ASSERT_TRUE(QTest::qWaitForWindowActive(&other));
  EXPECT_FALSE(screen->hasFocus());
  window.activateWindow();
  ASSERT_TRUE(QTest::qWaitForWindowActive(&window));
  EXPECT_TRUE(screen->hasFocus());
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
