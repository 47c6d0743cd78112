// The windows' own rules with real model objects on a main strand: the bridge, the Connect tab's
// connect and its nearby list, and a session window without its session.

#include <gtest/gtest.h>

#include <QApplication>
#include <QLabel>
#include <QLineEdit>
#include <QPushButton>
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
#include "ui/remote_window.h"
#include "viewer/fake_service_browser.h"

namespace pellora::ui {
namespace {

// Announces nothing; the test plays the mDNS daemon's part by calling `onName`.
class QuietAdvertiser : public ServiceAdvertiser {
 public:
  void advertise(const std::string&, std::uint16_t) override {}
};

// The viewer's settings and the models the windows show, on the network thread; on demand a host on
// loopback with settings of its own.
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

  // The host, sharing (no relay) under the name "Masa".
  void startHost() {
    HostService::Options options;
    options.listen = {boost::asio::ip::make_address("127.0.0.1"), 0};
    options.computerName = "Masa";
    options.downloadDirectory = hostStack_.dir / "downloads";
    options.makeAdvertiser = [this] {
      auto made = std::make_unique<QuietAdvertiser>();
      advertiser_ = made.get();
      return made;
    };
    HostPlatform platform;
    platform.makeCapturer = [] { return std::make_unique<SyntheticScreenCapturer>(SyntheticScreenCapturer::Options{320, 200}); };
    platform.makeInputSink = [] { return std::make_unique<NullInputEventSink>(PixelRect{0, 0, 320, 200}); };
    host_ = HostService::make({network_, cpu_, hostStack_.settings, identities_,
                               ClipboardSync::make(network_.mainStrand(), std::make_shared<NullClipboard>()),
                               std::make_shared<FakePowerInhibitor>(), nullptr, platform},
                              options);
    onStrand([this] {
      hostStack_.settings.setRelayEnabled(false);
      host_->start();
    });
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
  ServiceAdvertiser* advertiser_ = nullptr;
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

TEST_F(DesktopWidgetsTest, NearbyDevicesLeaveOutOurServiceUnderTheNameItIsAnnouncedWith) {
  startHost();
  auto* browser = new FakeServiceBrowser;
  auto discovery = Discovery::make(network_.mainStrand(), std::unique_ptr<ServiceBrowser>(browser));
  ConnectTab tab(bridge_, mainModels(discovery));
  const auto listed = [&] {
    QStringList names;
    for (auto* card : tab.findChildren<DeviceCard*>())
      if (card->accessibleName().endsWith(" cihazını seç") && card->findChild<QLabel*>()) names << card->accessibleName();
    names.sort();
    return names;
  };
  tab.startDiscovery();
  ASSERT_TRUE(QTest::qWaitFor([&] { return onStrand([&] { return browser->startCalls == 1; }); }));
  // Another machine was called "Masa" first: the mDNS daemon renamed our service.
  onStrand([&] { browser->report({{"Masa", "10.0.0.2", 7171}, {"Masa #2", "10.0.0.5", 7171}}); });
  ASSERT_TRUE(QTest::qWaitFor([&] { return listed() == QStringList{"Masa #2 cihazını seç"}; }));
  advertiser_->onName("Masa #2");
  EXPECT_TRUE(QTest::qWaitFor([&] { return listed() == QStringList{"Masa cihazını seç"}; })) << listed().join(", ").toStdString();
  // Sharing off: nothing announced is ours.
  onStrand([&] { host_->stop(); });
  EXPECT_TRUE(QTest::qWaitFor([&] { return listed() == (QStringList{"Masa #2 cihazını seç", "Masa cihazını seç"}); }));
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
