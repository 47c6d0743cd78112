#pragma once

#include <QMenu>
#include <functional>
#include <vector>

#include "ui/presentation.h"

namespace pellora::ui {

// The tray icon's menu: the sharing header, the connected peer with "Bağlantıyı kes", the sharing toggle,
// "Pellora’i göster", "Ayarlar…" and "Çık". The items are made again only when what they say changes, so
// that the frequent changes of the host's state during a session (transfers, chat) never clear a menu
// that is open under the pointer.
//
// GUI thread; owned by the app (a tray icon does not own its menu).
class TrayMenu : public QMenu {
 public:
  // What the items do; each may be empty.
  struct Actions {
    std::function<void()> disconnect;
    std::function<void(bool sharing)> toggleSharing;  // `sharing`: whether sharing is on now
    std::function<void()> showMain;
    std::function<void()> settings;
    std::function<void()> quit;
  };

  explicit TrayMenu(Actions actions, QWidget* parent = nullptr);
  void render(const HostService::State& state);

 private:
  void rebuild();

  Actions actions_;
  std::vector<MenuEntry> entries_;
  bool sharing_ = false;
};

}  // namespace pellora::ui
