#include "support/headless_gnome.h"

#include <signal.h>
#include <stdlib.h>

#include <chrono>
#include <filesystem>
#include <fstream>
#include <stdexcept>
#include <thread>

#include "platform/linux/mutter_remote_desktop.h"

namespace pellora::test {

namespace {

std::string firstLine(const std::filesystem::path& path) {
  std::ifstream in(path);
  std::string line;
  std::getline(in, line);
  return line;
}

}  // namespace

HeadlessGnome::HeadlessGnome(const std::string& size) {
  char pattern[] = "/tmp/pellora-gnome-XXXXXX";
  if (!mkdtemp(pattern)) throw std::runtime_error("headless_gnome: no temporary folder");
  dir_ = pattern;
  script_ = std::make_unique<ChildProcess>(PELLORA_HEADLESS_GNOME_SCRIPT, std::vector<std::string>{dir_, size});
  try {
    waitUntilReady();
  } catch (...) {
    stop();  // no destructor runs for a constructor that throws
    throw;
  }
}

void HeadlessGnome::waitUntilReady() {
  const std::optional<std::string> line = script_->readLine(std::chrono::seconds(20));
  if (!line || *line != "headless_gnome: ready") {
    throw std::runtime_error(line ? *line : "headless_gnome: the session did not start in time");
  }
  for (const char* name : {"DBUS_SESSION_BUS_ADDRESS", "XDG_RUNTIME_DIR", "WAYLAND_DISPLAY", "PIPEWIRE_REMOTE"}) {
    const char* value = std::getenv(name);
    savedEnvironment_.emplace_back(name, value ? std::optional<std::string>(value) : std::nullopt);
  }
  setenv("DBUS_SESSION_BUS_ADDRESS", firstLine(std::filesystem::path(dir_) / "address").c_str(), 1);
  setenv("XDG_RUNTIME_DIR", (dir_ + "/run").c_str(), 1);
  setenv("WAYLAND_DISPLAY", "wayland-0", 1);
  unsetenv("PIPEWIRE_REMOTE");
  // The compositor owns its bus names a moment after its socket appears.
  const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(10);
  while (!MutterRemoteDesktop::available() || MutterRemoteDesktop::monitors().empty()) {
    if (std::chrono::steady_clock::now() > deadline) {
      throw std::runtime_error(
          "headless_gnome: the compositor offers no remote desktop (PELLORA_KEEP_TEST_SESSION=1 keeps its logs)");
    }
    std::this_thread::sleep_for(std::chrono::milliseconds(50));
  }
}

HeadlessGnome::~HeadlessGnome() { stop(); }

void HeadlessGnome::stop() {
  for (const auto& [name, value] : savedEnvironment_) {
    if (value) {
      setenv(name.c_str(), value->c_str(), 1);
    } else {
      unsetenv(name.c_str());
    }
  }
  savedEnvironment_.clear();
  if (script_) {
    script_->signal(SIGTERM);  // the script ends what it started
    script_->wait(std::chrono::seconds(10));
    script_.reset();
  }
  std::error_code ec;
  if (!std::getenv("PELLORA_KEEP_TEST_SESSION")) std::filesystem::remove_all(dir_, ec);  // kept for its logs
}

void HeadlessGnome::killCompositor() {
  const std::string pid = firstLine(std::filesystem::path(dir_) / "mutter.pid");
  if (!pid.empty()) kill(std::stoi(pid), SIGKILL);
}

}  // namespace pellora::test
