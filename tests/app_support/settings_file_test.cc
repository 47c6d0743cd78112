#include "support/settings_file.h"

#include <gtest/gtest.h>
#include <sys/stat.h>

#include <atomic>
#include <boost/json.hpp>
#include <string>
#include <thread>
#include <vector>

#include "support/atomic_file.h"
#include "support/temp_dir.h"

namespace pellora {
namespace {

namespace fs = std::filesystem;
namespace json = boost::json;

// The file as another process would read it now.
std::optional<json::object> onDisk(const fs::path& file) {
  auto text = readFile(file);
  if (!text) return std::nullopt;
  boost::system::error_code ec;
  json::value value = json::parse(*text, ec);
  if (ec || !value.is_object()) return json::object{{"damaged", *text}};
  return value.as_object();
}

TEST(SettingsFile, ChangesFromManyThreadsLeaveTheNewestOfEachKeyOnDiskAndNeverAPartialFile) {
  test::TempDir dir{"pellora-settings-file"};
  const fs::path file = dir.path / "pellora" / "settings.json";
  constexpr int threads = 4, rounds = 200;
  std::atomic<bool> writing{true};
  std::vector<std::string> damaged;
  // Reads the file over and over while it is rewritten: every read is the whole object or no file yet.
  std::thread reader([&] {
    while (writing.load())
      if (auto seen = onDisk(file); seen && seen->contains("damaged")) damaged.emplace_back(seen->at("damaged").as_string());
  });
  {
    SettingsFile settings(file);
    std::vector<std::thread> writers;
    for (int t = 0; t < threads; ++t)
      writers.emplace_back([&settings, t] {
        const std::string key = "key" + std::to_string(t);
        for (int i = 0; i < rounds; ++i) settings.set(key, i);
        settings.set("gone" + std::to_string(t), true);
        settings.remove("gone" + std::to_string(t));
      });
    for (auto& writer : writers) writer.join();
  }  // the destructor waits for the last save
  writing = false;
  reader.join();
  EXPECT_TRUE(damaged.empty()) << damaged.front();

  json::object expected;
  for (int t = 0; t < threads; ++t) expected["key" + std::to_string(t)] = rounds - 1;
  EXPECT_EQ(onDisk(file), expected);
  struct stat st{};
  ASSERT_EQ(stat(file.c_str(), &st), 0);
  EXPECT_EQ(st.st_mode & 0777, 0600u);
  for (const auto& entry : fs::directory_iterator(file.parent_path()))
    EXPECT_EQ(entry.path().filename(), "settings.json") << "no temporary file is left behind";
}

TEST(SettingsFile, AnotherObjectOnTheSameFileSeesEachChangeBeforeItIsOnDisk) {
  test::TempDir dir{"pellora-settings-file"};
  const fs::path file = dir.path / "settings.json";
  SettingsFile writer(file);
  SettingsFile longLived(dir.path / "." / "settings.json");  // spelt differently, the same file
  // A save takes far longer than opening an object: most rounds find the change still queued.
  for (int i = 0; i < 20; ++i) {
    writer.set("round", i);
    EXPECT_EQ(SettingsFile(file).get("round"), json::value(i)) << "a new object, round " << i;
    longLived.reload();
    EXPECT_EQ(longLived.get("round"), json::value(i)) << "reload, round " << i;
  }
}

TEST(SettingsFile, ASaveThatFailsIsReportedWithItsPathAndKeepsTheValueInMemory) {
  test::TempDir dir{"pellora-settings-file"};
  ASSERT_TRUE(writeFileAtomically(dir.path / "pellora", "a file where the folder should be"));
  const fs::path file = dir.path / "pellora" / "settings.json";
  testing::internal::CaptureStderr();
  {
    SettingsFile settings(file);
    settings.set("quality", "low");
    EXPECT_EQ(settings.getString("quality"), "low");
  }  // returns although the save failed
  const std::string errors = testing::internal::GetCapturedStderr();
  EXPECT_NE(errors.find(file.string()), std::string::npos) << errors;
  EXPECT_FALSE(fs::exists(file));
}

}  // namespace
}  // namespace pellora
