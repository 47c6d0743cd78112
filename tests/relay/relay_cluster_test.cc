// Three pellora-relay nodes sharing one real redis-server, as operators run a cluster; and the same behind
// HAProxy. Every process listens on loopback only. Skipped when redis-server (or haproxy) is not installed.

#include <gtest/gtest.h>
#include <hiredis/hiredis.h>
#include <signal.h>

#include <boost/asio/io_context.hpp>
#include <boost/asio/ip/tcp.hpp>
#include <boost/json.hpp>
#include <filesystem>
#include <fstream>
#include <thread>

#include "support/child_process.h"
#include "support/eventually.h"
#include "support/held_port.h"
#include "support/raw_client.h"
#include "support/relay_calls.h"
#include "support/redis_process.h"
#include "support/relay_process.h"
#include "support/temp_dir.h"

namespace pellora {
namespace {

using test::ChildProcess;
using test::findProgram;
using test::RawClient;
using test::RelayProcess;
using test::statusOf;
using test::join;
using test::registerAt;
using test::request;
using test::tokenOf;
using test::upgradeRequest;
using Pair = test::Splice;
using namespace std::chrono_literals;

// The private redis-server, asked directly what the nodes keep there.
class Redis : public test::RedisProcess {
 public:
  using RedisProcess::RedisProcess;
  std::string get(const std::string& key) const { return ask("GET", key).first; }  // "" for nil
  long long ttlSeconds(const std::string& key) const { return ask("TTL", key).second; }
  long long keyCount(const std::string& pattern) const { return ask("KEYS", pattern).second; }

 private:
  // One command on one key: its string reply, or its integer reply (an array's length).
  std::pair<std::string, long long> ask(const std::string& command, const std::string& key) const {
    redisContext* c = redisConnect("127.0.0.1", port());
    auto* r = c && !c->err ? static_cast<redisReply*>(redisCommand(c, "%s %s", command.c_str(), key.c_str())) : nullptr;
    std::pair<std::string, long long> value{"", -3};
    if (r && r->type == REDIS_REPLY_STRING) value.first.assign(r->str, r->len);
    if (r && r->type == REDIS_REPLY_INTEGER) value.second = r->integer;
    if (r && r->type == REDIS_REPLY_ARRAY) value.second = static_cast<long long>(r->elements);
    if (r) freeReplyObject(r);
    if (c) redisFree(c);
    return value;
  }
};

class RelayCluster : public ::testing::Test {
 protected:
  void SetUp() override {
    if (findProgram("redis-server").empty()) GTEST_SKIP() << "redis-server is not installed (make deps)";
    std::ofstream(dir_ / "cluster.key") << "a cluster key shared by every node\n";
    redis_ = std::make_unique<Redis>(dir_.path);
    for (int i = 0; i < 3; ++i) nodes_.push_back(startNode());
  }
  void TearDown() override {
    nodes_.clear();
    redis_.reset();
  }
  std::unique_ptr<RelayProcess> startNode(std::vector<std::string> extra = {}) {
    std::vector<std::string> args{"--redis", redis_->url(), "--advertise", "127.0.0.1:0", "--cluster-key-file",
                                  (dir_ / "cluster.key").string(), "--accept-timeout", "2", "--threads", "1"};
    args.insert(args.end(), extra.begin(), extra.end());
    return std::make_unique<RelayProcess>(args);
  }
  std::uint16_t port(int node) const { return nodes_[node]->port; }

  test::TempDir dir_{"relay-cluster"};
  std::unique_ptr<Redis> redis_;
  std::vector<std::unique_ptr<RelayProcess>> nodes_;
};

TEST_F(RelayCluster, HostViewerAndAcceptOnThreeNodes) {
  auto identity = registerAt(port(0));
  auto hostControl = test::openControl(port(0), identity);
  Pair p = join(*hostControl, identity.first, port(1), port(2), "early", "hello viewer");
  ASSERT_TRUE(p.viewer && p.host);
  EXPECT_EQ(p.viewer->read(12), "hello viewer");
  EXPECT_EQ(p.host->read(5), "early");
  p.viewer->shutdownSend();
  EXPECT_TRUE(p.host->closedByPeer()) << "a half-close crosses both hops";
  p.host->send("still here");
  EXPECT_EQ(p.viewer->read(10), "still here");

  // Tokens are single use across the cluster.
  for (int node = 0; node < 3; ++node)
    EXPECT_EQ(request(port(node), upgradeRequest("/v1/accept", "X-Pellora-Token: " + p.token + "\r\n")).first, 404);

  // The host comes online on another node: the first control connection hears `replaced`.
  auto second = test::openControl(port(1), identity);
  EXPECT_EQ(hostControl->readLine(), "{\"t\":\"replaced\"}\n");
  EXPECT_TRUE(hostControl->closedByPeer());
  Pair again = join(*second, identity.first, port(0), port(2));
  EXPECT_TRUE(again.viewer && again.host) << "incoming lines now reach the new node";

  // A token names the node its viewer waits on: the third node, which has joined hosts to that node's
  // viewers before, joins this one without asking Redis, even while Redis is away.
  RawClient viewer("127.0.0.1", port(1));
  viewer.send(upgradeRequest("/v1/connect", "X-Pellora-Id: " + identity.first + "\r\n"));
  const std::string token = tokenOf(second->readLine());
  redis_->stop();
  RawClient host("127.0.0.1", port(2));
  host.send(upgradeRequest("/v1/accept", "X-Pellora-Token: " + token + "\r\n") + "over");
  EXPECT_EQ(statusOf(host.readHead().value_or("")), 101);
  EXPECT_EQ(statusOf(viewer.readHead().value_or("")), 101);
  EXPECT_EQ(viewer.read(4), "over");
}

TEST_F(RelayCluster, ExpiredTokensAndForgedInternalConnectionsAreRefused) {
  auto identity = registerAt(port(0));
  auto hostControl = test::openControl(port(0), identity);
  RawClient viewer("127.0.0.1", port(1));
  viewer.send(upgradeRequest("/v1/connect", "X-Pellora-Id: " + identity.first + "\r\n"));
  const std::string token = tokenOf(hostControl->readLine());
  EXPECT_EQ(statusOf(viewer.readHead().value_or("")), 504) << "nobody accepted within the accept timeout";
  EXPECT_TRUE(test::eventually([&] { return redis_->get("pellora:token:" + token).empty(); }))
      << "the expired token is dropped from the registry";
  EXPECT_EQ(request(port(2), upgradeRequest("/v1/accept", "X-Pellora-Token: " + token + "\r\n")).first, 404);

  // An internal connection without the cluster key is closed without a word.
  RawClient waiting("127.0.0.1", port(1));
  waiting.send(upgradeRequest("/v1/connect", "X-Pellora-Id: " + identity.first + "\r\n"));
  const std::string live = tokenOf(hostControl->readLine());
  const std::string where = redis_->get("pellora:token:" + live);
  const auto internalPort = static_cast<std::uint16_t>(std::stoi(where.substr(where.rfind(':') + 1)));
  RawClient forged("127.0.0.1", internalPort);
  forged.send("PELLORA-SPLICE " + live + " " + std::string(64, '0') + "\n");
  EXPECT_EQ(forged.readToEnd(), "");
  EXPECT_EQ(statusOf(waiting.readHead().value_or("")), 504) << "the forged connection joined nothing";
}

TEST_F(RelayCluster, NodeAndRedisFailures) {
  auto identity = registerAt(port(0));
  auto hostControl = test::openControl(port(0), identity);
  Pair viaNode3 = join(*hostControl, identity.first, port(1), port(2));
  Pair viaNode2 = join(*hostControl, identity.first, port(1), port(1));
  ASSERT_TRUE(viaNode3.viewer && viaNode2.viewer);
  RawClient stranded("127.0.0.1", port(2));
  stranded.send(upgradeRequest("/v1/connect", "X-Pellora-Id: " + identity.first + "\r\n"));
  const std::string strandedToken = tokenOf(hostControl->readLine());

  // A node that dies ends its own splices only, and a viewer that waited there cannot be joined.
  nodes_[2]->process->signal(SIGKILL);
  nodes_[2]->process->wait();
  EXPECT_EQ(viaNode3.viewer->readToEnd(), "");
  EXPECT_EQ(request(port(1), upgradeRequest("/v1/accept", "X-Pellora-Token: " + strandedToken + "\r\n")),
            std::make_pair(404, std::string(R"({"error":"token"})")));
  viaNode2.viewer->send("alive");
  EXPECT_EQ(viaNode2.host->read(5), "alive");

  // Redis goes away: the running splice goes on, new work gets 503, health says so...
  redis_->stop();
  EXPECT_EQ(request(port(1), upgradeRequest("/v1/connect", "X-Pellora-Id: " + identity.first + "\r\n")),
            std::make_pair(503, std::string(R"({"error":"capacity"})")));
  EXPECT_EQ(request(port(0), "POST /v1/register HTTP/1.1\r\nHost: x\r\n\r\n").first, 503);
  const auto health = request(port(1), "GET /v1/health HTTP/1.1\r\nHost: x\r\n\r\n");
  EXPECT_EQ(health.first, 503);
  EXPECT_NE(health.second.find("unreachable"), std::string::npos) << health.second;
  for (const std::string& r : {upgradeRequest("/v1/host", "X-Pellora-Id: " + identity.first + "\r\nX-Pellora-Secret: " +
                                                            identity.second + "\r\n"),
                               upgradeRequest("/v1/accept", "X-Pellora-Token: 00\r\n")})
    EXPECT_EQ(request(port(0), r).first, 503) << r;
  viaNode2.host->send("still");
  EXPECT_EQ(viaNode2.viewer->read(5), "still");

  // ...and every node recovers by itself when it is back, identities and presence included.
  redis_->start();
  EXPECT_EQ(request(port(1), "GET /v1/health HTTP/1.1\r\nHost: x\r\n\r\n"),
            std::make_pair(200, std::string(R"({"status":"ok","registry":"reachable"})")));
  // The host node restores its presence within a refresh.
  EXPECT_TRUE(test::eventually(
      [&] {
        if (redis_->get("pellora:presence:" + identity.first).empty()) return false;
        Pair after = join(*hostControl, identity.first, port(1), port(0));
        return after.viewer && after.host;
      },
      10s, 250ms));
  EXPECT_EQ(registerAt(port(1)).first.size(), 9u);
}

TEST_F(RelayCluster, StoppedNodesLeaveNoPresenceBehind) {
  auto a = registerAt(port(0)), b = registerAt(port(1));
  auto controlA = test::openControl(port(0), a), controlB = test::openControl(port(1), b);
  EXPECT_NE(redis_->get("pellora:presence:" + a.first), "");

  nodes_[0]->process->signal(SIGTERM);
  EXPECT_EQ(nodes_[0]->process->wait(), 0);
  EXPECT_EQ(redis_->get("pellora:presence:" + a.first), "") << "removed on the way out";
  EXPECT_EQ(request(port(2), upgradeRequest("/v1/connect", "X-Pellora-Id: " + a.first + "\r\n")).second,
            R"({"error":"offline"})");
  EXPECT_EQ(redis_->keyCount("pellora:token:*"), 0) << "nothing is kept for a viewer of an offline host";

  // A node that is killed cannot clean up; its hosts are offline at once (nobody listens on its channel)
  // and its entries expire.
  nodes_[1]->process->signal(SIGKILL);
  nodes_[1]->process->wait();
  // (Redis may take a moment to notice the dead node's channel connection.)
  std::string answer;
  for (int i = 0; i < 5 && answer != R"({"error":"offline"})"; ++i)
    answer = request(port(2), upgradeRequest("/v1/connect", "X-Pellora-Id: " + b.first + "\r\n")).second;
  EXPECT_EQ(answer, R"({"error":"offline"})");
  const long long left = redis_->ttlSeconds("pellora:presence:" + b.first);
  EXPECT_TRUE(left > 0 && left <= 45) << left << " s";
}

TEST_F(RelayCluster, BehindHaproxyInRoundRobin) {
  const std::string haproxy = findProgram("haproxy");
  if (haproxy.empty()) GTEST_SKIP() << "haproxy is not installed (make deps)";
  // As operators run it: HAProxy names each client in a PROXY line.
  nodes_.clear();
  for (int i = 0; i < 3; ++i) nodes_.push_back(startNode({"--trusted-proxy", "127.0.0.1"}));
  const test::HeldPort held;
  const std::uint16_t front = held.port();
  std::ofstream cfg(dir_ / "haproxy.cfg");
  cfg << "global\n  maxconn 2000\n"
         "defaults\n  mode tcp\n  timeout connect 2s\n  timeout client 60s\n  timeout server 60s\n"
         "frontend relay\n  bind 127.0.0.1:" << front << "\n  default_backend nodes\n"
         "backend nodes\n  balance roundrobin\n";
  for (int i = 0; i < 3; ++i) cfg << "  server node" << i << " 127.0.0.1:" << port(i) << " send-proxy\n";
  cfg.close();
  ChildProcess proxy(haproxy, {"-q", "-db", "-f", (dir_ / "haproxy.cfg").string()});
  test::awaitListener(front);

  // Consecutive connections land on consecutive nodes: register, control, viewer and accept all differ
  // from their neighbours.
  auto identity = registerAt(front);
  auto hostControl = test::openControl(front, identity);
  for (int round = 0; round < 3; ++round) {
    Pair p = join(*hostControl, identity.first, front, front, "v" + std::to_string(round), "h" + std::to_string(round));
    ASSERT_TRUE(p.viewer && p.host) << "round " << round;
    EXPECT_EQ(p.viewer->read(2), "h" + std::to_string(round));
    EXPECT_EQ(p.host->read(2), "v" + std::to_string(round));
    std::string big(1 << 20, static_cast<char>('a' + round));
    std::thread sender([&] { p.host->send(big); });
    EXPECT_EQ(p.viewer->read(big.size()), big);
    sender.join();
  }
}

// A Redis that wants a password and also serves TLS with a certificate from a private CA: one node reaches
// it over TLS with the password in a file, another over plain TCP with the password in its URL, and a
// splice joins across them. A node that Redis turns away stops at once with a reason and never the password.
TEST(RelayClusterRedis, PasswordAndTls) {
  if (findProgram("redis-server").empty()) GTEST_SKIP() << "redis-server is not installed (make deps)";
  test::TempDir dir("relay-redis-secured");
  const test::TestCA ca;
  const std::string password = "a-password-of-the-cluster";
  test::RedisProcess redis(dir.path, {password, &ca});
  std::ofstream(dir / "cluster.key") << "a cluster key shared by every node\n";
  std::ofstream(dir / "redis.password") << password << "\n";
  const std::string plainUrl = "redis://:" + password + "@127.0.0.1:" + std::to_string(redis.port());
  auto node = [&](std::vector<std::string> redisArgs) {
    redisArgs.insert(redisArgs.end(),
                     {"--advertise", "127.0.0.1:0", "--cluster-key-file", (dir / "cluster.key").string()});
    return redisArgs;
  };
  const RelayProcess overTls(node({"--redis", redis.url(), "--redis-ca", ca.caCertificate.string(),
                                   "--redis-password-file", (dir / "redis.password").string()}));
  const RelayProcess overTcp(node({"--redis", plainUrl}));

  auto identity = registerAt(overTls.port);
  auto hostControl = test::openControl(overTls.port, identity);
  Pair p = join(*hostControl, identity.first, overTcp.port, overTcp.port, "to host", "to viewer");
  ASSERT_TRUE(p.viewer && p.host);
  EXPECT_EQ(p.viewer->read(9), "to viewer");
  EXPECT_EQ(p.host->read(7), "to host");

  // Standard error too, to read the reason.
  auto refusal = [&](const std::vector<std::string>& args) {
    std::string command = "exec " + std::string(PELLORA_RELAY_BINARY) + " --listen 127.0.0.1:0";
    for (const auto& a : node(args)) command += " '" + a + "'";
    ChildProcess relay("/bin/sh", {"-c", command + " 2>&1"});
    const std::string said = relay.readLine().value_or("");
    EXPECT_EQ(relay.wait(), 1) << said;
    EXPECT_EQ(said.find("a-password"), std::string::npos) << said;
    EXPECT_EQ(said.find("wrong-one"), std::string::npos) << said;
    return said;
  };
  EXPECT_NE(refusal({"--redis", "redis://:wrong-one@127.0.0.1:" + std::to_string(redis.port())}).find("WRONGPASS"),
            std::string::npos);
  EXPECT_NE(refusal({"--redis", "redis://127.0.0.1:" + std::to_string(redis.port())}).find("NOAUTH"),
            std::string::npos);
  EXPECT_NE(refusal({"--redis", redis.url(), "--redis-password-file", (dir / "redis.password").string()})
                .find("not trusted"),
            std::string::npos)
      << "a certificate from an unknown CA";
}

}  // namespace
}  // namespace pellora
