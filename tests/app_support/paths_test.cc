#include "support/paths.h"
#include "support/file_names_directory.h"

#include <gtest/gtest.h>

#include <fstream>

#include "support/scoped_env.h"
#include "support/temp_dir.h"

namespace pellora {
namespace {

namespace fs = std::filesystem;
using test::ScopedEnv;

TEST(Paths, XdgVariablesWinUnlessRelative) {
  ScopedEnv env;
  env.set("HOME", "/home/ayse");
  env.set("XDG_CONFIG_HOME", "/cfg");
  env.set("XDG_DATA_HOME", "relative/ignored");
  EXPECT_EQ(Paths::configHome(), "/cfg");
  EXPECT_EQ(Paths::dataHome(), "/home/ayse/.local/share");
}

TEST(Paths, DownloadFolderFromUserDirs) {
  const test::TempDir folder("pellora-paths");
  const fs::path cfg = folder.path;
  ScopedEnv env;
  env.set("HOME", "/home/ayse");
  env.set("XDG_CONFIG_HOME", cfg.c_str());
  EXPECT_EQ(Paths::downloadDir(), "/home/ayse/Downloads") << "no user-dirs.dirs";
  std::ofstream(cfg / "user-dirs.dirs") << "# comment\nXDG_DESKTOP_DIR=\"$HOME/Masaüstü\"\n"
                                           "XDG_DOWNLOAD_DIR=\"$HOME/İndirilenler\"\n";
  EXPECT_EQ(Paths::downloadDir(), "/home/ayse/İndirilenler");
  EXPECT_EQ(FileNames::defaultDirectory(), "/home/ayse/İndirilenler/Pellora");
}

}  // namespace
}  // namespace pellora
