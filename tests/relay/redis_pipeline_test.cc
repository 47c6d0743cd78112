// Many threads sharing one pipelined Redis connection, against a real redis-server: each gets its own
// replies, in order, whether it waits or submits; an error reply fails only its own command; a lost
// connection fails every command of the batch in flight and the next batch connects again. Skipped when
// redis-server is not installed.

#include <gtest/gtest.h>

#include <atomic>
#include <string>
#include <thread>
#include <vector>

#include "relay/redis_connection.h"
#include "support/eventually.h"
#include "support/raw_client.h"
#include "support/redis_process.h"
#include "support/temp_dir.h"

namespace pellora {
namespace {

using relay::RedisPipeline;
using relay::RegistryUnavailable;

class RedisPipelineTest : public ::testing::Test {
 protected:
  void SetUp() override {
    if (test::findProgram("redis-server").empty()) GTEST_SKIP() << "redis-server is not installed (make deps)";
    dir_.emplace("redis-pipeline");
    redis_.emplace(dir_->path);
    address_ = *relay::parseRedisUrl(redis_->url());
  }
  // Long enough for a command that Redis holds (BLPOP) to stay in flight until the test ends it.
  RedisPipeline::Connect connect() const {
    return [address = address_] {
      return std::make_unique<relay::RedisConnection>(address, nullptr, std::chrono::seconds(30));
    };
  }
  // Redis' own view of its clients, one line each.
  std::string clients() const {
    test::RawClient c("127.0.0.1", redis_->port());
    c.send("CLIENT LIST\r\n");
    const std::string size = c.readLine().value_or("$0\r\n");
    return c.read(std::stoul(size.substr(1)) + 2).value_or("");
  }
  void killClients() const {
    test::RawClient c("127.0.0.1", redis_->port());
    c.send("CLIENT KILL TYPE normal\r\n");
    c.readLine();
  }

  std::optional<test::TempDir> dir_;
  std::optional<test::RedisProcess> redis_;
  relay::RedisAddress address_;
};

TEST_F(RedisPipelineTest, EveryCallerGetsItsOwnRepliesInOrder) {
  RedisPipeline pipeline(connect());
  constexpr int kThreads = 12, kEach = 150;
  std::atomic<int> wrong = 0;
  // A caller that does not wait (a network thread's): its replies come in the order it submitted.
  std::atomic<int> submittedDone = 0;
  for (int i = 1; i <= kEach; ++i) {
    pipeline.submit({"INCR", "submitted"}, [&, i](relay::RedisReply r, std::exception_ptr error) {
      wrong += error || r.integer() != i || submittedDone.load() != i - 1;
      ++submittedDone;
    });
  }
  std::vector<std::thread> threads;
  for (int t = 0; t < kThreads; ++t) {
    threads.emplace_back([&, t] {
      const std::string counter = "counter:" + std::to_string(t);
      for (int i = 1; i <= kEach; ++i) {
        // Single commands and small batches interleave with the other threads' in the same writes.
        if (i % 3 == 0) {
          auto r = pipeline.commands({{"INCR", counter}, {"GET", counter}});
          wrong += r[0].integer() != i || r[1].text() != std::to_string(i);
        } else {
          wrong += pipeline.command({"INCR", counter}).integer() != i;
        }
      }
    });
  }
  for (auto& t : threads) t.join();
  EXPECT_TRUE(test::eventually([&] { return submittedDone == kEach; }));
  EXPECT_EQ(wrong, 0);
}

TEST_F(RedisPipelineTest, AnErrorReplyFailsOnlyItsOwnCommand) {
  RedisPipeline pipeline(connect());
  auto r = pipeline.commands({{"SET", "k", "v"}, {"LPUSH", "k", "x"}, {"GET", "k"}, {"NOSUCHCOMMAND"}, {"PING"}});
  ASSERT_EQ(r.size(), 5u);
  EXPECT_EQ(r[0].text(), "OK");
  EXPECT_TRUE(r[1].error());
  EXPECT_TRUE(r[1].text().starts_with("WRONGTYPE")) << r[1].text();
  EXPECT_EQ(r[2].text(), "v");
  EXPECT_TRUE(r[3].error());
  EXPECT_EQ(r[4].text(), "PONG");
  EXPECT_EQ(pipeline.command({"GET", "k"}).text(), "v") << "the connection stays usable";
}

TEST_F(RedisPipelineTest, ALostConnectionFailsItsWholeBatchAndTheNextConnectsAgain) {
  RedisPipeline pipeline(connect());
  ASSERT_EQ(pipeline.command({"SET", "k", "v"}).text(), "OK");

  // Redis holds the BLPOP, so the whole batch is in flight when the connection is killed.
  std::string failure;
  std::thread inFlight([&] {
    try {
      pipeline.commands({{"BLPOP", "nothing-comes", "0"}, {"GET", "k"}, {"SET", "after", "1"}});
    } catch (const RegistryUnavailable& e) {
      failure = e.what();
    }
  });
  ASSERT_TRUE(test::eventually([&] { return clients().find("cmd=blpop") != std::string::npos; }));
  killClients();
  inFlight.join();
  EXPECT_TRUE(failure.starts_with("redis: reading from redis://127.0.0.1:")) << failure;

  EXPECT_EQ(pipeline.command({"GET", "k"}).text(), "v");

  // Redis gone: every call fails, and none hangs; once it is back, calls succeed again.
  redis_->stop();
  std::vector<std::thread> callers;
  std::atomic<int> failed = 0;
  for (int i = 0; i < 4; ++i) {
    callers.emplace_back([&] {
      try {
        pipeline.command({"GET", "k"});
      } catch (const RegistryUnavailable&) {
        ++failed;
      }
    });
  }
  std::atomic<bool> submittedFailed = false;
  pipeline.submit({"GET", "k"}, [&](relay::RedisReply, std::exception_ptr error) { submittedFailed = error != nullptr; });
  for (auto& c : callers) c.join();
  EXPECT_EQ(failed, 4);
  EXPECT_TRUE(test::eventually([&] { return submittedFailed.load(); }));
  redis_->start();
  EXPECT_EQ(pipeline.command({"GET", "k"}).text(), "v");
}

}  // namespace
}  // namespace pellora
