#include "cli/host_status.h"

#include <gtest/gtest.h>

#include <boost/json.hpp>

#include "cli/session_lines.h"

namespace pellora::cli {
namespace {

namespace json = boost::json;
using R = HostService::RelayState;

TEST(HostStatusTest, TellsWhatChangedAndKeepsEveryEvent) {
  HostStatus status;
  HostService::State state;
  state.password = "abcdefgh";
  EXPECT_EQ(status.update(state), (std::vector<std::string>{"Listener: Kapalı", "Relay: off", "Password: abcdefgh"}));
  EXPECT_TRUE(status.update(state).empty());

  state.listenerStatus = "Yerel ağda açık (port 7171)";
  state.relayState.value = R::Online{RelayIdentity{"123456789", "s3cret"}};
  state.lastEvent = "ayşe bağlandı";
  EXPECT_EQ(status.update(state), (std::vector<std::string>{"Listener: Yerel ağda açık (port 7171)",
                                                            "Relay: online, id 123 456 789", "ayşe bağlandı"}));
  state.lastEvent = "Oturum bitti: İzleyici bağlantıyı kapattı";
  state.relayState.value = R::Failed{"Relay'e ulaşılamadı"};
  EXPECT_EQ(status.update(state), (std::vector<std::string>{"Relay: failed: Relay'e ulaşılamadı",
                                                            "Oturum bitti: İzleyici bağlantıyı kapattı"}));

  // (The process tests read the status file's events, relay state and port.)
  auto document = json::parse(status.json({"192.168.1.20:7171"}, 7171)).as_object();
  EXPECT_EQ(document.at("relay").at("reason").as_string(), "Relay'e ulaşılamadı");
  EXPECT_EQ(document.at("addresses"), (json::array{"192.168.1.20:7171"}));
}

TEST(HostStatusTest, JsonShowsTheRelayIdButNeverItsSecret) {
  HostStatus status;
  HostService::State state;
  state.relayState.value = R::Online{RelayIdentity{"123456789", "s3cret"}};
  state.active = HostService::ActiveSession{"id-1", "ayşe", "internet (relay)", std::chrono::system_clock::from_time_t(1700000000)};
  status.update(state);
  const std::string text = status.json({}, 0);
  EXPECT_EQ(text.find("s3cret"), std::string::npos);
  auto document = json::parse(text).as_object();
  EXPECT_EQ(document.at("relay").at("state").as_string(), "online");
  EXPECT_EQ(document.at("relay").at("id").as_string(), "123456789");
  EXPECT_EQ(document.at("relay").at("displayID").as_string(), "123 456 789");
  EXPECT_EQ(document.at("active").at("peerName").as_string(), "ayşe");
  EXPECT_EQ(document.at("active").at("address").as_string(), "internet (relay)");
  EXPECT_EQ(document.at("active").at("since").as_int64(), 1700000000);
}

TEST(HostStatusTest, EventListIsBounded) {
  HostStatus status;
  HostService::State state;
  for (std::size_t i = 0; i < HostStatus::maxEvents + 5; ++i) {
    state.lastEvent = "event " + std::to_string(i);
    status.update(state);
  }
  auto events = json::parse(status.json({}, 0)).at("events").as_array();
  ASSERT_EQ(events.size(), HostStatus::maxEvents);
  EXPECT_EQ(events.front().as_string(), "event 5");
}

TEST(SessionLinesTest, ChatLinesFromThePeerOnlyOnce) {
  ChatHistory before{{"a", false, "merhaba", {}}};
  ChatHistory now = before;
  now.push_back({"b", true, "my own line", {}});
  now.push_back({"c", false, "nasılsın", {}});
  EXPECT_EQ(chatLines(before, now), (std::vector<std::string>{"Chat: nasılsın"}));
  // A new session's list starts afresh: its lines are new even where the old list was longer.
  EXPECT_EQ(chatLines(now, {{"d", false, "yeni", {}}}), (std::vector<std::string>{"Chat: yeni"}));
}

TEST(SessionLinesTest, TransfersReportStatesAndTenths) {
  TransferProgress t{1, TransferProgress::Direction::receiving, "rapor.pdf", 0, 1000, TransferProgress::Waiting{}};
  EXPECT_EQ(transferLines({}, {t}), (std::vector<std::string>{"Receiving rapor.pdf: waiting"}));

  TransferProgress running = t;
  running.state = TransferProgress::Running{};
  running.done = 150;
  EXPECT_EQ(transferLines({t}, {running}), (std::vector<std::string>{"Receiving rapor.pdf: 10% (150 of 1000 bytes)"}));
  TransferProgress further = running;
  further.done = 190;  // still within the same tenth
  EXPECT_TRUE(transferLines({running}, {further}).empty());

  TransferProgress done = running;
  done.done = 1000;
  done.state = TransferProgress::Done{std::filesystem::path("/tmp/Pellora/rapor.pdf")};
  EXPECT_EQ(transferLines({running}, {done}), (std::vector<std::string>{"Received rapor.pdf -> /tmp/Pellora/rapor.pdf"}));

  // The same id in the other direction is another transfer.
  TransferProgress sending{1, TransferProgress::Direction::sending, "a.txt", 3, 3, TransferProgress::Failed{"İptal edildi"}};
  EXPECT_EQ(transferLines({done}, {done, sending}), (std::vector<std::string>{"Sending a.txt failed: İptal edildi"}));
}

}  // namespace
}  // namespace pellora::cli
