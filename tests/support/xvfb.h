#pragma once

#include <memory>
#include <string>
#include <vector>

#include "support/child_process.h"

namespace pellora::test {

// A display name no server can ever answer, whatever else runs beside the test: its socket would live in a
// directory that does not exist.
inline constexpr const char* kAbsentDisplay = "/nonexistent/pellora-no-x-server:0";

// A private Xvfb server for one test: started on a free display number, ready to accept connections when
// the constructor returns, stopped by the destructor. Throws std::runtime_error when it cannot start.
class Xvfb {
 public:
  // `extraArguments` go after the screen, e.g. {"-extension", "DAMAGE"}.
  explicit Xvfb(int width = 1280, int height = 720, std::vector<std::string> extraArguments = {});
  ~Xvfb() { kill(); }
  Xvfb(const Xvfb&) = delete;
  Xvfb& operator=(const Xvfb&) = delete;

  // ":N", for xcb_connect and the code under test.
  const std::string& display() const { return display_; }
  // Stops the server now (to test what happens when the display server goes away).
  void kill();

 private:
  std::unique_ptr<ChildProcess> server_;
  std::string display_;
};

}  // namespace pellora::test
