// The Avahi advertiser and browser against a real avahi-daemon. Each test runs itself again inside a private
// network made by mdns_netns.sh (namespaces, a veth pair, a private system bus), so that no multicast
// leaves it; the test is skipped, with the reason, where that network cannot be made.

#include <avahi-client/client.h>
#include <avahi-common/simple-watch.h>
#include <signal.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <algorithm>
#include <chrono>
#include <cstdlib>
#include <filesystem>
#include <functional>
#include <mutex>
#include <optional>
#include <thread>

#include "platform/linux/service_advertiser_avahi.h"
#include "platform/linux/service_browser_avahi.h"
#include "support/child_process.h"
#include "support/eventually.h"
#include "support/scoped_env.h"

namespace pellora {
namespace {

using namespace std::chrono_literals;
using Endpoints = std::vector<ServiceEndpoint>;

constexpr auto kWait = 10s;

const char* env(const char* name) {
  const char* value = std::getenv(name);
  return value ? value : "";
}

// The latest value a callback delivered on another thread, for waiting on from the test.
template <typename T>
class Latest {
 public:
  std::function<void(const T&)> setter() {
    return [this](const T& value) {
      std::lock_guard lock(mutex_);
      value_ = value;
    };
  }
  T value() {
    std::lock_guard lock(mutex_);
    return value_;
  }
  bool waitFor(const std::function<bool(const T&)>& wanted) {
    return test::eventually([&] { return wanted(value()); }, kWait);
  }
  bool becomes(const T& wanted) {
    return waitFor([&](const T& value) { return value == wanted; });
  }

 private:
  std::mutex mutex_;
  T value_{};
};

// avahi-daemon on the private network's veth end, for as long as the object lives.
class AvahiDaemon {
 public:
  AvahiDaemon()
      : process_(env("PELLORA_MDNS_AVAHI_DAEMON"),
                 {"-f", env("PELLORA_MDNS_AVAHI_CONF"), "--no-drop-root", "--no-chroot", "--no-rlimits"}) {}
  ~AvahiDaemon() {
    process_.signal(SIGTERM);
    process_.wait(kWait);
  }

  // Whether it answers on the system bus, waiting for it to start.
  bool answers() {
    struct PollFree {
      void operator()(AvahiSimplePoll* p) const { avahi_simple_poll_free(p); }
    };
    std::unique_ptr<AvahiSimplePoll, PollFree> poll(avahi_simple_poll_new());
    for (const auto deadline = std::chrono::steady_clock::now() + kWait; std::chrono::steady_clock::now() < deadline;
         std::this_thread::sleep_for(50ms)) {
      int error = 0;
      const AvahiPoll* api = avahi_simple_poll_get(poll.get());
      if (AvahiClient* c = avahi_client_new(api, AvahiClientFlags{}, nullptr, nullptr, &error)) {
        avahi_client_free(c);
        return true;
      }
      if (process_.wait(0ms)) return false;  // it gave up
    }
    return false;
  }

 private:
  test::ChildProcess process_;
};

#define START_AVAHI_DAEMON(daemon) \
  if (!(daemon)->answers()) GTEST_SKIP() << "avahi-daemon did not start inside the private network"

// Outside the private network, SetUp runs the current test again inside it and reports that run's result;
// the test body then returns at once (`reportedFromInside`).
class Mdns : public ::testing::Test {
 protected:
  void SetUp() override {
    if (*env("PELLORA_MDNS_AVAHI_CONF") != '\0') return;
    outside_ = true;
    const auto* info = ::testing::UnitTest::GetInstance()->current_test_info();
    const std::string self = std::filesystem::read_symlink("/proc/self/exe");
    test::ChildProcess run(PELLORA_MDNS_NETNS_SCRIPT,
                           {self, std::string("--gtest_filter=") + info->test_suite_name() + "." + info->name()});
    std::string output;
    while (auto line = run.readLine(60s)) output += *line + "\n";
    const auto status = run.wait(kWait);
    const std::string skipped = std::string("[  SKIPPED ] ") + info->test_suite_name() + "." + info->name();
    if (status == 77 || output.find(skipped) != std::string::npos) GTEST_SKIP() << output;
    EXPECT_EQ(status, 0) << "inside the private network:\n" << output;
  }

  bool reportedFromInside() const { return outside_; }
  const std::string address = env("PELLORA_MDNS_ADDRESS");

 private:
  bool outside_ = false;
};

TEST_F(Mdns, AnnouncesRenamesOnCollisionAndWithdraws) {
  if (reportedFromInside()) return;
  auto daemon = std::make_unique<AvahiDaemon>();
  START_AVAHI_DAEMON(daemon);
  ServiceBrowserAvahi browser;
  Latest<Endpoints> seen;
  browser.onResults = seen.setter();
  browser.start();

  auto first = std::make_unique<ServiceAdvertiserAvahi>();
  Latest<std::string> firstName;
  first->onName = firstName.setter();
  first->advertise("Test Host", 7171);
  const ServiceEndpoint original{"Test Host", address, 7171};
  EXPECT_TRUE(seen.waitFor([&](const Endpoints& all) { return std::ranges::count(all, original) == 1; }))
      << seen.value().size() << " results";
  EXPECT_TRUE(firstName.becomes("Test Host"));

  // Another host under the same name. Its port differs: records identical to ours would not collide, and
  // two machines' records never are (each names its own host).
  ServiceAdvertiserAvahi second;
  Latest<std::string> secondName;
  second.onName = secondName.setter();
  second.advertise("Test Host", 7172);
  EXPECT_TRUE(secondName.becomes("Test Host #2")) << secondName.value();
  const ServiceEndpoint renamed{"Test Host #2", address, 7172};
  EXPECT_TRUE(seen.becomes({original, renamed}));

  first.reset();
  EXPECT_TRUE(seen.becomes({renamed}));
  EXPECT_EQ(firstName.value(), "Test Host");

  // A name longer than one DNS label (63 bytes) is cut, between characters, rather than refused.
  ServiceAdvertiserAvahi longName;
  Latest<std::string> cut;
  longName.onName = cut.setter();
  longName.advertise(std::string(60, 'x') + "çç", 7173);
  EXPECT_TRUE(cut.becomes(std::string(60, 'x') + "ç")) << cut.value();
}

TEST_F(Mdns, WaitsForTheDaemonAndAnnouncesAgainAfterItRestarts) {
  if (reportedFromInside()) return;
  // No daemon yet: both return at once and wait for one.
  ServiceBrowserAvahi browser;
  Latest<Endpoints> seen;
  browser.onResults = seen.setter();
  browser.start();
  auto advertiser = std::make_unique<ServiceAdvertiserAvahi>();
  advertiser->advertise("Test Host", 7171);
  const ServiceEndpoint announced{"Test Host", address, 7171};

  auto daemon = std::make_unique<AvahiDaemon>();
  START_AVAHI_DAEMON(daemon);
  EXPECT_TRUE(seen.becomes({announced}));
  daemon.reset();
  daemon = std::make_unique<AvahiDaemon>();
  START_AVAHI_DAEMON(daemon);

  // A browser that starts after the restart sees the service only if it was announced again.
  ServiceBrowserAvahi fresh;
  Latest<Endpoints> freshSeen;
  fresh.onResults = freshSeen.setter();
  fresh.start();
  EXPECT_TRUE(freshSeen.becomes({announced}));
  // The first browser follows the new daemon too: it sees the withdrawal.
  advertiser.reset();
  EXPECT_TRUE(seen.becomes({}));
  EXPECT_TRUE(freshSeen.becomes({}));

  // Without a daemon again, nothing waits for it on the way out.
  daemon.reset();
}

// No system bus at all (nothing listens at the address): no announcement, no exception, no hang. Nothing
// is sent anywhere, so this one runs as it is.
TEST(MdnsWithoutBus, NeitherThrowsNorHangs) {
  test::ScopedEnv noBus("DBUS_SYSTEM_BUS_ADDRESS", "unix:path=/nonexistent/pellora-test-bus");
  bool named = false;
  {
    ServiceAdvertiserAvahi advertiser;
    advertiser.onName = [&](const std::string&) { named = true; };
    advertiser.advertise("Test Host", 7171);
    ServiceBrowserAvahi browser;
    browser.start();
  }
  EXPECT_FALSE(named);
}

}  // namespace
}  // namespace pellora
