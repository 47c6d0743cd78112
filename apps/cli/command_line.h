#pragma once

// The `pellora` command line: its subcommands and their options, parsed into plain values. Parsing
// touches nothing but its arguments, so every rule here is tested without starting anything.

#include <boost/asio/ip/tcp.hpp>
#include <cstdint>
#include <filesystem>
#include <optional>
#include <string>
#include <variant>
#include <vector>

#include "core/message.h"
#include "core/quality.h"
#include "viewer/viewer_target.h"

namespace pellora::cli {

// `pellora host`: share this computer until SIGINT or SIGTERM.
struct HostCommand {
  // `automatic` shares the Wayland desktop in a Wayland session and the X display otherwise.
  enum class Source { automatic, x11, wayland, synthetic };
  Source source = Source::automatic;
  int syntheticWidth = 1920, syntheticHeight = 1080;
  std::optional<boost::asio::ip::tcp::endpoint> listen;  // default: every address, port 7171
  std::optional<std::string> password;                   // default: PELLORA_PASSWORD, else a fresh one
  // Overrides of the settings, for this run only.
  std::optional<std::string> relayURL;
  bool noRelay = false;
  std::optional<Quality> quality;
  std::optional<bool> requireApproval;  // --approve ask: true, never: false
  bool requireHandshakeV2 = false;      // --require-v2: refuse version-1 callers
  bool discovery = true;
  std::optional<std::filesystem::path> statusJSON;
};

// `pellora connect TARGET --headless`: one viewer session without a window.
struct ConnectCommand {
  ViewerTarget target{ViewerTarget::Relay{}};
  bool headless = true;  // false: the desktop app's session window instead
  std::optional<std::string> password;  // default: PELLORA_PASSWORD, else asked on the terminal
  std::optional<int> seconds;           // end the session after this long connected
  std::optional<Codec> codec;           // offer only this codec
  std::optional<Quality> quality;
  std::optional<std::string> relayURL;
  std::vector<std::filesystem::path> send;
  std::optional<std::filesystem::path> statsJSON;
};

// `pellora` without a command: the desktop app.
struct DesktopCommand {};

// What main() does: run a command, or print `text` and leave with `exitCode` (0 after --help, 2 for
// arguments it cannot use).
struct ParsedCommandLine {
  std::variant<std::monostate, HostCommand, ConnectCommand, DesktopCommand> command;
  std::string text;
  int exitCode = 0;
};

ParsedCommandLine parseCommandLine(const std::vector<std::string>& arguments);

// "ADDR:PORT" with an IPv4 address or a bracketed IPv6 one ("[::1]:7171"); nothing for anything else.
std::optional<boost::asio::ip::tcp::endpoint> parseListenAddress(const std::string& text);

}  // namespace pellora::cli
