#include "cli/host_command.h"

#include <boost/asio/post.hpp>
#include <boost/asio/signal_set.hpp>
#include <boost/asio/steady_timer.hpp>
#include <atomic>
#include <cstdlib>
#include <future>
#include <iostream>

#include "base/cpu_pool.h"
#include "base/network_thread.h"
#include "cli/environment.h"
#include "support/network_info.h"
#include "cli/host_status.h"
#include "support/null_clipboard.h"
#include "cli/run_settings.h"
#include "cli/terminal_console.h"
#include "core/peer_text.h"
#include "host/host_service.h"
#include "host/null_input_event_sink.h"
#include "host/synthetic_screen_capturer.h"
#include "platform/linux/audio_source_pulse.h"
#include "platform/linux/clipboard_remote_desktop.h"
#include "platform/linux/clipboard_x11.h"
#include "platform/linux/linux_host_platform.h"
#include "platform/linux/portal_remote_desktop.h"
#include "platform/linux/power_inhibitor_linux.h"
#include "platform/linux/secret_store_libsecret.h"
#include "platform/linux/service_advertiser_avahi.h"
#include "support/deferred_file_writer.h"

namespace pellora::cli {

namespace net = boost::asio;

namespace {

// How long a session may take to say goodbye after SIGINT before the process leaves anyway.
constexpr auto stopGrace = std::chrono::seconds(3);

using Source = HostCommand::Source;

// `auto` made concrete: Wayland when this is a Wayland session, X11 otherwise.
Source resolveSource(Source source) {
  if (source != Source::automatic) return source;
  return isWaylandSession() ? Source::wayland : Source::x11;
}

// Sessions reach the sound server when they turn sound on, each time, so that one started later is used.
HostPlatform makePlatform(const HostCommand& command, Source source, std::shared_ptr<WaylandDesktop> wayland) {
  if (source == Source::wayland) return waylandHostPlatform(std::move(wayland));
  if (source == Source::x11) return x11HostPlatform();
  HostPlatform platform;
  SyntheticScreenCapturer::Options options{command.syntheticWidth, command.syntheticHeight};
  platform.makeCapturer = [options] { return std::make_unique<SyntheticScreenCapturer>(options); };
  const PixelRect bounds{0, 0, command.syntheticWidth, command.syntheticHeight};
  platform.makeInputSink = [bounds] { return std::make_unique<NullInputEventSink>(bounds); };
  platform.makeAudioSource = [] { return std::make_unique<PulseAudioSource>(); };
  return platform;
}

void applyOverrides(const HostCommand& command, AppSettings& settings) {
  if (command.relayURL) {
    settings.setRelayURL(*command.relayURL);
    settings.setRelayEnabled(true);
  }
  if (command.noRelay) settings.setRelayEnabled(false);
  if (command.quality) settings.setQuality(*command.quality);
  if (command.requireApproval) settings.setRequireApproval(*command.requireApproval);
  if (command.requireHandshakeV2) settings.setRequireHandshakeV2(true);
}

// Every line may carry peer text (names, chat, file names, reasons): shown as text, never as terminal controls.
void print(const std::string& line) { std::cout << PeerText::forTerminal(line) << std::endl; }

}  // namespace

int runHost(const HostCommand& command) {
  const Source source = resolveSource(command.source);
  const bool x11 = source == Source::x11;
  const char* display = std::getenv("DISPLAY");
  if (x11 && (!display || !*display)) {
    std::cerr << "pellora host: no X display ($DISPLAY is not set); --source synthetic shares a synthetic screen\n";
    return 1;
  }
  const std::optional<std::string> password = command.password ? command.password : passwordFromEnvironment();

  // Settings and secrets first: they outlive the network thread and everything that runs on it.
  std::unique_ptr<SecretStore> secrets = makeSecretStore();
  SettingsFile userSettings;
  RunSettings runSettings;
  PermanentPasswordStore permanentPassword(*secrets);
  RelayIdentityStore relayIdentity(*secrets, userSettings);
  std::shared_ptr<WaylandDesktop> wayland;
  if (source == Source::wayland) {
    // The portal's consent is the user's: it is kept in their own settings file, not the run's copy.
    wayland = detectWaylandDesktop(portalTokensIn(userSettings));
    if (!wayland) {
      std::cerr << "pellora host: this Wayland session offers neither a desktop portal nor GNOME's "
                   "remote-desktop interfaces on the session bus; --source x11 shares its X server instead\n";
      return 1;
    }
  }
  AppSettings settings(runSettings.file(), permanentPassword);
  applyOverrides(command, settings);
  std::shared_ptr<Clipboard> clipboard;
  std::shared_ptr<ClipboardRemoteDesktop> waylandClipboard;
  if (x11) clipboard = std::make_shared<ClipboardX11>();
  else if (wayland) clipboard = waylandClipboard = std::make_shared<ClipboardRemoteDesktop>(wayland);
  else clipboard = std::make_shared<NullClipboard>();
  std::shared_ptr<PowerInhibitor> power;
  if (x11 || wayland) power = std::make_shared<PowerInhibitorLinux>();  // the desktop stays awake while shared
  const bool sound = soundServerAnswers();

  NetworkThread network;
  CpuPool cpu;
  auto& strand = network.mainStrand();
  auto console = TerminalConsole::forStandardInput(strand, std::cout);
  // Whether the compositor shares its clipboard shows only once a capture has started its session.
  if (waylandClipboard) {
    waylandClipboard->setOnSession([&strand, told = std::make_shared<std::atomic<bool>>(false)](bool shared) {
      if (shared || told->exchange(true)) return;
      net::post(strand, [] { print("Clipboard: this compositor does not share its clipboard; clipboard sync is off"); });
    });
  }
  HostService::Options options;
  if (command.listen) options.listen = *command.listen;
  options.computerName = NetworkInfo::computerName();
  if (command.discovery) options.makeAdvertiser = [] { return std::make_unique<ServiceAdvertiserAvahi>(); };
  auto service = HostService::make(
      HostService::Dependencies{.network = network,
                                .cpu = cpu,
                                .settings = settings,
                                .relayIdentity = relayIdentity,
                                .clipboard = ClipboardSync::make(strand, clipboard),
                                .power = power,
                                .approval = std::make_shared<TerminalApprovalPrompt>(console),
                                .platform = makePlatform(command, source, wayland)},
      options);

  HostStatus status;
  std::string statusWritten;  // the status file's content: rewritten only when it changes
  std::promise<void> finished;
  net::steady_timer stopTimer(strand);
  net::signal_set signals(network.context(), SIGINT, SIGTERM);

  const auto report = [&](const HostService::State& state) {
    for (const auto& line : status.update(state)) print(line);
    if (!command.statusJSON) return;
    std::string document = status.json(service->addresses(), service->listeningPort());
    if (document == statusWritten) return;
    // On the network thread: the writer's own thread waits for the disk (and reports a failure on stderr).
    DeferredFileWriter::shared().write(*command.statusJSON, document, 0600);
    statusWritten = std::move(document);
  };
  // After stop(): the session says goodbye and ends through its own run loop; wait for that, briefly.
  std::function<void(std::chrono::steady_clock::time_point)> awaitSessionEnd =
      [&](std::chrono::steady_clock::time_point deadline) {
        if (!service->session() || std::chrono::steady_clock::now() >= deadline) return finished.set_value();
        stopTimer.expires_after(std::chrono::milliseconds(20));
        stopTimer.async_wait([&, deadline](const boost::system::error_code&) { awaitSessionEnd(deadline); });
      };

  net::post(strand, [&] {
    if (password) service->setPassword(*password);
    service->start();
    report(service->state());
    service->published().subscribe(report);
    const auto addresses = service->addresses();
    std::string list;
    for (const auto& address : addresses) list += (list.empty() ? "" : ", ") + address;
    print("Addresses: " + (list.empty() ? std::string("none") : list) + " (listening on port " +
          std::to_string(service->listeningPort()) + ")");
    if (!sound) print("Sound: no sound server answers yet; sessions stay silent until one does");
    if (settings.state().relayEnabled)
      if (auto refusal = plainRelayRefusal(settings.relayClient(network.executor()))) print(*refusal);
    if (wayland)
      print(wayland->kind() == "portal"
                ? std::string("Wayland: through the desktop portal") +
                      (wayland->granted() ? "" : "; the system asks once whether to allow sharing")
                : std::string("Wayland: through GNOME's remote-desktop interfaces"));
    if (settings.state().requireApproval && !(console && console->canAsk()))
      print("Approval is on but there is no terminal to ask: every caller will be refused (--approve never admits them)");
    if (console) {
      console->onLine = [&](const std::string& line) { service->sendChat(line); };
      console->start();
    }
  });
  signals.async_wait([&](const boost::system::error_code& ec, int) {
    if (ec) return;
    net::post(strand, [&] {
      print("Stopping");
      if (console) console->stop();
      service->stop();
      awaitSessionEnd(std::chrono::steady_clock::now() + stopGrace);
    });
  });

  finished.get_future().wait();
  if (waylandClipboard) waylandClipboard->setOnSession(nullptr);
  network.stop();
  cpu.stop();
  return 0;
}

}  // namespace pellora::cli
