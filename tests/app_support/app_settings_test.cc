#include "support/app_settings.h"

#include <gtest/gtest.h>

#include <boost/asio/co_spawn.hpp>
#include <boost/asio/io_context.hpp>
#include <boost/asio/use_future.hpp>

#include "base/process_queues.h"
#include "support/atomic_file.h"
#include "support/temp_dir.h"

namespace pellora {
namespace {

namespace fs = std::filesystem;

// A settings file, a secret store and an autostart folder of the test's own, removed afterwards.
class AppSettingsTest : public ::testing::Test {
 protected:
  AppSettingsTest() { reopen(); }
  fs::path settingsPath() const { return root_ / "pellora" / "settings.json"; }
  fs::path autostartPath() const { return root_ / "autostart" / "pellora.desktop"; }

  // A fresh process: everything read again from the files.
  void reopen() {
    settings_.reset();
    file_ = std::make_unique<SettingsFile>(settingsPath());
    settings_ = std::make_unique<AppSettings>(*file_, passwords_, autostartPath());
  }
  AppSettings& settings() { return *settings_; }
  // Runs one of the settings' coroutines to its end here (they resume on the executor that awaits them).
  template <typename T>
  T finish(boost::asio::awaitable<T> work) {
    boost::asio::io_context io;
    auto done = boost::asio::co_spawn(io, std::move(work), boost::asio::use_future);
    io.run();
    return done.get();
  }
  SettingsFile& file() { return *file_; }

  const test::TempDir folder_{"pellora-settings"};
  const fs::path root_ = folder_.path;
  FileSecretStore secrets_{root_ / "secrets.json"};
  PermanentPasswordStore passwords_{secrets_};
  std::unique_ptr<SettingsFile> file_;
  std::unique_ptr<AppSettings> settings_;
};

TEST_F(AppSettingsTest, StoredValuesOfAnUnknownKindReadAsTheDefaults) {
  file().set("quality", "ultra");
  file().set("relayEnabled", "yes");
  file().set("recent", boost::json::array{"192.168.1.20", 7, "123 456 789"});
  reopen();
  EXPECT_EQ(settings().state().quality, Quality::balanced);
  EXPECT_TRUE(settings().state().relayEnabled);
  EXPECT_EQ(settings().state().recent, (std::vector<std::string>{"192.168.1.20", "123 456 789"}));

  file().set("quality", "low");
  reopen();
  EXPECT_EQ(settings().state().quality, Quality::low);
}

TEST_F(AppSettingsTest, RememberKeepsTheEightNewestDistinctTargetsNewestFirst) {
  for (const char* target : {"c", "b", "a"}) settings().remember(target);
  EXPECT_EQ(settings().state().recent, (std::vector<std::string>{"a", "b", "c"}));
  settings().remember("b");
  EXPECT_EQ(settings().state().recent, (std::vector<std::string>{"b", "a", "c"}));

  for (const char* target : {"d", "e", "f", "g", "h", "i"}) settings().remember(target);
  EXPECT_EQ(settings().state().recent, (std::vector<std::string>{"i", "h", "g", "f", "e", "d", "b", "a"}));
  reopen();
  EXPECT_EQ(settings().state().recent, (std::vector<std::string>{"i", "h", "g", "f", "e", "d", "b", "a"}));
}

TEST_F(AppSettingsTest, EveryChangeIsNotifiedAndSurvivesARestart) {
  int notified = 0;
  settings().published().subscribe([&](const AppSettings::State&) { ++notified; });
  settings().setRelayURL("https://relay.example.test:8443");
  settings().setRelayEnabled(false);
  settings().setRequireApproval(false);
  settings().setQuality(Quality::high);
  settings().setSwapCommandControl(false);
  settings().setSyncClipboard(false);
  settings().setSkipApprovalForPermanent(true);
  settings().setAcceptFiles(false);
  settings().setRequireHandshakeV2(true);
  settings().remember("10.0.0.5:7171");
  settings().pinHandshakeV2("relay:123456789");
  EXPECT_EQ(notified, 11);

  finish(settings().setPermanentPassword("kalıcı parola"));
  const AppSettings::State before = settings().state();
  EXPECT_TRUE(before.hasPermanentPassword);
  reopen();
  EXPECT_EQ(settings().state(), before);
  EXPECT_EQ(settings().permanentPassword(), "kalıcı parola");
}

TEST_F(AppSettingsTest, PinsLiveInTheirOwnFileWhenOneIsGiven) {
  // A run whose settings are a copy keeps its pins in the user's file, where other pins already are.
  SettingsFile user(root_ / "user.json");
  user.set("handshakeV2Pins", boost::json::array{"tcp:10.0.0.5:7171"});
  settings().keepPinsIn(user);
  EXPECT_TRUE(settings().isPinnedToHandshakeV2("tcp:10.0.0.5:7171"));

  SettingsFile(root_ / "user.json").set("handshakeV2Pins", boost::json::array{"tcp:10.0.0.5:7171", "relay:1"});
  settings().pinHandshakeV2("relay:2");
  settings().pinHandshakeV2("relay:2");
  EXPECT_EQ(settings().state().handshakeV2Pins, (std::vector<std::string>{"tcp:10.0.0.5:7171", "relay:2"}));
  storageQueue().waitUntilIdle();  // where the file is merged
  EXPECT_EQ(SettingsFile(root_ / "user.json").get("handshakeV2Pins"), boost::json::value(boost::json::array{
                                                                          "tcp:10.0.0.5:7171", "relay:1", "relay:2"}))
      << "pins another process added stay, none twice";
  EXPECT_FALSE(file().get("handshakeV2Pins")) << "the run's own copy is left alone";
}

TEST_F(AppSettingsTest, LaunchAtLoginWritesAndRemovesTheAutostartEntry) {
  EXPECT_EQ(finish(settings().setLaunchAtLogin(true, "/opt/Pellora Uygulama/pellora")), std::nullopt);
  EXPECT_TRUE(settings().state().launchAtLogin);
  const std::string entry = readFile(autostartPath()).value_or("");
  EXPECT_TRUE(entry.starts_with("[Desktop Entry]\n")) << entry;
  EXPECT_NE(entry.find("\nExec=\"/opt/Pellora Uygulama/pellora\"\n"), std::string::npos) << entry;
  reopen();
  EXPECT_TRUE(settings().state().launchAtLogin);

  EXPECT_EQ(finish(settings().setLaunchAtLogin(false)), std::nullopt);
  EXPECT_FALSE(settings().state().launchAtLogin);
  EXPECT_FALSE(fs::exists(autostartPath()));
  reopen();
  EXPECT_FALSE(settings().state().launchAtLogin);
}

TEST_F(AppSettingsTest, AnAutostartEntryThatCannotBeWrittenIsReportedAndNotClaimed) {
  ASSERT_TRUE(writeFileAtomically(root_ / "autostart", "a file where the folder should be"));
  const auto error = finish(settings().setLaunchAtLogin(true));
  ASSERT_TRUE(error.has_value());
  EXPECT_FALSE(error->empty());
  EXPECT_FALSE(settings().state().launchAtLogin);
}

}  // namespace
}  // namespace pellora
