#include "base/stall_detector.h"

#include <gtest/gtest.h>

#include <boost/asio/co_spawn.hpp>
#include <boost/asio/detached.hpp>
#include <boost/asio/post.hpp>
#include <boost/asio/steady_timer.hpp>
#include <boost/asio/use_awaitable.hpp>
#include <sched.h>

#include <atomic>
#include <filesystem>
#include <future>
#include <mutex>
#include <thread>
#include <vector>

#include "base/network_thread.h"

namespace pellora {
namespace {

namespace asio = boost::asio;
using namespace std::chrono_literals;

// Collects every report while a test runs, instead of the suite's sink (which fails a test on a real stall).
class CollectedReports {
 public:
  CollectedReports() {
    StallDetector::enable();
    previous_ = StallDetector::setSink([this](const StallReport& r) {
      std::lock_guard lock(mutex_);
      reports_.push_back(r);
    });
  }
  ~CollectedReports() { StallDetector::setSink(std::move(previous_)); }

  // Reports whose line mentions `name`.
  std::vector<StallReport> naming(const std::string& name) {
    std::lock_guard lock(mutex_);
    std::vector<StallReport> found;
    for (const auto& r : reports_)
      if (r.line().find(name) != std::string::npos) found.push_back(r);
    return found;
  }

 private:
  std::mutex mutex_;
  std::vector<StallReport> reports_;
  StallDetector::Sink previous_;
};

// The deliberate stall: long enough past the limit that the watchdog samples it on a busy machine.
constexpr auto kDeliberateStall = 400ms;

asio::awaitable<void> holdTheNetworkThreadOnPurpose(std::promise<void>& done) {
  asio::steady_timer tick(co_await asio::this_coro::executor, 1ms);
  co_await tick.async_wait(asio::use_awaitable);
  std::this_thread::sleep_for(kDeliberateStall);  // resumed on the network thread, which it now blocks
  done.set_value();
}

// Run to completion on the network thread before the reports are read: a report is made as the handler ends.
void runOnStrandAndWait(NetworkThread& net, std::function<void()> job) {
  std::promise<void> done;
  asio::post(net.mainStrand(), [&] {
    job();
    done.set_value();
  });
  done.get_future().wait();
  std::promise<void> after;  // the report of the job's handler is made when it returns
  asio::post(net.mainStrand(), [&] { after.set_value(); });
  after.get_future().wait();
}

TEST(StallDetectorTest, NamesTheCoroutineThatBlocksTheNetworkThread) {
  CollectedReports reports;
  NetworkThread net;
  std::promise<void> done;
  asio::co_spawn(net.mainStrand(), holdTheNetworkThreadOnPurpose(done), asio::detached);
  done.get_future().wait();
  runOnStrandAndWait(net, [] {});

  const auto found = reports.naming("holdTheNetworkThreadOnPurpose");
  ASSERT_EQ(found.size(), 1u) << "the stalled coroutine is named by the function it was stuck in";
  EXPECT_TRUE(found[0].real) << "sleeping is blocking, not preemption: " << found[0].line();
  EXPECT_GE(found[0].held, StallDetector::kLimit);
  EXPECT_NE(found[0].line().find("pellora: stall: "), std::string::npos);
}

TEST(StallDetectorTest, NamesABlockingHandlerByItsTypeAndLeavesShortOnesAlone) {
  CollectedReports reports;
  NetworkThread net;
  // A lambda's type names the function it was written in, so no sample is needed to name these.
  std::promise<void> stalled;
  asio::post(net.mainStrand(), [&] {
    std::this_thread::sleep_for(kDeliberateStall);
    stalled.set_value();
  });
  stalled.get_future().wait();
  for (int i = 0; i < 20; ++i) {
    std::promise<void> ran;
    asio::post(net.mainStrand(), [&] { ran.set_value(); });
    ran.get_future().wait();
  }
  runOnStrandAndWait(net, [] {});

  const auto found = reports.naming("NamesABlockingHandlerByItsTypeAndLeavesShortOnesAlone");
  ASSERT_GE(found.size(), 1u);
  std::size_t real = 0;
  for (const auto& r : found) real += r.real;
  EXPECT_EQ(real, 1u) << "only the blocking handler; a short one is reported at most as preempted";
  EXPECT_GE(found[0].held, StallDetector::kLimit);
}

TEST(StallDetectorTest, HandlersRunOneAfterAnotherOnAStrandAreTimedEachOnItsOwn) {
  CollectedReports reports;
  NetworkThread net;
  // Queued together, the strand runs both inside one invocation that lasts past the limit; neither handler
  // does, and neither does the strand's own work between them.
  std::promise<void> done;
  asio::post(net.mainStrand(), [&] {
    asio::post(net.mainStrand(), [] { std::this_thread::sleep_for(StallDetector::kLimit * 3 / 5); });
    asio::post(net.mainStrand(), [&] {
      std::this_thread::sleep_for(StallDetector::kLimit * 3 / 5);
      done.set_value();
    });
  });
  done.get_future().wait();
  runOnStrandAndWait(net, [] {});

  for (const auto& r : reports.naming("")) EXPECT_FALSE(r.real) << r.line();
}

// A handler that computes for less than the limit but is kept from its CPU past it (a loaded machine) is
// reported as preempted, not as a stall of its own: here two busy threads share the network thread's core.
TEST(StallDetectorTest, AHandlerKeptFromItsCpuIsReportedAsPreempted) {
  if (!std::filesystem::exists("/proc/thread-self/schedstat")) GTEST_SKIP() << "no scheduler figures here";
  cpu_set_t all, one;
  ASSERT_EQ(sched_getaffinity(0, sizeof all, &all), 0);
  int core = 0;
  while (!CPU_ISSET(core, &all)) ++core;
  CPU_ZERO(&one);
  CPU_SET(core, &one);
  CollectedReports reports;
  NetworkThread net;
  std::atomic<bool> busy = true;
  std::atomic<int> spinning = 0;
  std::vector<std::thread> rivals;
  for (int i = 0; i < 2; ++i)
    rivals.emplace_back([&] {
      sched_setaffinity(0, sizeof one, &one);
      ++spinning;
      while (busy) {
      }
    });
  while (spinning < 2) std::this_thread::yield();
  runOnStrandAndWait(net, [&] {
    sched_setaffinity(0, sizeof one, &one);
    const auto start = std::chrono::steady_clock::now();
    while (std::chrono::steady_clock::now() - start < StallDetector::kLimit * 9 / 5) {
    }
  });
  busy = false;
  for (auto& t : rivals) t.join();

  const auto found = reports.naming("AHandlerKeptFromItsCpuIsReportedAsPreempted");
  ASSERT_GE(found.size(), 1u);
  for (const auto& r : found) {
    EXPECT_FALSE(r.real) << r.line();
    EXPECT_GT(r.runnable, 0ms);
    EXPECT_NE(r.line().find("preempted"), std::string::npos);
  }
}

TEST(StallDetectorTest, ThreadsNotWatchedAreNotTimed) {
  CollectedReports reports;
  asio::io_context other;
  asio::post(other, [] { std::this_thread::sleep_for(StallDetector::kLimit * 2); });
  other.run();
  EXPECT_TRUE(reports.naming("").empty());
}

}  // namespace
}  // namespace pellora
