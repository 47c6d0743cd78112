#include "cli/run_settings.h"

#include <gtest/gtest.h>

#include "support/app_settings.h"
#include "support/atomic_file.h"
#include "support/secret_store.h"
#include "support/temp_dir.h"

namespace pellora::cli {
namespace {

TEST(RunSettingsTest, OverridesNeverReachTheUsersFile) {
  const test::TempDir home("pellora-run-settings");
  const auto user = home / "settings.json";
  ASSERT_TRUE(writeFileAtomically(user, R"({"relayEnabled":true,"quality":"low","relayID":"123456789"})"));
  const auto before = readFile(user);

  std::filesystem::path folder;
  {
    RunSettings run(user);
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
