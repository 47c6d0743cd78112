#include "support/wayland_client.h"

#include <cstdio>
#include <cstdlib>
#include <sstream>
#include <stdexcept>

namespace pellora::test {

WaylandTestClient::WaylandTestClient()
    : process_((setenv("QT_QPA_PLATFORM", "wayland", 1), PELLORA_WAYLAND_TEST_CLIENT), {}, true) {
  std::optional<std::string> ready = next("ready");
  if (!ready) throw std::runtime_error("the Wayland test client did not show its window");
  std::istringstream(ready->substr(6)) >> width_ >> height_;
}

void WaylandTestClient::fill(int x, int y, int width, int height, std::uint32_t rgb) {
  char color[8];
  std::snprintf(color, sizeof color, "%06X", rgb & 0xFFFFFF);
  process_.writeLine("fill " + std::to_string(x) + " " + std::to_string(y) + " " + std::to_string(width) + " " +
                     std::to_string(height) + " " + color);
}

std::optional<std::string> WaylandTestClient::next(const std::string& prefix, std::chrono::milliseconds timeout) {
  const auto deadline = std::chrono::steady_clock::now() + timeout;
  for (;;) {
    const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(deadline - std::chrono::steady_clock::now());
    if (left.count() <= 0) return std::nullopt;
    std::optional<std::string> line = process_.readLine(left);
    if (!line) return std::nullopt;
    if (line->starts_with(prefix)) return line;
  }
}

}  // namespace pellora::test
