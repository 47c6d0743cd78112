#pragma once

#include <QColor>

namespace pellora::ui {

// The app's colours for the palette in force: calm colours over the desktop's own palette, light or dark as
// the desktop is.
struct ThemeColours {
  QColor page, sidebar, card, border, text, muted, accent, hover;
  QColor accentText;  // text and icons drawn on the accent colour
  QColor danger, success, warning;
};

// The colours in force (the light ones until the theme is applied). GUI thread.
const ThemeColours& themeColours();

// Applies the app's look now and again whenever the desktop's palette changes (a switch between light and
// dark). Call on the GUI thread after the application object exists.
void applyTheme();

}  // namespace pellora::ui
