#include "relay/relay_config.h"

#include <charconv>

#include "support/paths.h"

namespace pellora::relay {

namespace {

constexpr const char* kHelp =
    "usage: pellora-relay [--listen HOST:PORT] [--db FILE] [--tls-cert FILE --tls-key FILE]\n"
    "                     [--max-connections N] [--registrations-per-minute N] [--connects-per-minute N]\n"
    "                     [--accept-timeout SECONDS] [--idle-timeout SECONDS] [--header-timeout SECONDS]\n"
    "\n"
    "Relays Pellora connections between viewers and hosts that cannot reach each other directly.\n"
    "\n"
    "  --listen HOST:PORT   address to listen on (default 127.0.0.1:8270; [::1]:PORT for IPv6)\n"
    "  --db FILE            SQLite database of registered identities\n"
    "                       (default $XDG_DATA_HOME/pellora-relay/relay.db)\n"
    "  --tls-cert FILE      PEM certificate chain; with --tls-key, serve HTTPS\n"
    "  --tls-key FILE       PEM private key\n"
    "  --max-connections N  open connections before new ones get 503 (default 1000)\n"
    "  --registrations-per-minute N, --connects-per-minute N\n"
    "                       per client address, before 429 (defaults 10 and 60)\n"
    "  --accept-timeout S   how long a viewer waits for its host (default 30)\n"
    "  --idle-timeout S     close a relayed stream after S seconds without traffic (default 600)\n"
    "  --header-timeout S   time allowed for a TLS handshake and a request head (default 10)\n"
    "  --help               this text\n";

template <typename T>
bool number(const std::string& text, T& out) {
  auto [end, ec] = std::from_chars(text.data(), text.data() + text.size(), out);
  return ec == std::errc() && end == text.data() + text.size();
}

bool hostPort(const std::string& text, RelayConfig& c) {
  auto colon = text.rfind(':');
  if (colon == std::string::npos || colon == 0) return false;
  std::string host = text.substr(0, colon);
  if (host.front() == '[' && host.back() == ']') host = host.substr(1, host.size() - 2);
  std::uint16_t port = 0;
  if (host.empty() || !number(text.substr(colon + 1), port)) return false;
  c.listenHost = host;
  c.listenPort = port;
  return true;
}

}  // namespace

std::filesystem::path defaultDatabasePath() { return Paths::dataHome() / "pellora-relay" / "relay.db"; }

ParsedArguments parseArguments(const std::vector<std::string>& args) {
  RelayConfig c;
  auto fail = [](std::string why) { return ParsedArguments{std::nullopt, why + "\n\n" + kHelp, false}; };
  for (std::size_t i = 0; i < args.size(); ++i) {
    const std::string& a = args[i];
    if (a == "--help" || a == "-h") return {std::nullopt, kHelp, true};
    if (i + 1 >= args.size()) return fail("pellora-relay: " + a + " is unknown or needs a value");
    const std::string& v = args[++i];
    long long n = 0;
    bool good = true;
    if (a == "--listen") good = hostPort(v, c);
    else if (a == "--db") c.database = v;
    else if (a == "--tls-cert") c.tlsCertificate = v;
    else if (a == "--tls-key") c.tlsKey = v;
    else if (a == "--max-connections") good = number(v, n) && n > 0 && (c.maxConnections = static_cast<std::size_t>(n));
    else if (a == "--registrations-per-minute") good = number(v, n) && n > 0 && (c.registrationsPerMinute = static_cast<int>(n));
    else if (a == "--connects-per-minute") good = number(v, n) && n > 0 && (c.connectsPerMinute = static_cast<int>(n));
    else if (a == "--accept-timeout") good = number(v, n) && n > 0 && (c.acceptTimeout = Seconds(n)).count();
    else if (a == "--header-timeout") good = number(v, n) && n > 0 && (c.headerTimeout = Seconds(n)).count();
    else if (a == "--idle-timeout") good = number(v, n) && n > 0 && (c.spliceIdleTimeout = Seconds(n)).count();
    else return fail("pellora-relay: unknown option " + a);
    if (!good) return fail("pellora-relay: bad value for " + a + ": " + v);
  }
  if (c.tlsCertificate.empty() != c.tlsKey.empty()) return fail("pellora-relay: --tls-cert and --tls-key go together");
  if (c.database.empty()) c.database = defaultDatabasePath();
  return {c, {}, true};
}

}  // namespace pellora::relay
