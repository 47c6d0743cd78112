#pragma once

namespace pellora::ui {

// The app's look: calm colours over the desktop's own palette, light or dark as the desktop is. Call on
// the GUI thread after the application object exists; applied again when the palette changes.
void applyTheme();

}  // namespace pellora::ui
