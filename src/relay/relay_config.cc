#include "relay/relay_config.h"

#include <boost/program_options.hpp>
#include <boost/url/parse.hpp>
#include <charconv>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <sstream>

#include "support/paths.h"

namespace pellora::relay {

namespace po = boost::program_options;

namespace {

constexpr const char* kUsage =
    "usage: pellora-relay [OPTIONS]\n"
    "\n"
    "Relays Pellora connections between viewers and hosts that cannot reach each other directly.\n"
    "One node keeps its identities in SQLite; several nodes behind one address share identities,\n"
    "presence and tokens through Redis (--redis, --advertise, --cluster-key-file).\n";

template <typename T>
bool number(std::string_view text, T& out) {
  auto [end, ec] = std::from_chars(text.data(), text.data() + text.size(), out);
  return ec == std::errc() && end == text.data() + text.size();
}

po::options_description options() {
  po::options_description o("Options");
  // clang-format off
  o.add_options()
    ("help,h", "print this text and exit")
    ("listen", po::value<std::string>()->value_name("HOST:PORT"),
     "address to listen on (default 127.0.0.1:8270; [::1]:PORT for IPv6)")
    ("db", po::value<std::string>()->value_name("FILE"),
     "SQLite database of registered identities, when not in a cluster "
     "(default $XDG_DATA_HOME/pellora-relay/relay.db)")
    ("tls-cert", po::value<std::string>()->value_name("FILE"), "PEM certificate chain; with --tls-key, serve HTTPS")
    ("tls-key", po::value<std::string>()->value_name("FILE"), "PEM private key")
    ("max-connections", po::value<long long>()->value_name("N"),
     "open connections before new ones get 503 (default 1000)")
    ("max-connections-per-address", po::value<long long>()->value_name("N"),
     "open connections from one client address before its new ones get 503 (default 32)")
    ("registrations-per-minute", po::value<long long>()->value_name("N"),
     "registrations per client address and minute before 429 (default 10)")
    ("host-logins-per-minute", po::value<long long>()->value_name("N"),
     "host control connections per client address and minute before 429 (default 30)")
    ("connects-per-minute", po::value<long long>()->value_name("N"),
     "connects per client address and minute before 429 (default 60)")
    ("connects-per-identity-per-minute", po::value<long long>()->value_name("N"),
     "connects to one identity, from all addresses together, per minute before 429 (default 240)")
    ("accepts-per-minute", po::value<long long>()->value_name("N"),
     "accepts per client address and minute before 429 (default 120)")
    ("accept-timeout", po::value<long long>()->value_name("SECONDS"),
     "how long a viewer waits for its host, and how long its token lives (default 30)")
    ("idle-timeout", po::value<long long>()->value_name("SECONDS"),
     "close a relayed stream after this long without traffic (default 600)")
    ("header-timeout", po::value<long long>()->value_name("SECONDS"),
     "time allowed for a TLS handshake and a request head (default 10)")
    ("threads", po::value<long long>()->value_name("N"),
     "threads that copy relayed bytes (default: one per core)")
    ("trusted-proxy", po::value<std::string>()->value_name("CIDR,..."),
     "load balancers whose every connection starts with a PROXY protocol v1 line (HAProxy: send-proxy); "
     "limits and caps then count the client address it names. A PROXY line from any other address "
     "closes its connection")
    ("proxy-protocol", po::bool_switch(), "accepted with --trusted-proxy, which it needs")
    ("redis", po::value<std::string>()->value_name("URL"),
     "redis://[[USER]:PASSWORD@]HOST:PORT[/DB], or rediss://... over TLS: run as a node of a cluster sharing "
     "this Redis (--db is then unused)")
    ("redis-password-file", po::value<std::string>()->value_name("FILE"),
     "with --redis: file holding the Redis password, which then stays out of the command line "
     "(default: the redis-password credential, if any)")
    ("redis-ca", po::value<std::string>()->value_name("FILE"),
     "with rediss://: PEM certificate of a private CA that signed the Redis server's certificate")
    ("advertise", po::value<std::string>()->value_name("HOST:PORT"),
     "with --redis: internal listener through which other nodes reach this one; "
     "bind it to a private address")
    ("cluster-key-file", po::value<std::string>()->value_name("FILE"),
     "with --redis: file holding the key that every node of the cluster shares (at least 16 bytes)")
    ("cluster-peers", po::value<std::string>()->value_name("CIDR,..."),
     "with --redis: the internal listener takes connections from these addresses only");
  // clang-format on
  return o;
}

// A file's first line (a password written with or without its newline); nullopt when unreadable or empty.
std::optional<std::string> readSecretFile(const std::filesystem::path& file) {
  std::ifstream in(file);
  std::string line;
  if (!in || !std::getline(in, line)) return std::nullopt;
  if (!line.empty() && line.back() == '\r') line.pop_back();
  if (line.empty()) return std::nullopt;
  return line;
}

std::string helpText() {
  std::ostringstream out;
  out << kUsage << "\n" << options();
  return out.str();
}

}  // namespace

std::optional<RedisAddress> parseRedisUrl(const std::string& url) {
  auto parsed = boost::urls::parse_absolute_uri(url);
  if (!parsed || parsed->has_query() || parsed->has_fragment() || !parsed->has_authority()) return std::nullopt;
  const boost::urls::url_view u = *parsed;
  RedisAddress a;
  if (u.scheme() == "rediss") a.tls = true;
  else if (u.scheme() != "redis") return std::nullopt;
  if (u.has_userinfo()) {
    a.user = u.user();
    if (u.has_password()) a.password = u.password();
  }
  a.host = u.host_address();
  if (a.host.empty()) return std::nullopt;
  if (u.has_port() && (!number(u.port(), a.port) || a.port == 0)) return std::nullopt;
  if (const std::string_view path = u.encoded_path(); !path.empty() && path != "/") {
    if (!number(path.substr(1), a.database) || a.database < 0) return std::nullopt;
  }
  return a;
}

std::string RedisAddress::describe() const {
  const bool v6 = host.find(':') != std::string::npos;
  return (tls ? "rediss://" : "redis://") + (v6 ? "[" + host + "]" : host) + ":" + std::to_string(port) + "/" +
         std::to_string(database);
}

std::filesystem::path defaultDatabasePath() { return Paths::dataHome() / "pellora-relay" / "relay.db"; }

ParsedArguments parseArguments(const std::vector<std::string>& args) {
  const std::string help = helpText();
  auto fail = [&help](const std::string& why) {
    return ParsedArguments{std::nullopt, "pellora-relay: " + why + "\n\n" + help, false};
  };
  po::variables_map vm;
  try {
    po::store(po::command_line_parser(args).options(options()).run(), vm);
    po::notify(vm);
  } catch (const po::error& e) {
    return fail(e.what());
  }
  if (vm.count("help")) return {std::nullopt, help, true};

  RelayConfig c;
  auto text = [&vm](const char* name) { return vm[name].as<std::string>(); };
  // Every count and duration is a positive number.
  auto positive = [&vm](const char* name, auto& out) -> bool {
    if (!vm.count(name)) return true;
    const long long n = vm[name].as<long long>();
    if (n <= 0) return false;
    using T = std::decay_t<decltype(out)>;
    if constexpr (std::is_same_v<T, Seconds>) out = Seconds(n);
    else out = static_cast<T>(n);
    return true;
  };
  if (vm.count("listen") && !splitHostPort(text("listen"), c.listenHost, c.listenPort))
    return fail("--listen wants HOST:PORT, not " + text("listen"));
  if (vm.count("db")) c.database = text("db");
  if (vm.count("trusted-proxy")) {
    auto ranges = AddressRange::parseList(text("trusted-proxy"));
    if (!ranges) return fail("--trusted-proxy wants addresses or networks such as 10.0.0.0/8,2001:db8::/32, not " +
                             text("trusted-proxy"));
    c.trustedProxies = std::move(*ranges);
  }
  if (vm["proxy-protocol"].as<bool>() && c.trustedProxies.empty())
    return fail("--proxy-protocol takes PROXY lines only from the load balancers in --trusted-proxy CIDR,...");
  std::filesystem::path redisPasswordFile;
  if (vm.count("redis-password-file")) redisPasswordFile = text("redis-password-file");
  if (vm.count("tls-cert")) c.tlsCertificate = text("tls-cert");
  if (vm.count("tls-key")) c.tlsKey = text("tls-key");
  // Under systemd, key files come as credentials (LoadCredential=) that only this service can read.
  if (const char* credentials = std::getenv("CREDENTIALS_DIRECTORY"); credentials && *credentials) {
    auto take = [dir = std::filesystem::path(credentials)](std::filesystem::path& file, const char* name) {
      std::error_code ec;
      if (file.empty() && std::filesystem::is_regular_file(dir / name, ec)) file = dir / name;
    };
    take(c.tlsCertificate, "tls-cert");
    take(c.tlsKey, "tls-key");
    take(c.clusterKeyFile, "cluster-key");
    take(redisPasswordFile, "redis-password");
  }
  for (const char* name : {"max-connections", "max-connections-per-address", "registrations-per-minute",
                           "host-logins-per-minute", "connects-per-minute", "connects-per-identity-per-minute",
                           "accepts-per-minute", "accept-timeout", "idle-timeout", "header-timeout", "threads"}) {
    const std::string n = name;
    bool good = n == "max-connections"               ? positive(name, c.maxConnections)
                : n == "max-connections-per-address" ? positive(name, c.maxConnectionsPerAddress)
                : n == "registrations-per-minute"    ? positive(name, c.registrationsPerMinute)
                : n == "host-logins-per-minute"      ? positive(name, c.hostLoginsPerMinute)
                : n == "connects-per-minute"         ? positive(name, c.connectsPerMinute)
                : n == "connects-per-identity-per-minute" ? positive(name, c.connectsPerIdentityPerMinute)
                : n == "accepts-per-minute"          ? positive(name, c.acceptsPerMinute)
                : n == "accept-timeout"              ? positive(name, c.acceptTimeout)
                : n == "idle-timeout"                ? positive(name, c.spliceIdleTimeout)
                : n == "header-timeout"              ? positive(name, c.headerTimeout)
                                                     : positive(name, c.threads);
    if (!good) return fail("--" + n + " wants a positive number");
  }
  if (c.tlsCertificate.empty() != c.tlsKey.empty()) return fail("--tls-cert and --tls-key go together");

  if (vm.count("redis")) {
    c.redis = parseRedisUrl(text("redis"));
    // The URL may hold a password: never repeat it.
    if (!c.redis) return fail("--redis wants redis://[[USER]:PASSWORD@]HOST:PORT[/DB] or rediss://...");
    // A redis-password credential gives way to a password in the URL; the option does not.
    if (!redisPasswordFile.empty() && (vm.count("redis-password-file") || c.redis->password.empty())) {
      if (!c.redis->password.empty())
        return fail("give the Redis password either in the --redis URL or in --redis-password-file, not both");
      auto password = readSecretFile(redisPasswordFile);
      if (!password) return fail("cannot read a password from " + redisPasswordFile.string());
      c.redis->password = std::move(*password);
    }
    if (!c.redis->user.empty() && c.redis->password.empty())
      return fail("the Redis user " + c.redis->user + " needs a password (in the URL or --redis-password-file)");
    if (vm.count("redis-ca")) {
      if (!c.redis->tls) return fail("--redis-ca belongs to a rediss:// (TLS) URL");
      c.redis->caFile = text("redis-ca");
    }
    if (!vm.count("advertise") || !splitHostPort(text("advertise"), c.advertiseHost, c.advertisePort))
      return fail("--redis needs --advertise HOST:PORT, the internal address of this node");
    if (vm.count("cluster-key-file")) c.clusterKeyFile = text("cluster-key-file");
    if (c.clusterKeyFile.empty()) return fail("--redis needs --cluster-key-file (or a cluster-key credential)");
    if (vm.count("cluster-peers")) {
      auto ranges = AddressRange::parseList(text("cluster-peers"));
      if (!ranges) return fail("--cluster-peers wants addresses or networks such as 10.0.0.0/24, not " +
                               text("cluster-peers"));
      c.clusterPeers = std::move(*ranges);
    }
  } else if (vm.count("advertise") || vm.count("cluster-key-file") || vm.count("cluster-peers") ||
             vm.count("redis-password-file") || vm.count("redis-ca")) {
    return fail("--advertise, --cluster-key-file, --cluster-peers and --redis-* belong to a cluster: give --redis too");
  }
  if (!c.cluster()) c.clusterKeyFile.clear();  // a cluster-key credential of a node that runs alone
  if (c.database.empty()) c.database = defaultDatabasePath();
  return {c, {}, true};
}

}  // namespace pellora::relay
