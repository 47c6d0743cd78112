#include "support/paths.h"
#include "support/file_names_directory.h"

#include <gtest/gtest.h>

#include <cstdlib>
#include <fstream>

namespace pellora {
namespace {

namespace fs = std::filesystem;

// Sets environment variables for one test and restores them afterwards.
class ScopedEnv {
 public:
  void set(const char* name, const char* value) {
    const char* old = std::getenv(name);
    saved_.push_back({name, old ? std::optional<std::string>(old) : std::nullopt});
    if (value) setenv(name, value, 1);
    else unsetenv(name);
  }
  ~ScopedEnv() {
    for (auto it = saved_.rbegin(); it != saved_.rend(); ++it) {
      if (it->second) setenv(it->first, it->second->c_str(), 1);
      else unsetenv(it->first);
    }
  }

 private:
  std::vector<std::pair<const char*, std::optional<std::string>>> saved_;
};

TEST(Paths, XdgVariablesWinUnlessRelative) {
  ScopedEnv env;
  env.set("HOME", "/home/ayse");
  env.set("XDG_CONFIG_HOME", "/cfg");
  env.set("XDG_DATA_HOME", "relative/ignored");
  EXPECT_EQ(Paths::configHome(), "/cfg");
  EXPECT_EQ(Paths::dataHome(), "/home/ayse/.local/share");
}

TEST(Paths, DownloadFolderFromUserDirs) {
  const fs::path cfg = fs::temp_directory_path() / ("pellora-paths-" + std::to_string(getpid()));
  fs::create_directories(cfg);
  ScopedEnv env;
  env.set("HOME", "/home/ayse");
  env.set("XDG_CONFIG_HOME", cfg.c_str());
  EXPECT_EQ(Paths::downloadDir(), "/home/ayse/Downloads") << "no user-dirs.dirs";
  std::ofstream(cfg / "user-dirs.dirs") << "# comment\nXDG_DESKTOP_DIR=\"$HOME/Masaüstü\"\n"
                                           "XDG_DOWNLOAD_DIR=\"$HOME/İndirilenler\"\n";
  EXPECT_EQ(Paths::downloadDir(), "/home/ayse/İndirilenler");
  EXPECT_EQ(FileNames::defaultDirectory(), "/home/ayse/İndirilenler/Pellora");
  fs::remove_all(cfg);
}

}  // namespace
}  // namespace pellora
