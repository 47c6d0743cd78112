// End to end through the real executables: pellora-relay, `pellora host` and `pellora connect --headless`,
// observed through the host's --status-json and the viewer's --stats-json files. Every process runs with
// its own HOME and XDG folders and the file secret store, so nothing of the user's is read or written.

#include <gtest/gtest.h>
#include <signal.h>
#include <stdlib.h>
#include <unistd.h>

#include <boost/json.hpp>
#include <filesystem>
#include <fstream>
#include <functional>
#include <thread>

#include "support/child_process.h"
#include "support/eventually.h"
#include "support/headless_gnome.h"
#include "support/held_port.h"
#include "support/json_file.h"
#include "support/pellora_process.h"
#include "support/relay_process.h"
#include "support/temp_dir.h"
#include "support/xvfb.h"

namespace pellora::test {
namespace {

namespace json = boost::json;
namespace fs = std::filesystem;
using namespace std::chrono_literals;

constexpr auto settle = 30s;  // the longest any awaited change may take; reached only when something is broken

std::string text(const json::value& value) { return value.is_string() ? std::string(value.as_string()) : std::string(); }

using Pellora = PelloraProcess;

class PelloraProcessTest : public ::testing::Test {
 protected:
  void SetUp() override {
    unsetenv("PELLORA_PASSWORD");
    unsetenv("PELLORA_RELAY_URL");
  }
  fs::path file(const std::string& name) const { return folder_ / name; }

  // Waits until the JSON in `path` satisfies `wanted`; the last document read (or null) either way.
  json::value waitFor(const fs::path& path, const std::function<bool(const json::value&)>& wanted) {
    json::value last;
    const auto read = [&] {
      if (auto value = readJSONFile(path)) last = *value;
      return !last.is_null() && wanted(last);
    };
    if (!eventually(read, settle, 50ms)) ADD_FAILURE() << "waited in vain for " << path << ": " << json::serialize(last);
    return last;
  }

  // A synthetic host with a fixed password on a free loopback port; `extra` adds options. Returns once it
  // listens (and, with a relay, once it is online).
  std::unique_ptr<Pellora> startHost(std::vector<std::string> extra, bool relay = false) {
    std::vector<std::string> arguments{"host", "--listen", "127.0.0.1:0", "--password", password,
                                       "--no-discovery", "--approve", "never", "--status-json", statusFile().string()};
    if (std::find(extra.begin(), extra.end(), "--source") == extra.end())
      arguments.insert(arguments.end(), {"--source", "synthetic:640x360"});
    if (!relay) arguments.push_back("--no-relay");
    arguments.insert(arguments.end(), extra.begin(), extra.end());
    auto host = std::make_unique<Pellora>(folder_, "host", arguments);
    auto status = waitFor(statusFile(), [&](const json::value& s) {
      return s.at("listeningPort").as_int64() > 0 && (!relay || text(s.at("relay").at("state")) == "online");
    });
    hostPort_ = std::to_string(status.at("listeningPort").as_int64());
    return host;
  }

  std::unique_ptr<Pellora> connect(const std::string& target, std::vector<std::string> extra,
                                   const std::string& name = "viewer") {
    std::vector<std::string> arguments{"connect", target, "--headless", "--stats-json", statsFile(name).string()};
    arguments.insert(arguments.end(), extra.begin(), extra.end());
    return std::make_unique<Pellora>(folder_, name, arguments);
  }

  fs::path statusFile() const { return file("status.json"); }
  fs::path statsFile(const std::string& name = "viewer") const { return file(name + "-stats.json"); }
  std::string local() const { return "127.0.0.1:" + hostPort_; }

  // Reads the viewer's figure lines until one shows video arriving: decoded stamped pictures ("g2g="), or
  // frames at all ("fps=" above 0) where the source carries no stamp.
  static void awaitVideo(Pellora& viewer) {
    const auto deadline = std::chrono::steady_clock::now() + settle;
    while (std::chrono::steady_clock::now() < deadline) {
      auto line = viewer.process->readLine(1s);
      if (line && (line->find(" g2g=") != std::string::npos ||
                   (line->find(" fps=") != std::string::npos && line->find(" fps=0 ") == std::string::npos)))
        return;
    }
    ADD_FAILURE() << "the viewer showed no video";
  }
  // Video arrived; then the viewer is stopped as Ctrl-C stops it, which ends the session from its side.
  static void watchThenStop(Pellora& viewer) {
    awaitVideo(viewer);
    viewer.process->signal(SIGINT);
  }

  // A viewer watches until video arrives and stops, then the host stops as a service manager stops it; both
  // leave with 0. The viewer's summary.
  json::value watchThenStopBoth(Pellora& host) {
    auto viewer = connect(local(), {"--password", password});
    watchThenStop(*viewer);
    EXPECT_EQ(viewer->process->wait(settle), 0) << viewer->errors();
    host.process->signal(SIGTERM);
    EXPECT_EQ(host.process->wait(settle), 0) << host.errors();
    return readJSONFile(statsFile()).value_or(json::value());
  }

  static bool hasActiveSession(const json::value& s) { return !s.at("active").is_null(); }
  static bool sessionEnded(const json::value& s) { return text(s.at("lastEvent")).starts_with("Oturum bitti: "); }

  // A finished viewer's summary after a session that showed stamped pictures.
  void expectSession(const json::value& stats, const std::string& codec) {
    EXPECT_TRUE(stats.at("connected").as_bool()) << json::serialize(stats);
    EXPECT_EQ(text(stats.at("endState")), "ended");
    EXPECT_EQ(text(stats.at("codec")), codec);
    EXPECT_EQ(text(stats.at("remoteOS")), "Linux");
    EXPECT_EQ(stats.at("handshakeVersion").as_int64(), 2);
    EXPECT_GT(stats.at("pictures").as_int64(), 0);
  }

  static inline const std::string password = "ortak-parola";
  TempDir temp_{"pellora-process"};
  fs::path folder_ = temp_.path;
  std::string hostPort_;
};

TEST_F(PelloraProcessTest, ViewerWatchesASyntheticHostOnTheLocalNetworkWithEitherCodec) {
  auto host = startHost({});
  for (const std::string codec : {"h264", "jpeg"}) {
    auto viewer = connect(local(), {"--password", password, "--codec", codec}, codec);
    watchThenStop(*viewer);
    ASSERT_EQ(viewer->process->wait(settle), 0) << viewer->errors();
    auto stats = *readJSONFile(statsFile(codec));
    expectSession(stats, codec);
    EXPECT_EQ(text(stats.at("endReason")), "Bağlantı kapatıldı");
    // The synthetic source stamps its frames: glass-to-glass latency was measured.
    EXPECT_GT(stats.at("glassToGlassMs").at("samples").as_int64(), 0) << json::serialize(stats);
    auto status = waitFor(statusFile(), sessionEnded);
    EXPECT_EQ(text(status.at("lastEvent")), "Oturum bitti: İzleyici bağlantıyı kapattı");
  }
  auto status = *readJSONFile(statusFile());
  const auto& events = status.at("events").as_array();
  EXPECT_EQ(std::count_if(events.begin(), events.end(), [](const json::value& e) { return text(e).ends_with(" bağlandı"); }), 2);

  host->process->signal(SIGINT);
  EXPECT_EQ(host->process->wait(settle), 0);
  EXPECT_EQ(text(readJSONFile(statusFile())->at("listenerStatus")), "Kapalı");
}

TEST_F(PelloraProcessTest, ViewerReachesTheHostThroughTheRelayByItsId) {
  RelayProcess relay({"--db", file("relay.db").string()});
  auto host = startHost({"--relay", relay.url()}, true);
  const auto status = *readJSONFile(statusFile());
  const std::string displayID = text(status.at("relay").at("displayID"));
  ASSERT_EQ(displayID.size(), 11u);

  // The password from the environment, the id in its display form; a file offered on the way.
  const fs::path offered = file("bericht.txt");
  std::ofstream(offered) << "Pellora über das Relay\n";
  setenv("PELLORA_PASSWORD", password.c_str(), 1);
  auto viewer = connect(displayID, {"--relay", relay.url(), "--send", offered.string()});
  awaitVideo(*viewer);
  // The host accepts files by default, into the download folder of its (temporary) home.
  const fs::path received = folder_ / "Downloads" / "Pellora" / "bericht.txt";
  ASSERT_TRUE(eventually([&] { return fs::exists(received); }, settle));
  EXPECT_EQ(readTextFile(received), "Pellora über das Relay\n");
  viewer->process->signal(SIGINT);
  ASSERT_EQ(viewer->process->wait(settle), 0) << viewer->errors();
  expectSession(*readJSONFile(statsFile()), "h264");
  // The relay target is pinned to handshake version 2 in the user's settings, though the run's other
  // settings were a temporary copy.
  const auto user = readJSONFile(folder_ / "config" / "pellora" / "settings.json");
  ASSERT_TRUE(user);
  EXPECT_EQ(user->at("handshakeV2Pins"), (json::array{"relay:" + text(status.at("relay").at("id"))}));
  auto ended = waitFor(statusFile(), sessionEnded);
  const auto& events = ended.at("events").as_array();
  ASSERT_GE(events.size(), 2u);
  EXPECT_TRUE(text(events[events.size() - 2]).ends_with(" bağlandı"));
}

TEST_F(PelloraProcessTest, WrongPasswordFailsWithTheHostsAnswer) {
  auto host = startHost({});
  auto viewer = connect(local(), {"--password", "yanlis-parola"});
  EXPECT_EQ(viewer->process->wait(settle), 1);
  EXPECT_NE(viewer->errors().find("Parola yanlış"), std::string::npos) << viewer->errors();
  auto stats = *readJSONFile(statsFile());
  EXPECT_FALSE(stats.at("connected").as_bool());
  EXPECT_EQ(text(stats.at("endReason")), "Parola yanlış");
  auto status = waitFor(statusFile(), [](const json::value& s) { return !s.at("lastEvent").is_null(); });
  EXPECT_TRUE(text(status.at("lastEvent")).starts_with("Hatalı parola denemesi (")) << json::serialize(status);
}

TEST_F(PelloraProcessTest, KillingTheHostEndsTheViewersSession) {
  auto host = startHost({});
  auto viewer = connect(local(), {"--password", password});
  awaitVideo(*viewer);
  host->process->signal(SIGKILL);
  // The session took place, so the viewer leaves with 0 and says why the session ended.
  ASSERT_EQ(viewer->process->wait(settle), 0) << viewer->errors();
  auto stats = *readJSONFile(statsFile());
  expectSession(stats, "h264");
  EXPECT_FALSE(text(stats.at("endReason")).empty());
  EXPECT_NE(text(stats.at("endReason")), "Bağlantı kapatıldı");  // not our own disconnect
}

TEST_F(PelloraProcessTest, KillingTheViewerEndsTheHostsSession) {
  auto host = startHost({});
  auto viewer = connect(local(), {"--password", password});
  waitFor(statusFile(), hasActiveSession);
  viewer->process->signal(SIGKILL);
  auto status = waitFor(statusFile(), [](const json::value& s) { return sessionEnded(s) && !hasActiveSession(s); });
  EXPECT_TRUE(sessionEnded(status)) << json::serialize(status);

  // The slot is free again: a second viewer is admitted.
  auto second = connect(local(), {"--password", password}, "second");
  watchThenStop(*second);
  EXPECT_EQ(second->process->wait(settle), 0) << second->errors();
}

TEST_F(PelloraProcessTest, HostRegistersAgainWhenItsRelayComesBack) {
  const HeldPort held;  // nothing else takes the port while the relay is down
  const std::string address = "127.0.0.1:" + std::to_string(held.port());
  auto startRelay = [&] {
    auto relay = std::make_unique<ChildProcess>(PELLORA_RELAY_BINARY,
                                                std::vector<std::string>{"--listen", address, "--db", file("relay.db").string()});
    EXPECT_TRUE(relay->readLine()) << "the relay did not start on " << address;
    return relay;
  };
  auto relay = startRelay();
  auto host = startHost({"--relay", "http://" + address}, true);
  const std::string id = text(readJSONFile(statusFile())->at("relay").at("id"));

  relay->signal(SIGKILL);
  ASSERT_TRUE(relay->wait(settle));
  waitFor(statusFile(), [](const json::value& s) { return text(s.at("relay").at("state")) == "failed"; });

  // The same port and identities: the host comes back online under the id it had.
  relay = startRelay();
  auto status = waitFor(statusFile(), [](const json::value& s) { return text(s.at("relay").at("state")) == "online"; });
  EXPECT_EQ(text(status.at("relay").at("id")), id);
}

TEST_F(PelloraProcessTest, ViewerWatchesAnX11Display) {
  Xvfb xvfb(640, 480);
  setenv("DISPLAY", xvfb.display().c_str(), 1);
  auto host = startHost({"--source", "x11"});
  unsetenv("DISPLAY");
  expectSession(watchThenStopBoth(*host), "h264");
}

TEST_F(PelloraProcessTest, ViewerWatchesAGnomeWaylandDesktop) {
  std::unique_ptr<HeadlessGnome> gnome;
  try {
    gnome = std::make_unique<HeadlessGnome>("1280x720");
  } catch (const std::exception& e) {
    GTEST_SKIP() << e.what();
  }
  auto host = startHost({"--source", "wayland"});
  const json::value stats = watchThenStopBoth(*host);
  EXPECT_TRUE(stats.at("connected").as_bool()) << json::serialize(stats);
  // GNOME's sessions share the clipboard: the host says nothing of it being off.
  std::string said = host->errors();
  while (std::optional<std::string> line = host->process->readLine(1s)) said += *line + "\n";
  EXPECT_EQ(said.find("clipboard sync is off"), std::string::npos) << said;
}

TEST_F(PelloraProcessTest, SourceWithoutItsDesktopIsRefused) {
  // A session bus with neither a portal nor the compositor's interfaces, and no X display.
  ChildProcess bus("/usr/bin/dbus-daemon", {"--session", "--print-address=1", "--nofork"});
  const std::optional<std::string> address = bus.readLine();
  ASSERT_TRUE(address);
  setenv("DBUS_SESSION_BUS_ADDRESS", address->c_str(), 1);
  unsetenv("DISPLAY");
  for (const auto& [source, missing] : {std::pair("wayland", "remote-desktop"), std::pair("x11", "DISPLAY")}) {
    Pellora host(folder_, source, {"host", "--source", source, "--no-relay", "--no-discovery"});
    EXPECT_EQ(host.process->wait(settle), 1) << source;
    EXPECT_NE(host.errors().find(missing), std::string::npos) << host.errors();
  }
  unsetenv("DBUS_SESSION_BUS_ADDRESS");
}

}  // namespace
}  // namespace pellora::test
