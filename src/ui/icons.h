#pragma once

// Pellora's own icons: a small set drawn for this app on a 24-pixel grid with one stroke width, kept as
// SVG in the resources. Their lines are drawn in the theme's colours at paint time, so one icon follows
// the light and the dark palette and looks the same on every desktop, with or without an icon theme.
// GUI thread only.

#include <QIcon>
#include <QWidget>
#include <optional>

namespace pellora::ui {

enum class Glyph {
  connect,      // two arrows, left and right: connecting to another computer
  computer,     // a monitor on its stand
  sliders,      // settings
  shield,       // a shield with a lock: end-to-end encryption
  arrowRight,
  arrowUp,
  clock,        // recent targets
  eye,
  eyeOff,
  refresh,
  pencil,
  check,
  copy,
  wifi,         // the local network
  checkCircle,  // granted
  alertCircle,  // missing
  speakerOff,
  speakerOn,
  displays,     // two screens: the display menu
  dial,         // quality
  realSize,
  fitWindow,
  fullScreen,
  chat,
  chatUnread,   // chat with a red dot
  fileUp,       // sending a file
  fileDown,     // receiving a file
  disconnect,   // a crossed circle
  close,        // a cross
  networkOff,   // a broken link: the connection ended
  key,
  folder,
  chevronDown,
};

// Which theme colour an icon's lines take.
enum class Ink { text, muted, accent, onAccent, danger, success, warning };

// `ink` while enabled, the muted colour while disabled, and `checked` (default: `ink`) while a checkable
// button is on.
QIcon glyph(Glyph which, Ink ink = Ink::text, std::optional<Ink> checked = std::nullopt);

// The app's icon and the tray's (with a live dot while a viewer is connected): pictures of their own.
QIcon appIcon();
QIcon trayIcon(bool active);

// A fixed-size icon beside text, drawn at paint time (so that it follows a palette change).
class GlyphLabel : public QWidget {
 public:
  GlyphLabel(Glyph which, Ink ink, int size, QWidget* parent = nullptr);
  void set(Glyph which, Ink ink);
  Glyph which() const { return which_; }
  QSize sizeHint() const override { return {size_, size_}; }

 protected:
  void paintEvent(QPaintEvent* event) override;

 private:
  Glyph which_;
  Ink ink_;
  int size_;
};

}  // namespace pellora::ui
