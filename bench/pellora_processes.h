#pragma once

// Real pellora processes for whole-system benchmarks: a headless host on the synthetic screen and a
// headless viewer, as the command line starts them.

#include <filesystem>
#include <memory>
#include <string>
#include <vector>

#include "core/quality.h"
#include "support/child_process.h"

namespace pellora::bench {

// A pellora process with standard input closed, so that neither side reads the terminal.
std::unique_ptr<test::ChildProcess> startPellora(std::vector<std::string> arguments);

struct HostProcess {
  std::unique_ptr<test::ChildProcess> process;
  std::uint16_t port = 0;
};
// `pellora host --source synthetic:1920x1080` on a loopback port of its choosing, with `password`, status
// in `folder`. Throws when it does not come up within 20 s.
HostProcess startSyntheticHost(const std::filesystem::path& folder, Quality quality, const std::string& password);

// A private HOME and XDG folders under `folder`, so that benchmark runs leave no settings behind.
void usePrivateHome(const std::filesystem::path& folder);

}  // namespace pellora::bench
