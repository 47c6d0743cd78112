#pragma once

// A fresh folder of a test's own, removed with everything in it when the object goes.

#include <unistd.h>

#include <atomic>
#include <filesystem>
#include <string>
#include <system_error>

namespace pellora::test {

struct TempDir {
  // `name` starts the folder's name; `inMemory` puts it under /dev/shm where there is one, so that large
  // files and their flushes do not wait for a disk shared with other work.
  explicit TempDir(const std::string& name = "pellora-test", bool inMemory = false) {
    static std::atomic<int> counter{0};
    namespace fs = std::filesystem;
    const fs::path base = inMemory && fs::is_directory("/dev/shm") ? fs::path("/dev/shm") : fs::temp_directory_path();
    path = base / (name + "-" + std::to_string(getpid()) + "-" + std::to_string(counter++));
    fs::remove_all(path);
    fs::create_directories(path);
  }
  ~TempDir() {
    std::error_code ignored;
    std::filesystem::remove_all(path, ignored);
  }
  TempDir(const TempDir&) = delete;
  TempDir& operator=(const TempDir&) = delete;

  std::filesystem::path operator/(const std::string& name) const { return path / name; }

  std::filesystem::path path;
};

}  // namespace pellora::test
