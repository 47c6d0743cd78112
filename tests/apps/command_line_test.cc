#include "cli/command_line.h"

#include <gtest/gtest.h>

#include "cli/run_settings.h"
#include "support/app_settings.h"
#include "support/atomic_file.h"
#include "support/secret_store.h"
#include "support/temp_dir.h"

namespace pellora::cli {
namespace {

ParsedCommandLine parse(std::vector<std::string> arguments) { return parseCommandLine(arguments); }

TEST(CommandLineTest, WithoutCommandStartsTheDesktopAppAndHostDefaultsLeaveTheSettingsAlone) {
  EXPECT_TRUE(std::holds_alternative<DesktopCommand>(parse({}).command));
  EXPECT_EQ(parse({"--help"}).exitCode, 0);
  EXPECT_EQ(parse({"share"}).exitCode, 2);

  // Options not given override nothing: the run keeps the user's settings.
  auto parsed = parse({"host"});
  auto* host = std::get_if<HostCommand>(&parsed.command);
  ASSERT_NE(host, nullptr);
  EXPECT_FALSE(host->listen || host->password || host->relayURL || host->quality || host->requireApproval);
}

// Each refused with the usage exit code and a line naming the command.
TEST(CommandLineTest, CommandsRefuseArgumentsTheyCannotUse) {
  for (const auto& arguments : std::vector<std::vector<std::string>>{
           {"host", "--relay", "http://r", "--no-relay"},
           {"host", "--relay", "relay.example.org"},
           {"host", "--quality", "best"},
           {"host", "--approve", "sometimes"},
           {"host", "--source", "Wayland"},
           {"host", "--source", "automatic"},
           {"host", "--source", "synthetic:1281x720"},
           {"host", "--source", "synthetic:0x0"},
           {"host", "--source", "synthetic:1280"},
           {"host", "--listen", "127.0.0.1"},
           {"host", "--listen", "127.0.0.1:70000"},
           {"host", "--listen", "localhost:7171"},
           {"host", "--frobnicate"},
           {"host", "extra"},
           {"connect", "--headless"},
           {"connect", "two words", "--headless"},
           {"connect", "127.0.0.1", "--headless", "--seconds", "0"},
           {"connect", "127.0.0.1", "--headless", "--seconds", "soon"},
           {"connect", "127.0.0.1", "--headless", "--codec", "vp9"},
           {"connect", "127.0.0.1", "other", "--headless"},
       }) {
    const std::string line = testing::PrintToString(arguments);
    auto parsed = parseCommandLine(arguments);
    EXPECT_EQ(parsed.exitCode, 2) << line;
    EXPECT_TRUE(std::holds_alternative<std::monostate>(parsed.command)) << line;
    EXPECT_NE(parsed.text.find("pellora " + arguments[0] + ": "), std::string::npos) << parsed.text;
  }
}

TEST(CommandLineTest, ListenAddressesNeedAnAddressAndAPort) {
  EXPECT_EQ(parseListenAddress("0.0.0.0:7171")->port(), 7171);
  auto v6 = parseListenAddress("[::1]:7171");
  ASSERT_TRUE(v6);
  EXPECT_TRUE(v6->address().is_v6());
  EXPECT_FALSE(parseListenAddress("::1:7171"));
  EXPECT_FALSE(parseListenAddress(":7171"));
  EXPECT_FALSE(parseListenAddress("1.2.3.4:"));
  EXPECT_FALSE(parseListenAddress("1.2.3.4:-1"));
}

// A run's options override settings in a copy that goes with the run.
TEST(RunSettingsTest, OverridesNeverReachTheUsersFile) {
  const test::TempDir home("pellora-run-settings");
  const auto user = home / "settings.json";
  ASSERT_TRUE(writeFileAtomically(user, R"({"relayEnabled":true,"relayID":"123456789"})"));
  SettingsFile mine(user);
  mine.set("quality", "low");  // this process's own change, which may not be on the disk yet

  std::filesystem::path folder;
  std::optional<std::string> before;
  {
    RunSettings run(user);
    before = readFile(user);
    folder = run.folder();
    FileSecretStore secrets(home / "secrets.json");
    PermanentPasswordStore permanent(secrets);
    AppSettings settings(run.file(), permanent, home / "autostart.desktop");
    // The run starts from the user's values...
    EXPECT_TRUE(settings.state().relayEnabled);
    EXPECT_EQ(settings.state().quality, Quality::low);
    settings.setRelayEnabled(false);
    settings.setQuality(Quality::high);
    EXPECT_EQ(run.file().getString("relayID"), "123456789");
  }
  // ...and leaves them as they were, with nothing left behind.
  EXPECT_EQ(readFile(user), before);
  EXPECT_FALSE(std::filesystem::exists(folder));
}

}  // namespace
}  // namespace pellora::cli
