#include <gtest/gtest.h>
#include <pthread.h>

#include <boost/asio/co_spawn.hpp>
#include <boost/asio/detached.hpp>
#include <boost/asio/post.hpp>
#include <boost/asio/steady_timer.hpp>
#include <boost/asio/use_future.hpp>
#include <atomic>
#include <future>
#include <numeric>
#include <thread>
#include <stdexcept>
#include <tuple>

#include "base/executors.h"
#include "base/history.h"
#include "base/network_thread.h"
#include "base/serial_queue.h"
#include "support/eventually.h"

namespace pellora {
namespace {

namespace asio = boost::asio;
using namespace std::chrono_literals;

std::string currentThreadName() {
  char name[16] = {};
  pthread_getname_np(pthread_self(), name, sizeof name);
  return name;
}

TEST(SerialQueueTest, RunsJobsInOrderOnItsNamedThreadWithTimers) {
  SerialQueue queue("pellora.host.video");
  std::vector<int> order;
  std::promise<std::string> name;
  for (int i = 0; i < 100; ++i) queue.post([&order, i] { order.push_back(i); });
  queue.post([&] { name.set_value(currentThreadName()); });
  EXPECT_EQ(name.get_future().get(), "pellora.host.vi") << "the kernel keeps 15 bytes of the label";

  std::promise<bool> fired;
  asio::steady_timer timer(queue.executor(), 10ms);
  timer.async_wait([&](const boost::system::error_code& ec) { fired.set_value(!ec && queue.isCurrentThread()); });
  EXPECT_TRUE(fired.get_future().get());

  std::vector<int> expected(100);
  std::iota(expected.begin(), expected.end(), 0);
  EXPECT_EQ(order, expected);
}

TEST(SerialQueueTest, StopFinishesTheRunningJobAndDropsTheRest) {
  std::atomic<int> ran{0};
  auto destroyed = std::make_shared<int>(0);
  std::promise<void> started;
  std::promise<void> release;
  auto releaseFuture = release.get_future().share();
  {
    SerialQueue queue("pellora.test");
    queue.post([&] {
      started.set_value();
      releaseFuture.wait();
      ++ran;
    });
    queue.post([&, keep = destroyed] { ++ran; });
    started.get_future().wait();
    std::thread stopper([&] { queue.stop(); });
    while (!queue.isStopped()) std::this_thread::yield();
    release.set_value();
    stopper.join();
    queue.post([&] { ++ran; });  // after stop: never runs
    EXPECT_EQ(ran, 1);
  }
  EXPECT_EQ(ran, 1);
  EXPECT_EQ(destroyed.use_count(), 1) << "dropped jobs are destroyed with the queue";
}

TEST(SerialQueueTest, RunResumesTheAwaiterWithTheOutcomeAndNeverReachesAContextThatWent) {
  auto queue = std::make_unique<SerialQueue>("pellora.test");
  {
    NetworkThread network;
    auto task = [&]() -> asio::awaitable<std::tuple<int, bool, std::string>> {
      const int value = co_await queue->run([] { return 7; });
      const bool back = network.isCurrentThread();
      std::string error;
      try {
        co_await queue->run([]() -> int { throw std::runtime_error("boom"); });
      } catch (const std::runtime_error& e) {
        error = e.what();
      }
      co_return std::tuple(value, back, error);
    };
    EXPECT_EQ(asio::co_spawn(network.mainStrand(), task(), asio::use_future).get(), std::tuple(7, true, "boom"));
  }

  // The awaiting side's network thread goes while the job runs; the job's end must not reach it.
  std::promise<void> started, release;
  auto network = std::make_unique<NetworkThread>();
  auto blocked = [&]() -> asio::awaitable<void> {
    co_await queue->run([&] {
      started.set_value();
      release.get_future().wait();
    });
  };
  asio::co_spawn(network->mainStrand(), blocked(), asio::detached);
  started.get_future().wait();
  network.reset();
  release.set_value();

  // A job the queue drops unrun ends the wait with operation_aborted.
  std::promise<void> blockerStarted, unblock;
  queue->post([&] {
    blockerStarted.set_value();
    unblock.get_future().wait();
  });
  blockerStarted.get_future().wait();
  NetworkThread awaiting;
  auto dropped = [&]() -> asio::awaitable<bool> {
    try {
      co_await queue->run([] { return 1; });
    } catch (const boost::system::system_error& e) {
      co_return e.code() == asio::error::operation_aborted;
    }
    co_return false;
  };
  auto aborted = asio::co_spawn(awaiting.mainStrand(), dropped(), asio::use_future);
  asio::post(awaiting.mainStrand(), asio::use_future).get();  // the job is queued once the coroutine waits
  SerialQueue* const going = queue.get();
  std::thread destroyer([&] { queue.reset(); });  // waits for the blocker, then drops the job behind it
  while (!going->isStopped()) std::this_thread::yield();
  unblock.set_value();
  destroyer.join();
  EXPECT_TRUE(aborted.get());
}

TEST(CpuPoolTest, ResultsAndErrorsComeBackToTheAwaitingExecutor) {
  Executors executors;
  auto task = [&]() -> asio::awaitable<std::pair<int, bool>> {
    auto square = [] { return 21 * 2; };
    const int value = co_await executors.cpu().run(square);
    const bool back = executors.network().isCurrentThread();
    auto failing = []() -> int { throw std::runtime_error("boom"); };
    try {
      co_await executors.cpu().run(failing);
    } catch (const std::runtime_error&) {
      co_return std::pair(value, back);
    }
    co_return std::pair(0, false);
  };
  auto result = asio::co_spawn(executors.network().mainStrand(), task(), asio::use_future);
  EXPECT_EQ(result.get(), std::pair(42, true));
}

TEST(CpuPoolTest, StoppingWithAJobInFlightIsClean) {
  auto executors = std::make_unique<Executors>();
  std::promise<void> started;
  std::atomic<bool> finished = false;
  asio::io_context& network = executors->network().context();  // destroyed after the pool is joined
  auto job = [&] {
    started.set_value();
    // Still running when the executors go: it ends only once the network thread has been stopped.
    finished = test::eventually([&] { return network.stopped(); });
    return 1;
  };
  auto task = [&]() -> asio::awaitable<void> { co_await executors->cpu().run(job); };
  asio::co_spawn(executors->network().mainStrand(), task(), asio::detached);
  started.get_future().wait();
  executors.reset();  // joins the network thread, then the pool; the late result is dropped
  EXPECT_TRUE(finished) << "the pool is joined, not abandoned with a job on it";
}

using Small = History<std::string, 5, 2>;

std::vector<std::string> all(const Small& h) { return {h.begin(), h.end()}; }

TEST(HistoryTest, KeepsTheNewestEntriesInOrderAcrossChunkBoundaries) {
  Small h;
  for (int i = 0; i < 12; ++i) {
    h.push_back(std::to_string(i));
    ASSERT_EQ(h.size(), std::min(i + 1, 5));
    EXPECT_EQ(h.back(), std::to_string(i));
  }
  EXPECT_EQ(all(h), (std::vector<std::string>{"7", "8", "9", "10", "11"}));
  EXPECT_EQ(h.front(), "7");
  EXPECT_THROW(h.at(5), std::out_of_range);
  EXPECT_EQ(h.findLast([](const std::string& s) { return s.size() == 1; }), 2u);
  EXPECT_FALSE(h.findLast([](const std::string& s) { return s == "6"; }));
}

TEST(HistoryTest, CopiesShareChunksYetNeverSeeEachOthersChanges) {
  Small a{"a", "b", "c"};
  Small b = a;
  b.push_back("d");
  b.replace(0, "A");
  EXPECT_EQ(all(a), (std::vector<std::string>{"a", "b", "c"}));
  EXPECT_EQ(all(b), (std::vector<std::string>{"A", "b", "c", "d"}));

  // Equality looks at entries, whether or not chunks are shared or the front fell out at another offset.
  Small c;
  for (const char* s : {"x", "A", "b", "c", "d"}) c.push_back(s);
  EXPECT_NE(b, c);
  Small d;
  for (const char* s : {"y", "z", "x", "A", "b", "c", "d"}) d.push_back(s);
  EXPECT_EQ(c, d);
  Small e = d;
  EXPECT_EQ(e, d);
  e.replace(4, "D");
  EXPECT_NE(e, d);
  d.clear();
  EXPECT_TRUE(d.empty());
  EXPECT_EQ(d, Small{});
}

}  // namespace
}  // namespace pellora
