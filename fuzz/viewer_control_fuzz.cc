// Any sequence of host messages against a real viewer session over a loopback secure channel: the input is
// framed as framed_messages.h reads it. The session must answer a ping after all of it (no crash, no hang,
// no lost receive loop) and keep what it publishes within bounds. viewer_control_seeds writes the
// hostile-peer tests' scripts as seeds.

#include <boost/asio/post.hpp>
#include <cstdlib>
#include <future>

extern "C" {
#include <libavutil/log.h>
}

#include "framed_messages.h"
#include "support/app_settings.h"
#include "support/credential_stores.h"
#include "support/scripted_peer.h"
#include "support/settings_file.h"
#include "support/temp_dir.h"
#include "viewer/viewer_session.h"

namespace {

using namespace pellora;

// What every run shares: threads and settings are made once (sessions are cheap, threads are not).
// Offers are refused by the settings, so nothing reaches the disk.
struct World {
  World() { settings.setAcceptFiles(false); }

  template <typename Job>
  auto onMain(Job job) -> std::invoke_result_t<Job&> {
    std::packaged_task<std::invoke_result_t<Job&>()> task(std::move(job));
    auto result = task.get_future();
    boost::asio::post(network.mainStrand(), [&task] { task(); });
    return test::awaitFuture(std::move(result));
  }

  test::TempDir folder{"viewer-control-fuzz"};
  SettingsFile settingsFile{folder.path / "settings.json"};
  FileSecretStore secrets{folder.path / "secrets.json"};
  PermanentPasswordStore permanent{secrets};
  AppSettings settings{settingsFile, permanent, folder.path / "autostart.desktop"};
  CpuPool cpu{1};
  NetworkThread network;
};

World& world() {
  static World* w = new World();  // lives until exit: its threads must not stop under a running input
  return *w;
}

}  // namespace

extern "C" int LLVMFuzzerInitialize(int*, char***) {
  av_log_set_level(AV_LOG_QUIET);
  return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  World& w = world();
  const std::vector<Message> script = fuzz::readFramed(data, size);
  auto channels = test::channelPair(w.network);  // no structured binding: lambdas below capture it
  std::shared_ptr<SecureChannel> mine = channels.first;
  test::ScriptedPeer peer(w.network, channels.second);
  ViewerSession::Dependencies deps{w.network, w.cpu, w.settings, {}, "Fuzz", w.folder.path / "downloads"};
  deps.statisticsInterval = std::chrono::hours(24);
  deps.maxPictureSide = 256;  // far below the fuzzer's allocation limit
  auto session = w.onMain([&] { return ViewerSession::attach(deps, {ViewerTarget::Direct{"127.0.0.1", 1}}, mine); });

  peer.sendAll(script);
  try {
    peer.sync();
  } catch (const std::exception&) {
    std::abort();  // the session stopped answering
  }
  session->renderer()->waitUntilIdle();
  const ViewerSession::State state = w.onMain([&] { return session->state(); });
  if (state.chat.size() > ChatHistory::capacity || state.transfers.size() > TransferHistory::capacity) std::abort();
  w.onMain([&] {
    session->disconnect();
    session.reset();
  });
  return 0;
}
