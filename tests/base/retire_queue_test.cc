#include <gtest/gtest.h>

#include <boost/asio/post.hpp>
#include <atomic>
#include <chrono>
#include <future>
#include <thread>
#include <vector>

#include "base/network_thread.h"
#include "support/eventually.h"

namespace pellora {
namespace {

namespace asio = boost::asio;
using namespace std::chrono_literals;
using test::eventually;

// Records where and when it is destroyed; its destructor may wait for the test to let it go.
struct Blocking {
  NetworkThread& network;
  std::atomic<int>& destroyed;
  std::shared_future<void> release;
  NetworkThread::Strand strand;  // what a real one keeps: an executor of the network context
  std::promise<bool>* onNetworkThread = nullptr;

  Blocking(NetworkThread& n, std::atomic<int>& d, std::shared_future<void> r = {})
      : network(n), destroyed(d), release(std::move(r)), strand(n.mainStrand()) {}
  ~Blocking() {
    if (onNetworkThread) onNetworkThread->set_value(network.isCurrentThread());
    if (release.valid()) release.wait();
    ++destroyed;
  }
};

TEST(RetireTest, ADestructorThatWaitsNeverRunsOnTheNetworkThread) {
  NetworkThread network;
  std::atomic<int> destroyed{0};
  std::promise<void> release;
  std::promise<bool> where;
  auto object = network.retiring(std::make_unique<Blocking>(network, destroyed, release.get_future().share()));
  object->onNetworkThread = &where;

  asio::post(network.mainStrand(), [object = std::move(object)]() mutable { object.reset(); });
  auto whereFuture = where.get_future();
  EXPECT_FALSE(whereFuture.get());

  // The destructor still waits, yet the network thread goes on.
  std::promise<void> ran;
  asio::post(network.mainStrand(), [&] { ran.set_value(); });
  EXPECT_EQ(ran.get_future().wait_for(10s), std::future_status::ready);
  EXPECT_EQ(destroyed, 0);
  release.set_value();
  EXPECT_TRUE(eventually([&] { return destroyed == 1; }));

  // Let go anywhere else, it is destroyed at once, as any shared object.
  auto here = network.retiring(std::make_unique<Blocking>(network, destroyed));
  here.reset();
  EXPECT_EQ(destroyed, 2);
}

TEST(RetireTest, StopDestroysEverythingRetiredAlsoWhileItStops) {
  std::atomic<int> destroyed{0};
  auto network = std::make_unique<NetworkThread>();
  std::promise<void> releaseFirst;
  std::vector<std::shared_ptr<Blocking>> queued;
  // The first one holds the retire thread, so that the rest are still queued when stop() begins.
  queued.push_back(network->retiring(std::make_unique<Blocking>(*network, destroyed, releaseFirst.get_future().share())));
  for (int i = 0; i < 5; ++i) queued.push_back(network->retiring(std::make_unique<Blocking>(*network, destroyed)));
  asio::post(network->mainStrand(), [queued = std::move(queued)]() mutable { queued.clear(); });

  // A handler still running when stop() begins lets go of the last one.
  std::promise<void> handlerStarted;
  std::promise<void> finishHandler;
  auto last = network->retiring(std::make_unique<Blocking>(*network, destroyed));
  asio::post(network->mainStrand(), [&, last = std::move(last), go = finishHandler.get_future()]() mutable {
    handlerStarted.set_value();
    go.wait();
    last.reset();
  });
  handlerStarted.get_future().wait();

  std::thread stopper([&] { network->stop(); });
  ASSERT_TRUE(eventually([&] { return network->context().stopped(); }));
  finishHandler.set_value();
  releaseFirst.set_value();
  stopper.join();
  EXPECT_EQ(destroyed, 7) << "stop() returns with nothing retired left to destroy";
  network.reset();  // the context goes after everything that kept its strand
}

}  // namespace
}  // namespace pellora
