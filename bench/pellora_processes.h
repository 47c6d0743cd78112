#pragma once

// Real pellora processes for whole-system benchmarks: a headless host on the synthetic screen and a
// headless viewer, as the command line starts them.

#include <benchmark/benchmark.h>
#include <unistd.h>

#include <boost/json.hpp>
#include <filesystem>
#include <memory>
#include <string>
#include <vector>

#include "core/quality.h"
#include "support/child_process.h"

namespace pellora::bench {

// A pellora process with standard input closed, so that neither side reads the terminal. `environment`
// ("NAME=value") is added to the bench's own.
std::unique_ptr<test::ChildProcess> startPellora(std::vector<std::string> arguments,
                                                 const std::vector<std::string>& environment = {});

struct HostProcess {
  std::unique_ptr<test::ChildProcess> process;
  std::uint16_t port = 0;
};
// `pellora host --source synthetic:1920x1080` on a loopback port of its choosing, with `password`, status
// in `folder`; with `xDisplay` it shares that X server instead (`--source x11`). Throws when it does not
// come up within 20 s.
HostProcess startHost(const std::filesystem::path& folder, Quality quality, const std::string& password,
                      const std::string& xDisplay = {});

// Ends the host with SIGINT once the viewer is done and returns the summary the viewer wrote to `stats`.
boost::json::object endSession(test::ChildProcess& host, const std::filesystem::path& stats);

// A figure of a viewer summary; absent figures (JSON null) count as 0.
double statNumber(const boost::json::value& v);

// A private HOME and XDG folders under `folder`, so that benchmark runs leave no settings behind.
void usePrivateHome(const std::filesystem::path& folder);

// Runs `session(folder)` for each iteration of the benchmark in a private folder (see usePrivateHome) that is removed
// afterwards. A failure skips the benchmark with its reason and answers false.
template <class Session>
bool runInPrivateFolder(benchmark::State& state, const std::string& name, Session session) {
  const auto folder = std::filesystem::temp_directory_path() / (name + "-" + std::to_string(getpid()));
  std::filesystem::create_directories(folder);
  usePrivateHome(folder);
  bool ok = true;
  for (auto _ : state) {
    try {
      session(folder);
    } catch (const std::exception& e) {
      state.SkipWithError(e.what());
      ok = false;
      break;
    }
  }
  std::filesystem::remove_all(folder);
  return ok;
}

}  // namespace pellora::bench
