#include "pellora_processes.h"

#include <signal.h>
#include <stdlib.h>

#include <thread>

#include "support/json_file.h"

namespace pellora::bench {

namespace fs = std::filesystem;
using namespace std::chrono_literals;

std::unique_ptr<test::ChildProcess> startPellora(std::vector<std::string> arguments,
                                                 const std::vector<std::string>& environment) {
  arguments.insert(arguments.begin(), PELLORA_BINARY);
  arguments.insert(arguments.begin(), environment.begin(), environment.end());
  arguments.insert(arguments.begin(), {"-c", "exec env \"$0\" \"$@\" </dev/null 2>/dev/null", "--"});
  return std::make_unique<test::ChildProcess>("/bin/sh", arguments);
}

HostProcess startHost(const fs::path& folder, Quality quality, const std::string& password,
                      const std::string& xDisplay) {
  const fs::path status = folder / "status.json";
  fs::remove(status);
  HostProcess host;
  host.process = startPellora(
      {"host", "--source", xDisplay.empty() ? "synthetic:1920x1080" : "x11", "--listen", "127.0.0.1:0", "--no-relay",
       "--no-discovery", "--approve", "never", "--password", password, "--quality", std::string(rawValue(quality)),
       "--status-json", status.string()},
      xDisplay.empty() ? std::vector<std::string>{} : std::vector<std::string>{"DISPLAY=" + xDisplay});
  for (auto deadline = std::chrono::steady_clock::now() + 20s;
       host.port == 0 && std::chrono::steady_clock::now() < deadline; std::this_thread::sleep_for(20ms))
    if (auto s = test::readJSONFile(status)) host.port = static_cast<std::uint16_t>(s->at("listeningPort").as_int64());
  if (host.port == 0) throw std::runtime_error("the host did not start");
  return host;
}

void usePrivateHome(const fs::path& folder) {
  setenv("HOME", folder.c_str(), 1);
  setenv("XDG_CONFIG_HOME", (folder / "config").c_str(), 1);
  setenv("XDG_DATA_HOME", (folder / "data").c_str(), 1);
  setenv("PELLORA_SECRET_STORE", "file", 1);
  unsetenv("PELLORA_PASSWORD");
}

boost::json::object endSession(test::ChildProcess& host, const fs::path& stats) {
  host.signal(SIGINT);
  host.wait(10s);
  auto summary = test::readJSONFile(stats);
  if (!summary) throw std::runtime_error("the viewer wrote no summary");
  return summary->as_object();
}

double statNumber(const boost::json::value& v) { return v.is_null() ? 0 : v.to_number<double>(); }

}  // namespace pellora::bench
