#include "support/xvfb.h"

#include <signal.h>
#include <xcb/xcb.h>

#include <stdexcept>

#include "support/eventually.h"

namespace pellora::test {

// The server picks a free display number itself and writes it to its standard output (-displayfd 1) once
// it listens, which avoids racing other tests or helpers for a number. Its own messages are dropped.
Xvfb::Xvfb(int width, int height, std::vector<std::string> extraArguments) {
  const std::string screen = std::to_string(width) + "x" + std::to_string(height) + "x24";
  std::vector<std::string> args{"-c", "exec Xvfb \"$@\" 2>/dev/null", "Xvfb", "-displayfd", "1", "-screen", "0", screen,
                                "-nolisten", "tcp", "-noreset", "+extension", "RANDR"};
  args.insert(args.end(), extraArguments.begin(), extraArguments.end());
  server_ = std::make_unique<ChildProcess>("/bin/sh", args);
  const auto number = server_->readLine(std::chrono::seconds(20));
  if (!number) throw std::runtime_error("Xvfb did not start (is it installed?)");
  display_ = ":" + *number;
  const bool accepts = eventually([&] {
    xcb_connection_t* c = xcb_connect(display_.c_str(), nullptr);
    const bool ok = xcb_connection_has_error(c) == 0;
    xcb_disconnect(c);
    return ok;
  }, std::chrono::seconds(20), std::chrono::milliseconds(20));
  if (!accepts) throw std::runtime_error("Xvfb " + display_ + " does not accept connections");
}

// The child's SIGTERM lets the server remove its socket and lock file.
void Xvfb::kill() { server_.reset(); }

}  // namespace pellora::test
