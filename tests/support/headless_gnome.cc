#include "support/headless_gnome.h"

#include <signal.h>

#include <chrono>
#include <filesystem>
#include <fstream>
#include <stdexcept>

#include "platform/linux/mutter_remote_desktop.h"
#include "support/eventually.h"

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
  environment_ = std::make_unique<ScopedEnv>();
  environment_->set("DBUS_SESSION_BUS_ADDRESS", firstLine(std::filesystem::path(dir_) / "address").c_str());
  environment_->set("XDG_RUNTIME_DIR", (dir_ + "/run").c_str());
  environment_->set("WAYLAND_DISPLAY", "wayland-0");
  environment_->set("PIPEWIRE_REMOTE", nullptr);
  // The compositor owns its bus names a moment after its socket appears.
  const auto offered = [] { return MutterRemoteDesktop::available() && !MutterRemoteDesktop::monitors().empty(); };
  if (!eventually(offered, std::chrono::seconds(10), std::chrono::milliseconds(50))) {
    throw std::runtime_error(
        "headless_gnome: the compositor offers no remote desktop (PELLORA_KEEP_TEST_SESSION=1 keeps its logs)");
  }
}

HeadlessGnome::~HeadlessGnome() { stop(); }

void HeadlessGnome::stop() {
  environment_.reset();
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
