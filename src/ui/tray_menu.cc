#include "ui/tray_menu.h"

#include "ui/components.h"

namespace pellora::ui {

TrayMenu::TrayMenu(Actions actions, QWidget* parent) : QMenu(parent), actions_(std::move(actions)) {}

void TrayMenu::render(const HostService::State& state) {
  auto entries = trayMenu(state);
  sharing_ = state.isSharing;
  if (entries == entries_) return;
  entries_ = std::move(entries);
  rebuild();
}

void TrayMenu::rebuild() {
  clear();
  const auto run = [](const std::function<void()>& action) {
    return [action] {
      if (action) action();
    };
  };
  for (const auto& entry : entries_) {
    using Role = MenuEntry::Role;
    // The peer's name is theirs: an ampersand in it is shown, not taken as a mnemonic.
    QAction* action = addAction(menuText(entry.text));
    switch (entry.role) {
      case Role::header:
      case Role::peer: action->setEnabled(false); break;
      case Role::disconnect: connect(action, &QAction::triggered, this, run(actions_.disconnect)); break;
      case Role::toggleSharing:
        connect(action, &QAction::triggered, this, [this] {
          if (actions_.toggleSharing) actions_.toggleSharing(sharing_);
        });
        break;
      case Role::showMain:
        action->setShortcut(QKeySequence("Ctrl+O"));
        connect(action, &QAction::triggered, this, run(actions_.showMain));
        break;
      case Role::settings:
        action->setShortcut(QKeySequence("Ctrl+,"));
        connect(action, &QAction::triggered, this, run(actions_.settings));
        break;
      case Role::quit:
        action->setShortcut(QKeySequence("Ctrl+Q"));
        connect(action, &QAction::triggered, this, run(actions_.quit));
        break;
    }
    if (entry.role == Role::peer || entry.role == Role::showMain) addSeparator();
  }
}

}  // namespace pellora::ui
