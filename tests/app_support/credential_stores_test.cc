#include "support/credential_stores.h"

#include <gtest/gtest.h>
#include <sys/stat.h>

#include <map>

#include "platform/linux/secret_store_libsecret.h"
#include "support/atomic_file.h"
#include "support/temp_dir.h"

namespace pellora {
namespace {

namespace fs = std::filesystem;

// Counts what the file store holds, by service, straight from its file.
std::size_t itemsOf(const fs::path& file, const std::string& service) {
  auto text = readFile(file).value_or("");
  std::size_t n = 0;
  for (auto pos = text.find("\"service\":\"" + service + "\""); pos != std::string::npos;
       pos = text.find("\"service\":\"" + service + "\"", pos + 1))
    ++n;
  return n;
}

TEST(PermanentPasswordStore, SavingTwiceKeepsOneItemWithTheSecondPassword) {
  test::TempDir dir{"pellora-stores"};
  FileSecretStore secrets(dir.path / "secrets.json");
  PermanentPasswordStore store(secrets);
  EXPECT_EQ(store.load(), std::nullopt);
  store.save("ilk parola");
  store.save("ikinci parola ğüş");
  EXPECT_EQ(store.load(), "ikinci parola ğüş");
  EXPECT_EQ(itemsOf(dir.path / "secrets.json", PermanentPasswordStore::service), 1u);
  store.clear();
  EXPECT_EQ(store.load(), std::nullopt);
}

TEST(RelayIdentityStore, OneIdentityAtATimeAndTheSettingsEntryDecides) {
  test::TempDir dir{"pellora-stores"};
  FileSecretStore secrets(dir.path / "secrets.json");
  SettingsFile settings(dir.path / "settings.json");
  RelayIdentityStore store(secrets, settings);
  EXPECT_EQ(store.load(), std::nullopt);

  secrets.save(RelayIdentityStore::service, "111111111", "stray");  // left over from an older install
  store.save({"123456789", "secret-1"});
  EXPECT_EQ(store.load(), (RelayIdentity{"123456789", "secret-1"}));
  EXPECT_EQ(itemsOf(dir.path / "secrets.json", RelayIdentityStore::service), 1u) << "older items are gone";
  EXPECT_EQ(SettingsFile(dir.path / "settings.json").getString("relayID"), "123456789") << "persisted";

  settings.remove("relayID");
  EXPECT_EQ(store.load(), std::nullopt) << "without the id the secret is not looked up";
  EXPECT_EQ(secrets.load(RelayIdentityStore::service, "123456789"), "secret-1");

  store.save({"987654321", "secret-2"});
  secrets.removeAll(RelayIdentityStore::service);  // e.g. the keyring was reset
  EXPECT_EQ(store.load(), std::nullopt);
  EXPECT_EQ(settings.getString("relayID"), "987654321") << "the settings entry stays";

  store.clear();
  EXPECT_EQ(settings.getString("relayID"), std::nullopt);
}

TEST(FileSecretStore, PrivateFileThatSurvivesDamageAndRefusesNonText) {
  test::TempDir dir{"pellora-stores"};
  const fs::path file = dir.path / "pellora" / "secrets.json";
  FileSecretStore secrets(file);
  ASSERT_TRUE(secrets.save("s", "a", "v1"));
  struct stat st{};
  ASSERT_EQ(stat(file.c_str(), &st), 0);
  EXPECT_EQ(st.st_mode & 0777, 0600u);
  ASSERT_EQ(stat(file.parent_path().c_str(), &st), 0);
  EXPECT_EQ(st.st_mode & 0777, 0700u);
  EXPECT_EQ(FileSecretStore(file).load("s", "a"), "v1");

  EXPECT_FALSE(secrets.save("s", "b", std::string("\xff\xfe", 2))) << "would make the file unreadable";
  EXPECT_EQ(secrets.load("s", "a"), "v1") << "and nothing else was lost";

  ASSERT_TRUE(writeFileAtomically(file, "{ not json", 0600));
  EXPECT_EQ(secrets.load("s", "a"), std::nullopt);
  EXPECT_TRUE(secrets.save("s", "a", "v2"));
  EXPECT_EQ(secrets.load("s", "a"), "v2");
  for (const auto& entry : fs::directory_iterator(file.parent_path()))
    EXPECT_EQ(entry.path().filename(), "secrets.json") << "no temporary file is left behind";
}

// Saving and reading back from many threads are the settings file's own tests.
TEST(SettingsFile, ADamagedFileStartsOver) {
  test::TempDir dir{"pellora-stores"};
  const fs::path file = dir.path / "settings.json";
  ASSERT_TRUE(writeFileAtomically(file, "[1,2", 0600));
  SettingsFile damaged(file);
  EXPECT_EQ(damaged.getString("quality"), std::nullopt);
  damaged.set("quality", "low");
  EXPECT_EQ(SettingsFile(file).getString("quality"), "low");
}

TEST(LibsecretStore, RoundTripWhenAKeyringAnswers) {
  auto keyring = openLibsecretStore();
  if (!keyring) GTEST_SKIP() << "no Secret Service keyring on this session bus; the file store is used instead";
  const std::string service = "org.pellora.test." + std::to_string(getpid());
  ASSERT_TRUE(keyring->save(service, "a", "v"));
  EXPECT_EQ(keyring->load(service, "a"), "v");
  keyring->removeAll(service);
  EXPECT_EQ(keyring->load(service, "a"), std::nullopt);
}

}  // namespace
}  // namespace pellora
