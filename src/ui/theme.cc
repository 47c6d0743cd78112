#include "ui/theme.h"

#include <QApplication>
#include <QEvent>
#include <QPalette>
#include <QString>

namespace pellora::ui {

namespace {

struct Colours {
  const char* page;
  const char* sidebar;
  const char* card;
  const char* border;
  const char* text;
  const char* muted;
  const char* accent;
  const char* hover;
  const char* accentHover;
  const char* scrollHandle;
};

constexpr Colours light{"#f6f7fb", "#eceef5", "#ffffff", "#dfe2ec", "#1d2130",
                        "#6b7185", "#4f6bff", "#e4e8ff", "#6b82ff", "#c5c9d6"};
constexpr Colours dark{"#17181d", "#1e2027", "#23262e", "#30343f", "#e8eaf0",
                       "#9399a8", "#6f86ff", "#2c3350", "#8599ff", "#474c5a"};
constexpr const char* danger = "#e5484d";
constexpr const char* dangerHover = "#f06267";
constexpr const char* success = "#2ecc71";
constexpr const char* warning = "#f5a623";

ThemeColours coloursOf(const Colours& c) {
  return {c.page, c.sidebar, c.card,   c.border, c.text,   c.muted,  c.accent,
          c.hover, QColor(Qt::white), QColor(danger), QColor(success), QColor(warning)};
}

ThemeColours current = coloursOf(light);

QString styleSheet(const Colours& c) {
  // %1 page, %2 sidebar, %3 card, %4 border, %5 text, %6 muted, %7 accent, %8 hover, %9 accent hover,
  // %10 scroll handle, %11 danger, %12 danger hover.
  return QString(R"(
QDialog, QWidget#page, QStackedWidget, QScrollArea > QWidget > QWidget#page { background: %1; }
QFrame#sidebar { background: %2; border-right: 1px solid %4; }
QFrame#card { background: %3; border: 1px solid %4; border-radius: 14px; }
QWidget#toolbar { background: %2; border-bottom: 1px solid %4; }
QLabel { color: %5; }
QLabel#eyebrow { color: %6; font-size: 8pt; font-weight: 600; letter-spacing: 1px; }
QLabel#title { font-size: 20pt; font-weight: 600; }
QLabel#brand { font-size: 15pt; font-weight: 700; }
QLabel#cardTitle { font-weight: 600; }
QLabel#muted { color: %6; }
QLabel#accent { color: %7; font-weight: 600; }
QLabel#error { color: %11; }
QLabel#identity { font-size: 26pt; font-weight: 600; letter-spacing: 2px; }
QLabel#password { font-size: 14pt; font-family: monospace; }
QLabel#notFound { font-size: 16pt; color: %6; }
QLabel#badge { background: %3; border: 1px solid %4; border-radius: 11px; padding: 3px 10px; }
QLabel#bubbleMine { background: %7; color: white; border-radius: 10px; padding: 6px 10px; }
QLabel#bubbleTheirs { background: %8; border-radius: 10px; padding: 6px 10px; }
QScrollArea#chatScroll, QWidget#chatList, QScrollArea#tools, QWidget#toolsPage { background: transparent; }
QFrame#overlay { background: rgba(10, 12, 18, 0.86); }
QFrame#overlay QLabel { color: #eef0f6; }
QFrame#dropOverlay { background: rgba(79, 107, 255, 0.35); border: 3px dashed white; }
QPushButton#navItem { text-align: left; padding: 8px 12px; border-radius: 9px; border: none; background: transparent; color: %5; }
QPushButton#navItem:hover { background: %8; }
QPushButton#navItem:checked { background: %7; color: white; font-weight: 600; }
QPushButton { padding: 7px 16px; border-radius: 9px; border: 1px solid %4; background: %3; color: %5; }
QPushButton:hover { background: %8; }
QPushButton:disabled { color: %6; }
QPushButton[kind="primary"] { background: %7; color: white; border: none; font-weight: 600; }
QPushButton[kind="primary"]:hover { background: %9; }
QPushButton[kind="primary"]:disabled { background: %4; color: %6; }
QPushButton[kind="destructive"] { background: %11; color: white; border: none; font-weight: 600; }
QPushButton[kind="destructive"]:hover { background: %12; }
QPushButton#deviceCard { text-align: left; background: %1; border: 1px solid %4; border-radius: 12px; padding: 4px; }
QPushButton#deviceCard:hover { border-color: %7; }
QToolButton { color: %5; border: 1px solid transparent; border-radius: 8px; padding: 4px 6px; }
QToolButton:hover { background: %8; }
QToolButton:checked { background: %8; border-color: %4; }
QToolButton::menu-indicator { image: none; width: 0px; }
QLineEdit, QComboBox { padding: 7px 10px; border: 1px solid %4; border-radius: 9px; background: %1; color: %5; }
QLineEdit:focus, QComboBox:focus { border-color: %7; }
QLineEdit#large { font-size: 15pt; }
QComboBox::drop-down { border: none; width: 26px; subcontrol-origin: padding; subcontrol-position: center right; }
QComboBox::down-arrow { image: none; width: 0px; }
QComboBox QAbstractItemView { background: %3; color: %5; border: 1px solid %4; border-radius: 8px; padding: 4px;
  selection-background-color: %7; selection-color: white; outline: none; }
QMenu { background: %3; color: %5; border: 1px solid %4; border-radius: 8px; padding: 4px; }
QMenu::item { padding: 6px 24px 6px 12px; border-radius: 6px; }
QMenu::item:selected { background: %8; }
QMenu::item:disabled { color: %6; }
QMenu::separator { height: 1px; background: %4; margin: 4px 8px; }
QProgressBar { border: none; background: %4; border-radius: 3px; max-height: 6px; }
QProgressBar::chunk { background: %7; border-radius: 3px; }
QScrollBar:vertical { background: transparent; width: 10px; margin: 2px; }
QScrollBar:horizontal { background: transparent; height: 10px; margin: 2px; }
QScrollBar::handle { background: %10; border-radius: 3px; }
QScrollBar::handle:vertical { min-height: 32px; }
QScrollBar::handle:horizontal { min-width: 32px; }
QScrollBar::handle:hover { background: %6; }
QScrollBar::add-line, QScrollBar::sub-line { width: 0px; height: 0px; border: none; background: none; }
QScrollBar::add-page, QScrollBar::sub-page { background: none; }
QToolTip { background: %3; color: %5; border: 1px solid %4; padding: 4px 6px; }
)")
      .arg(c.page, c.sidebar, c.card, c.border, c.text, c.muted, c.accent, c.hover, c.accentHover)
      .arg(c.scrollHandle, danger, dangerHover);
}

void apply() {
  static const Colours* applied = nullptr;
  const bool isDark = QApplication::palette().color(QPalette::Window).lightness() < 128;
  const Colours& colours = isDark ? dark : light;
  if (applied == &colours) return;  // the style sheet itself may report a palette change
  applied = &colours;
  current = coloursOf(colours);
  qApp->setStyleSheet(styleSheet(colours));
}

// Applies the theme again when the desktop switches between light and dark.
class PaletteWatch : public QObject {
 public:
  using QObject::QObject;

 protected:
  bool eventFilter(QObject* watched, QEvent* event) override {
    if (watched == qApp && event->type() == QEvent::ApplicationPaletteChange) apply();
    return false;
  }
};

}  // namespace

const ThemeColours& themeColours() { return current; }

void applyTheme() {
  apply();
  static PaletteWatch* watch = nullptr;
  if (!watch) {
    watch = new PaletteWatch(qApp);
    qApp->installEventFilter(watch);
  }
}

}  // namespace pellora::ui
