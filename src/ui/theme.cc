#include "ui/theme.h"

#include <QApplication>
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
};

constexpr Colours light{"#f6f7fb", "#eceef5", "#ffffff", "#dfe2ec", "#1d2130", "#6b7185", "#4f6bff", "#e4e8ff"};
constexpr Colours dark{"#17181d", "#1e2027", "#23262e", "#30343f", "#e8eaf0", "#9399a8", "#7d93ff", "#2c3350"};

QString styleSheet(const Colours& c) {
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
QLabel#error { color: #e5484d; }
QLabel#identity { font-size: 26pt; font-weight: 600; letter-spacing: 2px; }
QLabel#password { font-size: 14pt; font-family: monospace; }
QLabel#notFound { font-size: 16pt; color: %6; }
QLabel#badge { background: %3; border: 1px solid %4; border-radius: 11px; padding: 3px 10px; }
QLabel#bubbleMine { background: %7; color: white; border-radius: 10px; padding: 6px 10px; }
QLabel#bubbleTheirs { background: %8; border-radius: 10px; padding: 6px 10px; }
QScrollArea#chatScroll, QWidget#chatList { background: transparent; }
QFrame#overlay { background: rgba(10, 12, 18, 0.86); }
QFrame#overlay QLabel { color: #eef0f6; }
QFrame#dropOverlay { background: rgba(79, 107, 255, 0.35); border: 3px dashed white; }
QToolButton#navItem { text-align: left; padding: 8px 10px; border-radius: 9px; border: none; color: %5; }
QToolButton#navItem:hover { background: %8; }
QToolButton#navItem:checked { background: %7; color: white; }
QPushButton { padding: 7px 16px; border-radius: 9px; border: 1px solid %4; background: %3; color: %5; }
QPushButton:hover { background: %8; }
QPushButton:disabled { color: %6; }
QPushButton[kind="primary"] { background: %7; color: white; border: none; font-weight: 600; }
QPushButton[kind="primary"]:hover { background: #6b82ff; }
QPushButton[kind="primary"]:disabled { background: %4; color: %6; }
QPushButton[kind="destructive"] { background: #e5484d; color: white; border: none; font-weight: 600; }
QPushButton[kind="destructive"]:hover { background: #f06267; }
QPushButton#deviceCard { text-align: left; background: %1; border: 1px solid %4; border-radius: 12px; padding: 4px; }
QPushButton#deviceCard:hover { border-color: %7; }
QLineEdit, QComboBox { padding: 7px 10px; border: 1px solid %4; border-radius: 9px; background: %1; color: %5; }
QLineEdit:focus { border-color: %7; }
QLineEdit#large { font-size: 15pt; }
QCheckBox#switch { spacing: 10px; color: %5; }
QProgressBar { border: none; background: %4; border-radius: 3px; max-height: 6px; }
QProgressBar::chunk { background: %7; border-radius: 3px; }
)")
      .arg(c.page, c.sidebar, c.card, c.border, c.text, c.muted, c.accent, c.hover);
}

}  // namespace

void applyTheme() {
  const bool isDark = QApplication::palette().color(QPalette::Window).lightness() < 128;
  qApp->setStyleSheet(styleSheet(isDark ? dark : light));
}

}  // namespace pellora::ui
