// pellora-relay against clients that mean harm, as real processes on loopback: floods on every endpoint
// from one address while another registers, comes online and is joined; PROXY lines from whoever is not a
// trusted balancer; a flood on a cluster node's internal listener; and a cluster on IPv6. Sources vary by
// leaving from distinct loopback addresses (127.0.0.x) or by PROXY lines from a trusted balancer.

#include <gtest/gtest.h>
#include <sys/resource.h>
#include <unistd.h>

#include <boost/asio/io_context.hpp>
#include <boost/asio/ip/tcp.hpp>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <thread>

#include "support/eventually.h"
#include "support/raw_client.h"
#include "support/redis_process.h"
#include "support/relay_calls.h"
#include "support/relay_process.h"
#include "support/temp_dir.h"

namespace pellora {
namespace {

using test::RawClient;
using test::RelayProcess;
using test::request;
using test::upgradeRequest;
using test::Via;

const std::pair<int, std::string> kRateLimited{429, R"({"error":"rate-limit"})"};

// Sends `text` `times` times from `via`; the answers in order.
std::vector<std::pair<int, std::string>> repeat(std::uint16_t port, const std::string& text, int times, const Via& via) {
  std::vector<std::pair<int, std::string>> answers;
  for (int i = 0; i < times; ++i) answers.push_back(request(port, text, via));
  return answers;
}

std::size_t openFiles(pid_t pid) {
  std::size_t n = 0;
  for ([[maybe_unused]] const auto& entry : std::filesystem::directory_iterator("/proc/" + std::to_string(pid) + "/fd"))
    ++n;
  return n;
}

TEST(RelayHostile, FloodOnEveryEndpointLimitsTheFlooderOnly) {
  test::TempDir dir("relay-hostile");
  RelayProcess relay({"--db", (dir / "relay.db").string(), "--registrations-per-minute", "3",
                      "--host-logins-per-minute", "3", "--connects-per-minute", "3", "--accepts-per-minute", "3"});
  const Via attacker{"127.0.0.1", "127.0.0.2"}, user{"127.0.0.1", "127.0.0.3"};
  auto victim = test::registerAt(relay.port, user);
  const std::string wrongSecret =
      upgradeRequest("/v1/host", "X-Pellora-Id: " + victim.first + "\r\nX-Pellora-Secret: 00\r\n");
  struct Flood {
    std::string request;
    int answeredFirst;  // what the first three get
  };
  for (const Flood& flood : {Flood{"POST /v1/register HTTP/1.1\r\nHost: x\r\n\r\n", 200}, Flood{wrongSecret, 401},
                             Flood{upgradeRequest("/v1/connect", "X-Pellora-Id: " + victim.first + "\r\n"), 404},
                             Flood{upgradeRequest("/v1/accept", "X-Pellora-Token: 0123\r\n"), 404}}) {
    auto answers = repeat(relay.port, flood.request, 8, attacker);
    for (int i = 0; i < 3; ++i) EXPECT_EQ(answers[i].first, flood.answeredFirst) << flood.request;
    for (int i = 3; i < 8; ++i) EXPECT_EQ(answers[i], kRateLimited) << flood.request;
  }
  EXPECT_TRUE(test::hostAndViewerMeet(relay.port, user)) << "another address registers, comes online and is joined";
  auto control = test::openControl(relay.port, victim, user);
  auto pair = test::join(*control, victim.first, relay.port, relay.port, {}, {}, user);
  EXPECT_TRUE(pair.viewer && pair.host) << "the flooded identity is still reached";
}

TEST(RelayHostile, OnlyTrustedBalancersMayNameAnotherAddress) {
  test::TempDir dir("relay-hostile");
  RelayProcess relay({"--db", (dir / "relay.db").string(), "--trusted-proxy", "127.0.0.2", "--connects-per-minute", "2"});
  const std::string health = "GET /v1/health HTTP/1.1\r\nHost: x\r\n\r\n";
  auto forged = Via{"127.0.0.1", "127.0.0.3"}.open(relay.port);
  forged->send("PROXY TCP4 192.0.2.1 127.0.0.1 40000 8270\r\n" + health);
  EXPECT_EQ(forged->readToEnd(), "") << "closed without an answer";
  EXPECT_EQ(request(relay.port, health, {"127.0.0.1", "127.0.0.3"}).first, 200) << "served as itself without one";
  auto bare = Via{"127.0.0.1", "127.0.0.2"}.open(relay.port);
  bare->send(health);
  EXPECT_EQ(bare->readToEnd(), "") << "the balancer always names its client";

  // Behind the balancer, each client named in a PROXY line has its own budget.
  auto behind = [&](const std::string& client) {
    return request(relay.port,
                   "PROXY TCP4 " + client + " 127.0.0.1 40000 8270\r\n" +
                       upgradeRequest("/v1/connect", "X-Pellora-Id: 123456789\r\n"),
                   {"127.0.0.1", "127.0.0.2"});
  };
  EXPECT_EQ(behind("192.0.2.66").first, 404);
  EXPECT_EQ(behind("192.0.2.66").first, 404);
  EXPECT_EQ(behind("192.0.2.66"), kRateLimited);
  EXPECT_EQ(behind("192.0.2.67").first, 404);
}

// CPU seconds `pid` has used so far.
double cpuSeconds(pid_t pid) {
  std::ifstream stat("/proc/" + std::to_string(pid) + "/stat");
  std::string text((std::istreambuf_iterator<char>(stat)), {});
  std::istringstream fields(text.substr(text.rfind(')') + 2));
  std::string skip;
  for (int i = 0; i < 11; ++i) fields >> skip;  // state ... cmajflt
  long user = 0, system = 0;
  fields >> user >> system;
  return static_cast<double>(user + system) / static_cast<double>(sysconf(_SC_CLK_TCK));
}

// A client that holds every descriptor the relay may open leaves its next accepts failing: the relay waits
// for a descriptor instead of spinning on the failure, and serves again once they are closed.
TEST(RelayHostile, RunningOutOfDescriptorsCostsNoCpu) {
  test::TempDir dir("relay-hostile");
  RelayProcess relay({"--db", (dir / "relay.db").string()});
  const rlimit few{48, 48};
  ASSERT_EQ(prlimit(relay.process->pid(), RLIMIT_NOFILE, &few, nullptr), 0);
  std::vector<std::unique_ptr<RawClient>> held;
  for (int i = 0; i < 64; ++i) held.push_back(Via{"127.0.0.1", "127.0.0.4"}.open(relay.port));
  ASSERT_TRUE(test::eventually([&] { return openFiles(relay.process->pid()) >= 48; }));
  const double before = cpuSeconds(relay.process->pid());
  std::this_thread::sleep_for(std::chrono::seconds(1));  // a spinning accept would use all of it
  EXPECT_LT(cpuSeconds(relay.process->pid()) - before, 0.5);
  held.clear();
  EXPECT_TRUE(test::eventually(
      [&] { return request(relay.port, "GET /v1/health HTTP/1.1\r\nHost: x\r\n\r\n").first == 200; }));
}

class HostileCluster : public ::testing::Test {
 protected:
  void SetUp() override {
    if (test::findProgram("redis-server").empty()) GTEST_SKIP() << "redis-server is not installed (make deps)";
    std::ofstream(dir_ / "cluster.key") << "a cluster key shared by every node\n";
    redis_ = std::make_unique<test::RedisProcess>(dir_.path);
  }
  std::unique_ptr<RelayProcess> node(std::vector<std::string> extra = {}, const std::string& host = "127.0.0.1") {
    std::vector<std::string> args{"--redis", redis_->url(), "--advertise", host == "::1" ? "[::1]:0" : host + ":0",
                                  "--cluster-key-file", (dir_ / "cluster.key").string(), "--threads", "1"};
    args.insert(args.end(), extra.begin(), extra.end());
    return std::make_unique<RelayProcess>(args, host);
  }

  test::TempDir dir_{"relay-hostile-cluster"};
  std::unique_ptr<test::RedisProcess> redis_;
};

TEST_F(HostileCluster, InternalListenerFloodIsBoundedAndPeersAreChosen) {
  auto open = node(), guarded = node({"--cluster-peers", "127.0.0.1"});

  // Only the named peers reach the guarded node's internal listener.
  std::vector<std::unique_ptr<RawClient>> strangers;
  for (int i = 0; i < 20; ++i) strangers.push_back(Via{"127.0.0.1", "127.0.0.2"}.open(guarded->internalPort));
  for (auto& s : strangers) EXPECT_TRUE(s->closedByPeer());

  // The open node serves at most 64 connections that have not proven the key, each for 2 s; the rest wait
  // in the kernel's queue, and client connections are served as usual meanwhile.
  const std::size_t before = openFiles(open->process->pid());
  std::vector<std::unique_ptr<RawClient>> flood;
  for (int i = 0; i < 200; ++i) flood.push_back(std::make_unique<RawClient>("127.0.0.1", open->internalPort, 5000));
  ASSERT_TRUE(test::eventually([&] { return openFiles(open->process->pid()) >= before + 64; }));
  EXPECT_LE(openFiles(open->process->pid()), before + 64 + 2);
  EXPECT_EQ(request(open->port, "GET /v1/health HTTP/1.1\r\nHost: x\r\n\r\n").first, 200);
  EXPECT_TRUE(flood.front()->closedByPeer()) << "a connection without its line is closed";
  flood.clear();

  // Nodes still join splices both ways.
  auto identity = test::registerAt(open->port);
  auto control = test::openControl(open->port, identity);
  auto intoGuarded = test::join(*control, identity.first, guarded->port, open->port, "a", "b");
  ASSERT_TRUE(intoGuarded.viewer && intoGuarded.host);
  EXPECT_EQ(intoGuarded.viewer->read(1), "b");
  bool joined = false;  // the open node may still be draining the closed flood from its queue
  for (int i = 0; i < 5 && !joined; ++i) {
    auto intoOpen = test::join(*control, identity.first, open->port, guarded->port);
    joined = intoOpen.viewer && intoOpen.host;
  }
  EXPECT_TRUE(joined);
}

bool hasIpv6Loopback() {
  try {
    boost::asio::io_context io;
    boost::asio::ip::tcp::acceptor a(io, {boost::asio::ip::make_address("::1"), 0});
    return true;
  } catch (const std::exception&) {
    return false;
  }
}

TEST_F(HostileCluster, NodesJoinSplicesOverIpv6) {
  if (!hasIpv6Loopback()) GTEST_SKIP() << "this machine has no IPv6 loopback address (::1)";
  auto a = node({}, "::1"), b = node({}, "::1");
  const Via v6{"::1", ""};
  auto identity = test::registerAt(a->port, v6);
  auto control = test::openControl(a->port, identity, v6);
  auto pair = test::join(*control, identity.first, b->port, a->port, "to host", "to viewer", v6);
  ASSERT_TRUE(pair.viewer && pair.host) << "viewer on one node, the host's accept on the other";
  EXPECT_EQ(pair.viewer->read(9), "to viewer");
  EXPECT_EQ(pair.host->read(7), "to host");
}

}  // namespace
}  // namespace pellora
