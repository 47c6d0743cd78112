#include "ui/desktop_app.h"

#include <QAction>
#include <QApplication>
#include <QCloseEvent>
#include <QInputDialog>
#include <QMenu>
#include <QPointer>
#include <QSystemTrayIcon>
#include <atomic>
#include <boost/asio/signal_set.hpp>
#include <cstdlib>
#include <future>
#include <iostream>
#include <map>
#include <thread>

#include "base/cpu_pool.h"
#include "base/network_thread.h"
#include "host/host_service.h"
#include "platform/linux/audio_output_pulse.h"
#include "platform/linux/audio_source_pulse.h"
#include "platform/linux/clipboard_remote_desktop.h"
#include "platform/linux/clipboard_x11.h"
#include "platform/linux/linux_host_platform.h"
#include "platform/linux/portal_remote_desktop.h"
#include "platform/linux/power_inhibitor_linux.h"
#include "platform/linux/secret_store_libsecret.h"
#include "platform/linux/service_advertiser_avahi.h"
#include "platform/linux/service_browser_avahi.h"
#include "support/null_clipboard.h"
#include "ui/approval_panel.h"
#include "ui/main_window.h"
#include "ui/remote_window.h"
#include "ui/theme.h"
#include "ui/tray_menu.h"

namespace pellora::ui {

namespace {

// How long the host's goodbye may take at quit before the process leaves anyway.
constexpr auto quitGrace = std::chrono::milliseconds(400);

// PELLORA_HOST_LISTEN=ADDR:PORT moves the host's listener (tests and screenshots keep it on loopback).
std::optional<boost::asio::ip::tcp::endpoint> listenFromEnvironment() {
  const QString value = qEnvironmentVariable("PELLORA_HOST_LISTEN");
  const auto colon = value.lastIndexOf(':');
  if (colon <= 0) return std::nullopt;
  boost::system::error_code ec;
  const auto address = boost::asio::ip::make_address(value.left(colon).toStdString(), ec);
  bool ok = false;
  const uint port = value.mid(colon + 1).toUInt(&ok);
  if (ec || !ok || port > 65535) return std::nullopt;
  return boost::asio::ip::tcp::endpoint(address, static_cast<std::uint16_t>(port));
}

// Hides instead of closing when a tray icon can bring it back; closes (and so quits) otherwise.
class MainShell : public MainWindow {
 public:
  using MainWindow::MainWindow;
  std::function<bool()> hideOnClose;

 protected:
  void closeEvent(QCloseEvent* event) override {
    if (hideOnClose && hideOnClose()) {
      event->ignore();
      hide();
      return;
    }
    QWidget::closeEvent(event);
    QApplication::quit();
  }
};

// The process's model objects and its windows. Made and destroyed on the GUI thread; the model objects
// live on the main strand of `network`.
class DesktopApp : public QObject {
 public:
  explicit DesktopApp(const DesktopOptions& options) : options_(options) {
    secrets_ = makeSecretStore();
    permanentPassword_ = std::make_unique<PermanentPasswordStore>(*secrets_);
    relayIdentity_ = std::make_unique<RelayIdentityStore>(*secrets_, settingsFile_);
    settings_ = std::make_shared<AppSettings>(settingsFile_, *permanentPassword_);
    if (options.relayURL) settings_->setRelayURL(*options.relayURL);
    if (options.quality) settings_->setQuality(*options.quality);
    // Viewers use the X clipboard, which Wayland compositors bridge for X clients too.
    const char* display = std::getenv("DISPLAY");
    if (display && *display) clipboard_ = std::make_shared<ClipboardX11>();
    else clipboard_ = std::make_shared<NullClipboard>();

    // A Wayland session is shared through its compositor; without a way in, only X clients would show.
    if (isWaylandSession()) {
      wayland_ = detectWaylandDesktop(portalTokensIn(settingsFile_));
      if (!wayland_)
        std::cerr << "pellora: this Wayland session offers neither a desktop portal nor GNOME's remote-desktop "
                     "interfaces; sharing shows only X clients\n";
    }
    // Each session looks for the sound server when it needs sound, so a server that starts after the app
    // still serves the sessions after it.
    const HostPlatform platform = wayland_ ? waylandHostPlatform(wayland_) : x11HostPlatform();
    // A Wayland host shares the compositor's clipboard through its remote-desktop session.
    std::shared_ptr<Clipboard> hostClipboard = clipboard_;
    if (wayland_) hostClipboard = std::make_shared<ClipboardRemoteDesktop>(wayland_);
    HostService::Options hostOptions;
    hostOptions.computerName = computerName_;
    if (const auto listen = listenFromEnvironment()) hostOptions.listen = *listen;
    hostOptions.makeAdvertiser = [] { return std::make_unique<ServiceAdvertiserAvahi>(); };
    host_ = HostService::make(
        HostService::Dependencies{.network = network_,
                                  .cpu = cpu_,
                                  .settings = *settings_,
                                  .relayIdentity = *relayIdentity_,
                                  .clipboard = ClipboardSync::make(network_.mainStrand(), hostClipboard),
                                  .power = std::make_shared<PowerInhibitorLinux>(),
                                  .approval = std::make_shared<QtApprovalPrompt>(qApp),
                                  .platform = platform},
        hostOptions);
    ViewerPlatform viewerPlatform;
    viewerPlatform.makeAudioOutput = [] { return std::make_unique<PulseAudioOutput>(); };
    viewerPlatform.clipboard = clipboard_;
    viewers_ = std::make_shared<ViewerStore>(ViewerSession::Dependencies{.network = network_,
                                                                         .cpu = cpu_,
                                                                         .settings = *settings_,
                                                                         .platform = viewerPlatform,
                                                                         .computerName = computerName_,
                                                                         .downloadDirectory = std::nullopt});
    discovery_ = Discovery::make(network_.mainStrand(), std::make_unique<ServiceBrowserAvahi>());
  }

  ~DesktopApp() override {
    if (permissionAsk_.joinable()) permissionAsk_.join();
    for (auto& [id, window] : remotes_) delete window.data();
    delete mainWindow_.data();
    delete settingsWindow_.data();
    delete tray_;
    trayMenu_.reset();
    // Sessions say goodbye on the network thread; then everything stops.
    std::promise<void> stopped;
    bridge_.post([this, &stopped] {
      // close() changes the map being read: take the ids first.
      std::vector<std::string> ids;
      for (const auto& entry : viewers_->state().sessions) ids.push_back(entry.first);
      for (const auto& id : ids) viewers_->close(id);
      host_->stop();
      stopped.set_value();
    });
    stopped.get_future().wait();
    std::this_thread::sleep_for(quitGrace);
    network_.stop();
    cpu_.stop();
    // The model objects go on this thread once nothing runs on the strand any more.
  }

  void start() {
    // A logout or `kill` ends the app as its Quit does: sessions say goodbye, settings reach the disk.
    quitSignals_.async_wait([](const boost::system::error_code& ec, int) {
      if (!ec) QMetaObject::invokeMethod(qApp, &QApplication::quit, Qt::QueuedConnection);
    });
    applyTheme();
    QApplication::setWindowIcon(appIcon());
    QApplication::setQuitOnLastWindowClosed(false);
    if (options_.connectTarget) return connectOnly();

    MainModels models{SettingsModels{settings_, host_}, viewers_, discovery_,
                      [this](const std::string& id) { openRemote(id); }, &sound_, permissionSource()};
    auto* main = new MainShell(bridge_, models);
    mainWindow_ = main;
    // The icon is made even while no tray is there: a panel that starts after the app (launch at login)
    // still shows it. Whether closing the main window hides or quits is decided at the moment of closing.
    main->hideOnClose = [] { return QSystemTrayIcon::isSystemTrayAvailable(); };
    addShortcuts(main);
    makeTray();
    main->show();
    main->raise();
    main->activateWindow();
    // As the command line's host does: PELLORA_PASSWORD is the first session password, and
    // PELLORA_SHARE_AT_START=1 switches sharing on at once (unattended machines, tests, screenshots).
    const QString password = qEnvironmentVariable("PELLORA_PASSWORD");
    const bool share = qEnvironmentVariableIsSet("PELLORA_SHARE_AT_START");
    bridge_.act(std::weak_ptr(host_), [password = ss(password), share](HostService& h) {
      if (!password.empty()) h.setPassword(password);
      if (share) h.start();
    });
    autoConnect();
  }

 private:
  // On Wayland through the portal: granted once its consent is stored; asking opens a session (the system
  // shows its dialog) on a thread of its own and closes it again, keeping the consent.
  PermissionSource permissionSource() {
    if (!wayland_) return {};
    return {[desktop = wayland_] {
              const bool granted = desktop->granted();
              return Permissions{granted, granted};
            },
            [this] {
              if (asking_.exchange(true)) return;
              if (permissionAsk_.joinable()) permissionAsk_.join();
              permissionAsk_ = std::thread([this, desktop = wayland_] {
                try {
                  desktop->open(0);
                } catch (const std::exception& e) {
                  std::cerr << "pellora: " << e.what() << "\n";
                }
                asking_ = false;
              });
            }};
  }

  // Application-wide, so they work from every window; the remote screen keeps its keys for the remote
  // computer by accepting the shortcut override.
  void addShortcuts(QWidget* window) {
    const auto add = [window](const QKeySequence& keys, auto slot) {
      auto* action = new QAction(window);
      action->setShortcut(keys);
      action->setShortcutContext(Qt::ApplicationShortcut);
      QObject::connect(action, &QAction::triggered, window, slot);
      window->addAction(action);
    };
    add(QKeySequence("Ctrl+O"), [this] { showMain(); });
    add(QKeySequence("Ctrl+,"), [this] { showSettings(); });
    add(QKeySequence("Ctrl+Q"), [] { QApplication::quit(); });
  }

  void makeTray() {
    tray_ = new QSystemTrayIcon(trayIcon(false));
    tray_->setToolTip("Pellora");
    const std::weak_ptr<HostService> host = host_;
    TrayMenu::Actions actions;
    actions.disconnect = [this, host] {
      bridge_.act(host, [](HostService& h) {
        if (auto session = h.session()) session->channel()->close(std::string(hostDisconnectReason));
      });
    };
    actions.toggleSharing = [this, host](bool sharing) {
      bridge_.act(host, [sharing](HostService& h) {
        h.stop();  // a clean restart when starting
        if (!sharing) h.start();
      });
    };
    actions.showMain = [this] { showMain(); };
    actions.settings = [this] { showSettings(); };
    actions.quit = [] { QApplication::quit(); };
    trayMenu_ = std::make_unique<TrayMenu>(std::move(actions));
    tray_->setContextMenu(trayMenu_.get());
    connect(tray_, &QSystemTrayIcon::activated, this, [this](QSystemTrayIcon::ActivationReason reason) {
      if (reason == QSystemTrayIcon::Trigger) showMain();
    });
    bridge_.watch(host, trayMenu_.get(), [this](const HostService::State& state) {
      const bool active = state.active.has_value();
      if (active != trayActive_) tray_->setIcon(trayIcon(trayActive_ = active));
      trayMenu_->render(state);
    });
    tray_->show();
  }

  void showMain() {
    if (!mainWindow_) return;
    mainWindow_->show();
    mainWindow_->raise();
    mainWindow_->activateWindow();
  }

  void showSettings() {
    if (!settingsWindow_) {
      settingsWindow_ = new SettingsView(bridge_, SettingsModels{settings_, host_});
      settingsWindow_->setWindowTitle("Ayarlar");
      settingsWindow_->resize(640, 540);
    }
    settingsWindow_->show();
    settingsWindow_->raise();
    settingsWindow_->activateWindow();
  }

  void openRemote(const std::string& id, std::vector<std::filesystem::path> send = {}) {
    auto& window = remotes_[id];
    if (!window) {
      window = new RemoteWindow(bridge_, viewers_, id, &sound_);
      window->sendWhenConnected(std::move(send));
      connect(window, &QObject::destroyed, this, [this, id] {
        remotes_.erase(id);
        if (options_.connectTarget && remotes_.empty()) QApplication::quit();
      });
    }
    window->show();
    window->raise();
    window->activateWindow();
  }

  void open(const ViewerTarget& target, const std::string& password, std::vector<std::filesystem::path> send = {}) {
    bridge_.ask(std::weak_ptr(viewers_), this,
                [target, password](ViewerStore& viewers) { return viewers.open(target, password); },
                [this, send = std::move(send)](std::string id) { openRemote(id, send); });
  }

  // PELLORA_AUTOCONNECT="target|password" opens a session as the Connect tab would.
  void autoConnect() {
    const auto request = parseAutoConnect(std::getenv("PELLORA_AUTOCONNECT"));
    if (request) open(request->target, request->password);
  }

  void connectOnly() {
    std::optional<std::string> password = options_.connectPassword;
    if (!password) {
      bool ok = false;
      const QString typed = QInputDialog::getText(nullptr, "Pellora", "Oturum parolası", QLineEdit::Password, {}, &ok);
      // Not yet in the event loop: the quit must wait for it.
      if (!ok || typed.isEmpty()) return void(QMetaObject::invokeMethod(qApp, &QApplication::quit, Qt::QueuedConnection));
      password = ss(typed);
    }
    open(*options_.connectTarget, *password, options_.send);
  }

  DesktopOptions options_;
  std::string computerName_ = options_.computerName;
  // Declared in the order they are needed; the network thread stops in the destructor before any model
  // object goes.
  SettingsFile userSettingsFile_;
  SettingsFile& settingsFile_ = options_.settingsFile ? *options_.settingsFile : userSettingsFile_;
  std::unique_ptr<SecretStore> secrets_;
  std::unique_ptr<PermanentPasswordStore> permanentPassword_;
  std::unique_ptr<RelayIdentityStore> relayIdentity_;
  std::shared_ptr<AppSettings> settings_;
  std::shared_ptr<Clipboard> clipboard_;
  std::shared_ptr<WaylandDesktop> wayland_;
  std::thread permissionAsk_;
  std::atomic<bool> asking_{false};
  CpuPool cpu_;
  NetworkThread network_;
  boost::asio::signal_set quitSignals_{network_.context(), SIGINT, SIGTERM};
  std::shared_ptr<HostService> host_;
  std::shared_ptr<ViewerStore> viewers_;
  std::shared_ptr<Discovery> discovery_;
  ModelBridge bridge_{network_.mainStrand(), qApp};
  MessageSound sound_;

  QPointer<QWidget> mainWindow_;
  QPointer<QWidget> settingsWindow_;
  QSystemTrayIcon* tray_ = nullptr;
  std::unique_ptr<TrayMenu> trayMenu_;
  bool trayActive_ = false;
  std::map<std::string, QPointer<RemoteWindow>> remotes_;
};

}  // namespace

int runDesktopApp(int argc, char** argv, const DesktopOptions& options) {
  QApplication application(argc, argv);
  QApplication::setApplicationName("Pellora");
  QApplication::setDesktopFileName("pellora");
  int status = 0;
  {
    DesktopApp app(options);
    app.start();
    status = QApplication::exec();
  }
  return status;
}

}  // namespace pellora::ui
