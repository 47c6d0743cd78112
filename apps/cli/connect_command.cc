#include "cli/connect_command.h"

#include <boost/asio/post.hpp>
#include <boost/asio/signal_set.hpp>
#include <boost/asio/steady_timer.hpp>
#include <future>
#include <iostream>

#include "base/cpu_pool.h"
#include "base/network_thread.h"
#include "cli/environment.h"
#include "support/network_info.h"
#include "cli/run_settings.h"
#include "cli/session_lines.h"
#include "cli/terminal_console.h"
#include "core/peer_text.h"
#include "cli/viewer_stats.h"
#include "base/monotonic_clock.h"
#include "support/atomic_file.h"
#include "support/file_names_directory.h"
#include "viewer/viewer_session.h"

namespace pellora::cli {

namespace net = boost::asio;

namespace {

// After our own disconnect, time for the goodbye to leave before the process does.
constexpr auto goodbyeGrace = std::chrono::milliseconds(300);

// Every line may carry peer text (names, chat, file names, reasons): shown as text, never as terminal controls.
void print(const std::string& line) { std::cout << PeerText::forTerminal(line) << std::endl; }

std::string describePhase(const ViewerSession::State& state) {
  if (auto* connecting = std::get_if<ViewerSession::Connecting>(&state.phase)) return connecting->text;
  if (auto* ended = std::get_if<ViewerSession::Ended>(&state.phase)) return "Session ended: " + ended->text;
  return "Connected to " + state.remoteName + " (" + std::string(label(state.remoteOS)) + "), handshake version " +
         std::to_string(state.handshakeVersion);
}

}  // namespace

int runConnect(const ConnectCommand& command) {
  std::optional<std::string> password = command.password ? command.password : passwordFromEnvironment();
  if (!password) password = readPasswordFromTerminal("Parola: ");
  if (!password) {
    std::cerr << "pellora connect: no password: give --password, set PELLORA_PASSWORD or run on a terminal\n";
    return 2;
  }

  // The viewer keeps no secrets: the permanent-password store it must hand the settings is a file of
  // its own in the run's temporary folder, so that no keyring is asked.
  SettingsFile userSettings;
  RunSettings runSettings;
  FileSecretStore secrets(runSettings.folder() / "secrets.json");
  PermanentPasswordStore permanentPassword(secrets);
  AppSettings settings(runSettings.file(), permanentPassword);
  settings.keepPinsIn(userSettings);  // the run's other overrides stay in its copy
  if (command.relayURL) settings.setRelayURL(*command.relayURL);
  if (command.quality) settings.setQuality(*command.quality);

  NetworkThread network;
  CpuPool cpu;
  auto& strand = network.mainStrand();
  ViewerSession::Dependencies dependencies{.network = network,
                                           .cpu = cpu,
                                           .settings = settings,
                                           .platform = ViewerPlatform{},
                                           .computerName = NetworkInfo::computerName(),
                                           .downloadDirectory = FileNames::defaultDirectory()};
  if (command.codec) dependencies.codecs = {*command.codec};
  if (std::holds_alternative<ViewerTarget::Relay>(command.target.value))
    if (auto refusal = plainRelayRefusal(settings.relayClient(network.executor()))) std::cerr << *refusal << "\n";
  auto session = ViewerSession::make(dependencies, command.target);
  auto console = TerminalConsole::forStandardInput(strand, std::cout);

  ViewerStats stats(monotonicMicros());
  const std::weak_ptr<FrameSink> weakSink = session->renderer()->sink();
  session->renderer()->sink()->setOnPicture([weakSink, &stats] {
    if (auto sink = weakSink.lock())
      if (auto picture = sink->take()) stats.picture(*picture);
  });

  std::promise<bool> finished;  // true when a session took place
  bool connected = false, ending = false;
  ViewerSession::State previous;
  net::steady_timer tick(strand), deadline(strand), grace(strand);
  net::signal_set signals(network.context(), SIGINT, SIGTERM);

  std::function<void()> everySecond = [&] {
    tick.expires_after(std::chrono::seconds(1));
    tick.async_wait([&](const boost::system::error_code& ec) {
      if (ec || ending) return;
      if (std::holds_alternative<ViewerSession::Connected>(session->state().phase)) print(stats.second(session->state()));
      everySecond();
    });
  };
  const auto finish = [&](std::chrono::milliseconds after) {
    if (ending) return;
    ending = true;
    tick.cancel();
    deadline.cancel();
    if (console) console->stop();
    grace.expires_after(after);
    grace.async_wait([&](const boost::system::error_code&) { finished.set_value(connected); });
  };
  const auto onState = [&](const ViewerSession::State& state) {
    stats.stateChanged(state, monotonicMicros());
    if (state.phase != previous.phase) print(describePhase(state));
    for (const auto& line : chatLines(previous.chat, state.chat)) print(line);
    for (const auto& line : transferLines(previous.transfers, state.transfers)) print(line);
    const bool nowConnected = std::holds_alternative<ViewerSession::Connected>(state.phase);
    if (nowConnected && !connected) {
      connected = true;
      // Posted: the session starts its file sender right after it published the connected state.
      if (!command.send.empty()) net::post(strand, [&] { session->sendFiles(command.send); });
      if (command.seconds) {
        deadline.expires_after(std::chrono::seconds(*command.seconds));
        deadline.async_wait([&](const boost::system::error_code& ec) {
          if (!ec) session->disconnect();
        });
      }
    }
    if (auto* ended = std::get_if<ViewerSession::Ended>(&state.phase)) {
      if (!connected) std::cerr << PeerText::forTerminal(ended->text) << std::endl;
      finish(goodbyeGrace);
    }
    previous = state;
  };

  net::post(strand, [&] {
    session->published().subscribe(onState);
    onState(session->state());
    session->connect(*password);
    everySecond();
    if (console) {
      console->onLine = [&](const std::string& line) { session->sendChat(line); };
      console->start();
    }
  });
  signals.async_wait([&](const boost::system::error_code& ec, int) {
    if (!ec) net::post(strand, [&] { session->disconnect(); });
  });

  const bool hadSession = finished.get_future().get();
  if (command.statsJSON) {
    // Pictures still being decoded count too.
    session->renderer()->waitUntilIdle();
    std::promise<std::string> summary;
    net::post(strand, [&] { summary.set_value(stats.summaryJSON(session->state())); });
    if (!writeFileAtomically(*command.statsJSON, summary.get_future().get(), 0644))
      std::cerr << "pellora connect: cannot write " << command.statsJSON->string() << "\n";
  }
  network.stop();
  cpu.stop();
  return hadSession ? 0 : 1;
}

}  // namespace pellora::cli
