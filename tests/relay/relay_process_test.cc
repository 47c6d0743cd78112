// pellora-relay as its users run it: a real process on loopback.

#include <gtest/gtest.h>
#include <signal.h>

#include <boost/json.hpp>
#include <filesystem>

#include "support/child_process.h"
#include "support/raw_client.h"
#include "support/relay_calls.h"
#include "support/relay_process.h"
#include "support/temp_dir.h"

namespace pellora {
namespace {

using test::ChildProcess;
using test::RawClient;
using test::registerAt;

using Relay = test::RelayProcess;

// A host coming back online under its id after a restart is the pellora process test's.
TEST(RelayProcess, SigtermEndsCleanlyAndIdsAreNeverHandedOutTwice) {
  test::TempDir folder("relay-process");
  const auto db = folder / "relay" / "relay.db";  // the relay makes its folder
  std::pair<std::string, std::string> identity;
  {
    Relay relay({"--db", db.string()});
    identity = registerAt(relay.port);
    RawClient lingering("127.0.0.1", relay.port);  // an open connection does not hold up the exit
    relay.process->signal(SIGTERM);
    EXPECT_EQ(relay.process->wait(), 0);
  }
  Relay again({"--db", db.string()});
  EXPECT_NE(registerAt(again.port).first, identity.first);
}

TEST(RelayProcess, CommandLineMistakesAndHelp) {
  ChildProcess help(PELLORA_RELAY_BINARY, {"--help"});
  EXPECT_NE(help.readLine().value_or("").find("usage: pellora-relay"), std::string::npos);
  EXPECT_EQ(help.wait(), 0);
  ChildProcess wrong(PELLORA_RELAY_BINARY, {"--listen", "not-an-address"});
  EXPECT_EQ(wrong.wait(), 2);
  // 192.0.2.1 is reserved for documentation: never an address of this machine.
  test::TempDir folder("relay-process");
  ChildProcess unbindable(PELLORA_RELAY_BINARY, {"--listen", "192.0.2.1:8270", "--db", (folder / "relay.db").string()});
  EXPECT_EQ(unbindable.wait(), 1) << "an address it cannot bind is an error, not a silent success";
}

}  // namespace
}  // namespace pellora
