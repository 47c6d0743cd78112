#pragma once

// One pellora process for end-to-end tests (built with PELLORA_BINARY defined). Its home and XDG folders
// are under `folder`, with the file secret store, so nothing of the user's is read or written. Its input is
// empty and its standard error goes to `<folder>/<name>.stderr`; standard output stays readable through
// `process`.

#include <filesystem>
#include <memory>
#include <string>
#include <vector>

#include "support/child_process.h"
#include "support/json_file.h"

namespace pellora::test {

struct PelloraProcess {
  // `environment` (NAME=value each) is added to the test's own.
  PelloraProcess(const std::filesystem::path& folder, const std::string& name, const std::vector<std::string>& arguments,
                 const std::vector<std::string>& environment = {})
      : stderrFile(folder / (name + ".stderr")) {
    std::vector<std::string> shell{"-c", "f=\"$0\"; exec env \"$@\" 2>\"$f\" </dev/null", stderrFile.string(),
                                   "HOME=" + folder.string(), "XDG_CONFIG_HOME=" + (folder / "config").string(),
                                   "XDG_DATA_HOME=" + (folder / "data").string(), "PELLORA_SECRET_STORE=file"};
    shell.insert(shell.end(), environment.begin(), environment.end());
    shell.push_back(PELLORA_BINARY);
    shell.insert(shell.end(), arguments.begin(), arguments.end());
    process = std::make_unique<ChildProcess>("/bin/sh", shell);
  }
  std::string errors() const { return readTextFile(stderrFile); }

  std::filesystem::path stderrFile;
  std::unique_ptr<ChildProcess> process;
};

}  // namespace pellora::test
