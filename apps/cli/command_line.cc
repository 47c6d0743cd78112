#include "cli/command_line.h"

#include <boost/program_options.hpp>
#include <charconv>
#include <sstream>

namespace pellora::cli {

namespace po = boost::program_options;

namespace {

constexpr const char* usage =
    "Usage: pellora [COMMAND [options]]\n"
    "\n"
    "Without a command, pellora starts the desktop app. Commands:\n"
    "  host                       share this computer (or a synthetic screen) until Ctrl-C\n"
    "  connect TARGET             open a window on a host's screen\n"
    "  connect TARGET --headless  connect to a host and print what arrives, without a window\n"
    "\n"
    "TARGET is a relay id (\"123 456 789\") or HOST[:PORT]. `pellora COMMAND --help` lists a command's\n"
    "options.\n";

struct UsageError {
  std::string text;
};

ParsedCommandLine failure(const std::string& command, const std::string& what) {
  return {std::monostate{}, "pellora " + command + ": " + what + "\nTry 'pellora " + command + " --help'.\n", 2};
}

std::string helpText(const std::string& synopsis, const po::options_description& options) {
  std::ostringstream out;
  out << "Usage: " << synopsis << "\n\n" << options;
  return out.str();
}

std::optional<int> parseInt(std::string_view text) {
  int value = 0;
  auto [end, ec] = std::from_chars(text.data(), text.data() + text.size(), value);
  if (ec != std::errc{} || end != text.data() + text.size()) return std::nullopt;
  return value;
}

Quality parseQuality(const std::string& text) {
  auto q = qualityFromRawValue(text);
  if (!q) throw UsageError{"--quality must be low, balanced or high, not '" + text + "'"};
  return *q;
}

std::string parseRelayURL(const std::string& text) {
  if (!text.starts_with("http://") && !text.starts_with("https://"))
    throw UsageError{"--relay needs an http:// or https:// URL, not '" + text + "'"};
  return text;
}

// "auto", "x11", "wayland", "synthetic" or "synthetic:WxH" with even sides the encoders take.
void parseSource(const std::string& text, HostCommand& command) {
  for (const auto& [name, source] : {std::pair{"auto", HostCommand::Source::automatic},
                                     std::pair{"x11", HostCommand::Source::x11},
                                     std::pair{"wayland", HostCommand::Source::wayland}}) {
    if (text != name) continue;
    command.source = source;
    return;
  }
  const std::string prefix = "synthetic";
  if (!text.starts_with(prefix))
    throw UsageError{"--source must be auto, x11, wayland or synthetic[:WxH], not '" + text + "'"};
  command.source = HostCommand::Source::synthetic;
  std::string_view size = std::string_view(text).substr(prefix.size());
  if (size.empty()) return;
  const auto x = size.find('x');
  if (!size.starts_with(':') || x == std::string_view::npos)
    throw UsageError{"--source synthetic takes a size as synthetic:WIDTHxHEIGHT, not '" + text + "'"};
  auto width = parseInt(size.substr(1, x - 1));
  auto height = parseInt(size.substr(x + 1));
  const auto fits = [](std::optional<int> side) { return side && *side >= 16 && *side <= 8192 && *side % 2 == 0; };
  if (!fits(width) || !fits(height))
    throw UsageError{"the synthetic screen's sides must be even numbers from 16 to 8192, not '" + text + "'"};
  command.syntheticWidth = *width;
  command.syntheticHeight = *height;
}

ParsedCommandLine parseHost(const std::vector<std::string>& arguments) {
  po::options_description options("Options");
  // clang-format off
  options.add_options()
      ("help,h", "show this help")
      ("source", po::value<std::string>()->value_name("auto|x11|wayland|synthetic[:WxH]"),
       "what to share: this session's desktop (auto, the default: Wayland in a Wayland session, else X11), "
       "the X display in $DISPLAY, the Wayland desktop (through the desktop portal, else GNOME's interfaces), "
       "or a synthetic screen (default 1920x1080)")
      ("listen", po::value<std::string>()->value_name("ADDR:PORT"),
       "where the local-network listener listens (default 0.0.0.0:7171)")
      ("password", po::value<std::string>()->value_name("PW"),
       "the session password (default: $PELLORA_PASSWORD, else a fresh one)")
      ("relay", po::value<std::string>()->value_name("URL"), "register with this relay")
      ("no-relay", "do not register with a relay")
      ("quality", po::value<std::string>()->value_name("low|balanced|high"), "the video preset")
      ("approve", po::value<std::string>()->value_name("ask|never"),
       "ask on the terminal before a viewer is admitted, or never ask")
      ("no-discovery", "do not announce this host on the local network")
      ("require-v2", "refuse viewers that only speak handshake version 1 (for this run; the settings keep it "
       "off unless the desktop app turned it on)")
      ("status-json", po::value<std::string>()->value_name("FILE"),
       "keep a JSON copy of the host's state in FILE, rewritten on every change");
  // clang-format on
  const std::string synopsis = "pellora host [options]";
  try {
    po::variables_map values;
    const po::positional_options_description none;  // extra words are errors, not ignored
    po::store(po::command_line_parser(arguments).options(options).positional(none).run(), values);
    po::notify(values);
    if (values.count("help")) return {std::monostate{}, helpText(synopsis, options), 0};

    HostCommand command;
    if (values.count("source")) parseSource(values["source"].as<std::string>(), command);
    if (values.count("listen")) {
      const auto& text = values["listen"].as<std::string>();
      command.listen = parseListenAddress(text);
      if (!command.listen) throw UsageError{"--listen needs ADDR:PORT, not '" + text + "'"};
    }
    if (values.count("password")) command.password = values["password"].as<std::string>();
    if (values.count("relay") && values.count("no-relay")) throw UsageError{"--relay and --no-relay exclude each other"};
    if (values.count("relay")) command.relayURL = parseRelayURL(values["relay"].as<std::string>());
    command.noRelay = values.count("no-relay") > 0;
    if (values.count("quality")) command.quality = parseQuality(values["quality"].as<std::string>());
    if (values.count("approve")) {
      const auto& text = values["approve"].as<std::string>();
      if (text != "ask" && text != "never") throw UsageError{"--approve must be ask or never, not '" + text + "'"};
      command.requireApproval = text == "ask";
    }
    command.discovery = values.count("no-discovery") == 0;
    command.requireHandshakeV2 = values.count("require-v2") > 0;
    if (values.count("status-json")) command.statusJSON = values["status-json"].as<std::string>();
    return {std::move(command), {}, 0};
  } catch (const UsageError& e) {
    return failure("host", e.text);
  } catch (const po::error& e) {
    return failure("host", e.what());
  }
}

ParsedCommandLine parseConnect(const std::vector<std::string>& arguments) {
  po::options_description options("Options");
  // clang-format off
  options.add_options()
      ("help,h", "show this help")
      ("headless", "decode without a window and print the session's figures once a second")
      ("password", po::value<std::string>()->value_name("PW"),
       "the host's password (default: $PELLORA_PASSWORD, else asked on the terminal)")
      ("seconds", po::value<int>()->value_name("N"), "disconnect after N seconds connected")
      ("codec", po::value<std::string>()->value_name("h264|jpeg"), "offer only this codec")
      ("quality", po::value<std::string>()->value_name("low|balanced|high"), "the video preset to ask for")
      ("relay", po::value<std::string>()->value_name("URL"), "the relay to reach relay ids through")
      ("send", po::value<std::vector<std::string>>()->value_name("FILE")->composing(),
       "offer FILE to the host once connected (repeatable)")
      ("stats-json", po::value<std::string>()->value_name("FILE"), "write a summary of the session to FILE at the end");
  // clang-format on
  po::options_description hidden;
  hidden.add_options()("target", po::value<std::string>());
  po::options_description all;
  all.add(options).add(hidden);
  po::positional_options_description positional;
  positional.add("target", 1);
  const std::string synopsis = "pellora connect TARGET [--headless] [options]";
  try {
    po::variables_map values;
    po::store(po::command_line_parser(arguments).options(all).positional(positional).run(), values);
    po::notify(values);
    if (values.count("help")) return {std::monostate{}, helpText(synopsis, options), 0};
    if (!values.count("target")) throw UsageError{"which host? Give a relay id or HOST[:PORT]"};

    const auto& text = values["target"].as<std::string>();
    auto target = ViewerTarget::parse(text);
    if (!target) throw UsageError{"'" + text + "' is neither a relay id nor HOST[:PORT]"};
    ConnectCommand command;
    command.target = *target;
    command.headless = values.count("headless") > 0;
    if (values.count("password")) command.password = values["password"].as<std::string>();
    if (values.count("seconds")) {
      command.seconds = values["seconds"].as<int>();
      if (*command.seconds <= 0) throw UsageError{"--seconds must be a positive number"};
    }
    if (values.count("codec")) {
      const auto& codec = values["codec"].as<std::string>();
      if (codec == "h264") command.codec = Codec::h264;
      else if (codec == "jpeg") command.codec = Codec::jpegRegions;
      else throw UsageError{"--codec must be h264 or jpeg, not '" + codec + "'"};
    }
    if (values.count("quality")) command.quality = parseQuality(values["quality"].as<std::string>());
    if (values.count("relay")) command.relayURL = parseRelayURL(values["relay"].as<std::string>());
    if (values.count("send"))
      for (const auto& file : values["send"].as<std::vector<std::string>>()) command.send.emplace_back(file);
    if (values.count("stats-json")) command.statsJSON = values["stats-json"].as<std::string>();
    return {std::move(command), {}, 0};
  } catch (const UsageError& e) {
    return failure("connect", e.text);
  } catch (const po::error& e) {
    return failure("connect", e.what());
  }
}

}  // namespace

std::optional<boost::asio::ip::tcp::endpoint> parseListenAddress(const std::string& text) {
  const auto colon = text.rfind(':');
  if (colon == std::string::npos || colon == 0) return std::nullopt;
  std::string host = text.substr(0, colon);
  if (host.front() == '[') {
    if (host.size() < 3 || host.back() != ']') return std::nullopt;
    host = host.substr(1, host.size() - 2);
  } else if (host.find(':') != std::string::npos) {
    return std::nullopt;  // an IPv6 address needs its brackets
  }
  auto port = parseInt(std::string_view(text).substr(colon + 1));
  if (!port || *port < 0 || *port > 65535) return std::nullopt;
  boost::system::error_code ec;
  auto address = boost::asio::ip::make_address(host, ec);
  if (ec) return std::nullopt;
  return boost::asio::ip::tcp::endpoint(address, static_cast<std::uint16_t>(*port));
}

ParsedCommandLine parseCommandLine(const std::vector<std::string>& arguments) {
  if (arguments.empty()) return {DesktopCommand{}, {}, 0};
  const std::string& command = arguments.front();
  const std::vector<std::string> rest(arguments.begin() + 1, arguments.end());
  if (command == "--help" || command == "-h" || command == "help") return {std::monostate{}, usage, 0};
  if (command == "host") return parseHost(rest);
  if (command == "connect") return parseConnect(rest);
  return {std::monostate{}, "pellora: unknown command '" + command + "'\n\n" + usage, 2};
}

}  // namespace pellora::cli
