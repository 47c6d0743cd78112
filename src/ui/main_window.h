#pragma once

#include <QTimer>
#include <QWidget>
#include <functional>
#include <memory>
#include <string>

#include "ui/components.h"
#include "ui/settings_view.h"
#include "viewer/discovery.h"
#include "viewer/viewer_store.h"

class QButtonGroup;
class QCheckBox;
class QLineEdit;
class QStackedWidget;
class QToolButton;
class QVBoxLayout;

namespace pellora::ui {

// Whether this computer lets the host capture the screen and take input without asking, and how to ask.
// On X11 nothing needs granting; on Wayland the desktop portal's stored consent answers, and asking shows
// the system's own dialog.
struct Permissions {
  bool screenCapture = true;
  bool input = true;
  bool all() const { return screenCapture && input; }
};
struct PermissionSource {
  std::function<Permissions()> current;  // empty: everything granted; called on the GUI thread
  std::function<void()> request;         // returns at once; the answer shows in `current` later
};

// Everything the main window acts on, and the shell's one operation it needs.
struct MainModels {
  SettingsModels settings;
  std::weak_ptr<ViewerStore> viewers;
  std::weak_ptr<Discovery> discovery;  // never lists the name our host service announces
  std::function<void(const std::string& sessionID)> openRemote;
  MessageSound* sound = nullptr;  // an incoming chat line on the Host tab; may be null
  PermissionSource permissions;
};


// Connect: the form, nearby devices and recent targets. Connecting posts to the viewer store and opens
// the session's window. GUI thread; owned by the main window.
class ConnectTab : public QWidget {
  Q_OBJECT
 public:
  ConnectTab(ModelBridge bridge, MainModels models, QWidget* parent = nullptr);
  void startDiscovery();
  QLineEdit* address() const { return address_; }
  QLineEdit* password() const { return password_; }
  void connectNow();

 private:
  void renderNearby(const Discovery::State& state);
  void renderRecent(const AppSettings::State& state);
  void select(const QString& name);
  void updateButton();

  ModelBridge bridge_;
  MainModels models_;
  bool discoveryStarted_ = false;
  std::vector<ServiceEndpoint> nearby_;
  std::vector<std::string> recent_;
  QLineEdit* address_;
  QLineEdit* password_;
  QPushButton* connect_;
  QLabel* error_;
  QVBoxLayout* nearbyList_;
  QVBoxLayout* recentList_;
};

// This computer: status, identity and password, the session band with its tools, approval, the sharing
// button, the relay retry and the addresses. Everything but the session's chat and files stays in view;
// those scroll in the room that is left. GUI thread; owned by the main window.
class HostTab : public QWidget {
  Q_OBJECT
 public:
  HostTab(ModelBridge bridge, SettingsModels models, MessageSound* sound, PermissionSource permissions,
          QWidget* parent = nullptr);

 protected:
  void showEvent(QShowEvent* event) override;
  void hideEvent(QHideEvent* event) override;

 private:
  void render();
  void refresh();
  template <typename Action>
  void onHost(Action action) const { bridge_.act(models_.host, std::move(action)); }

  ModelBridge bridge_;
  SettingsModels models_;
  MessageSound* sound_;
  HostService::State host_;
  AppSettings::State settings_;
  PermissionSource permissionSource_;
  Permissions permissions_;
  std::vector<std::string> addresses_;
  bool passwordVisible_ = false, editing_ = false, showChat_ = false;
  QTimer tick_;

  BadgeLabel* badge_;
  QWidget* permissionsCard_;
  struct PermissionRow {
    GlyphLabel* state;
    QPushButton* grant;
  };
  PermissionRow screenCaptureRow_, inputRow_;
  QLabel* identity_;
  CopyButton* copyID_;
  QLabel* passwordText_;
  QLineEdit* passwordEdit_;
  QToolButton* visibility_;
  QToolButton* edit_;
  CopyButton* copyPassword_;
  SessionBand* band_;
  QWidget* tools_;
  QWidget* filler_;  // takes the room of the tools while there is no session
  QPushButton* chatButton_;
  QPushButton* sendButton_;
  ChatPanel* chat_;
  TransferList* transfers_;
  QCheckBox* approval_;
  QLabel* readiness_;
  QPushButton* share_;
  QWidget* relayFailed_;
  QLabel* addressLine_;
};

// The main window: the side navigation and its three destinations. GUI thread; owned by the app.
class MainWindow : public QWidget {
  Q_OBJECT
 public:
  MainWindow(ModelBridge bridge, MainModels models, QWidget* parent = nullptr);
  void selectTab(int tab);
  ConnectTab* connectTab() const { return connect_; }
  HostTab* hostTab() const { return host_; }

 private:
  QStackedWidget* pages_;
  QButtonGroup* navigation_;
  ConnectTab* connect_;
  HostTab* host_;
};

}  // namespace pellora::ui
