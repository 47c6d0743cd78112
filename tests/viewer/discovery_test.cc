#include "viewer/discovery.h"

#include <gtest/gtest.h>

#include "viewer/fake_service_browser.h"

namespace pellora {
namespace {

struct DiscoveryUnderTest {
  boost::asio::io_context io;
  FakeServiceBrowser* browser = new FakeServiceBrowser;
  std::shared_ptr<Discovery> discovery =
      Discovery::make(boost::asio::make_strand(io), std::unique_ptr<ServiceBrowser>(browser));

  // Delivers `all` as the browser would and lets the main strand catch up.
  void report(const std::vector<ServiceEndpoint>& all) {
    browser->report(all);
    io.restart();
    io.run();
  }
  std::vector<std::string> names() const {
    std::vector<std::string> out;
    for (const auto& h : discovery->state().hosts) out.push_back(h.name);
    return out;
  }
};

ServiceEndpoint at(std::string name, std::string address = "10.0.0.5", std::uint16_t port = 7171) {
  return {std::move(name), std::move(address), port};
}

TEST(Discovery, ListsEveryResultButOurOwnSortedByBytes) {
  DiscoveryUnderTest t;
  t.discovery->start("Office");
  // Only the exact excluded name is skipped; equal names stay separate; "Çalışma" (UTF-8 0xC3...) sorts
  // after every ASCII name, "atelier" after "Zeta", as plain bytes do.
  t.browser->report({at("Zeta"), at("office"), at("Office"), at("Çalışma"), at("Office "), at("atelier"),
                     at("Attic", "10.0.0.7"), at("Attic", "10.0.0.8", 7000)});
  EXPECT_TRUE(t.discovery->state().hosts.empty()) << "results reach the list on the main strand only";
  t.io.run();
  EXPECT_EQ(t.names(),
            (std::vector<std::string>{"Attic", "Attic", "Office ", "Zeta", "atelier", "office", "Çalışma"}));
  EXPECT_EQ(t.discovery->state().hosts[1], at("Attic", "10.0.0.8", 7000)) << "endpoints kept as reported";
}

TEST(Discovery, FollowsTheBrowsersSetIncludingRemovals) {
  DiscoveryUnderTest t;
  int changes = 0;
  t.discovery->published().subscribe([&](const Discovery::State&) { ++changes; });
  t.discovery->start("Me");
  t.report({at("B"), at("A"), at("Me")});
  EXPECT_EQ(t.names(), (std::vector<std::string>{"A", "B"}));
  t.report({at("B", "10.0.0.9")});
  EXPECT_EQ(t.discovery->state().hosts, std::vector<ServiceEndpoint>{at("B", "10.0.0.9")});
  t.report({at("Me")});
  EXPECT_TRUE(t.discovery->state().hosts.empty());
  EXPECT_EQ(changes, 3);
}

TEST(Discovery, StartsOnceAndKeepsTheFirstExcludedName) {
  DiscoveryUnderTest t;
  t.discovery->start("First");
  t.discovery->start("Second");
  EXPECT_EQ(t.browser->startCalls, 1);
  t.report({at("First"), at("Second")});
  EXPECT_EQ(t.names(), std::vector<std::string>{"Second"});
}

TEST(Discovery, TheBrowserHandlerDoesNotKeepItAlive) {
  DiscoveryUnderTest t;
  t.discovery->start("");
  std::weak_ptr<Discovery> watch = t.discovery;
  auto deliver = t.browser->onResults;  // as a browser thread might still hold it
  deliver({at("Late")});                // queued on the strand while the Discovery is alive...
  t.discovery.reset();                  // ...which is released before the strand runs
  EXPECT_TRUE(watch.expired());
  deliver({at("Later")});
  t.io.run();
}

}  // namespace
}  // namespace pellora
