#pragma once

#include <QWidget>
#include <memory>
#include <string>

#include "ui/components.h"
#include "ui/model_bridge.h"
#include "viewer/viewer_store.h"

class QLabel;
class QPushButton;
class QScrollArea;
class QStackedLayout;
class QToolButton;

namespace pellora::ui {

class GlyphLabel;
class RemoteScreen;

// The window of one viewer session: the remote screen, the toolbar with the figures line and the session's
// controls, the connecting and ended overlays, the chat panel and the transfer list. Closing it closes the
// session; a session the store no longer holds shows "Oturum bulunamadı" and nothing else.
//
// GUI thread; a top-level window that deletes itself when closed. It sees the session only through copies
// of its state and acts on it through the model bridge.
class RemoteWindow : public QWidget {
  Q_OBJECT

 public:
  RemoteWindow(ModelBridge bridge, std::weak_ptr<ViewerStore> store, std::string id, MessageSound* sound);
  const std::string& id() const { return id_; }
  // Files to offer the host as soon as the session is connected (the command line's --send).
  void sendWhenConnected(std::vector<std::filesystem::path> files) { pendingFiles_ = std::move(files); }

 protected:
  void changeEvent(QEvent* event) override;
  void closeEvent(QCloseEvent* event) override;
  void resizeEvent(QResizeEvent* event) override;
  bool eventFilter(QObject* watched, QEvent* event) override;

 private:
  struct Found;
  void showNotFound();
  void attach(const Found& found);
  void render(const ViewerSession::State& state);
  void buildToolbar(QWidget* bar);
  void buildMenus(const ViewerSession::State& state);
  void placeOverlays();
  void setScale(bool fit);
  void toggleFullScreen();
  void focusScreen();
  template <typename Action>
  void act(Action action) const { bridge_.act(session_, std::move(action)); }

  ModelBridge bridge_;
  std::weak_ptr<ViewerStore> store_;
  std::string id_;
  MessageSound* sound_;
  std::weak_ptr<ViewerSession> session_;
  std::string targetLabel_;
  ViewerSession::State state_;
  bool haveState_ = false;
  bool showChat_ = false;
  std::vector<std::filesystem::path> pendingFiles_;

  RemoteScreen* screen_ = nullptr;
  QScrollArea* scroll_ = nullptr;
  QWidget* area_ = nullptr;
  QWidget* connecting_ = nullptr;
  QLabel* connectingText_ = nullptr;
  QWidget* ended_ = nullptr;
  QLabel* endedText_ = nullptr;
  QWidget* drop_ = nullptr;
  TransferList* transfers_ = nullptr;
  ChatPanel* chat_ = nullptr;
  QLabel* name_ = nullptr;
  GlyphLabel* lock_ = nullptr;  // which handshake protects the session
  QLabel* figures_ = nullptr;
  QToolButton* audio_ = nullptr;
  QToolButton* displays_ = nullptr;
  QToolButton* quality_ = nullptr;
  QToolButton* scale_ = nullptr;
  QToolButton* chatButton_ = nullptr;
};

}  // namespace pellora::ui
