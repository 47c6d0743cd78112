// A Wayland client for the capture and input tests: a full-screen window that paints what it is told and
// reports the input it receives.
//   standard input:  "fill X Y WIDTH HEIGHT RRGGBB"  paints a rectangle (the window starts black)
//                    "cursor SHAPE"                  sets the pointer's shape (a Qt::CursorShape value)
//   standard output: "ready WIDTH HEIGHT" once shown, then one line per event:
//                    "motion X Y", "press BUTTON X Y", "release BUTTON X Y" (Qt button values),
//                    "wheel DX DY" (angle deltas, 120 a notch), "key CODE down|up MODIFIERS" (evdev code,
//                    Qt modifier flags)
// Run with QT_QPA_PLATFORM=wayland inside the test's session.

#include <QGuiApplication>
#include <QKeyEvent>
#include <QMouseEvent>
#include <QPainter>
#include <QRasterWindow>
#include <QSocketNotifier>
#include <QWheelEvent>
#include <unistd.h>

#include <cstdio>
#include <iostream>
#include <sstream>
#include <string>

namespace {

class TestWindow : public QRasterWindow {
 public:
  TestWindow() : picture_(1, 1, QImage::Format_RGB32) { picture_.fill(Qt::black); }

  void fill(const QRect& rect, QColor color) {
    QPainter painter(&picture_);
    painter.fillRect(rect, color);
    update();
  }

 protected:
  void paintEvent(QPaintEvent*) override {
    if (picture_.size() != size()) {
      QImage larger(size(), QImage::Format_RGB32);
      larger.fill(Qt::black);
      QPainter(&larger).drawImage(0, 0, picture_);
      picture_ = larger;
    }
    QPainter(this).drawImage(0, 0, picture_);
    if (!ready_ && width() > 1) {
      ready_ = true;
      report("ready " + std::to_string(width()) + " " + std::to_string(height()));
    }
  }
  void mouseMoveEvent(QMouseEvent* e) override { report("motion " + position(e)); }
  void mousePressEvent(QMouseEvent* e) override {
    report("press " + std::to_string(e->button()) + " " + position(e));
  }
  void mouseReleaseEvent(QMouseEvent* e) override {
    report("release " + std::to_string(e->button()) + " " + position(e));
  }
  void wheelEvent(QWheelEvent* e) override {
    report("wheel " + std::to_string(e->angleDelta().x()) + " " + std::to_string(e->angleDelta().y()));
  }
  void keyPressEvent(QKeyEvent* e) override { reportKey(e, "down"); }
  void keyReleaseEvent(QKeyEvent* e) override { reportKey(e, "up"); }

 private:
  static std::string position(QMouseEvent* e) {
    return std::to_string(qRound(e->position().x())) + " " + std::to_string(qRound(e->position().y()));
  }
  static void reportKey(QKeyEvent* e, const char* direction) {
    if (e->isAutoRepeat()) return;
    // Wayland key codes are XKB's: the evdev code plus 8.
    report("key " + std::to_string(static_cast<int>(e->nativeScanCode()) - 8) + " " + direction + " " +
           std::to_string(static_cast<int>(e->modifiers())));
  }
  static void report(const std::string& line) {
    std::cout << line << std::endl;
  }

  QImage picture_;
  bool ready_ = false;
};

}  // namespace

int main(int argc, char** argv) {
  QGuiApplication app(argc, argv);
  TestWindow window;
  QSocketNotifier input(0, QSocketNotifier::Read);
  std::string pending;
  QObject::connect(&input, &QSocketNotifier::activated, [&] {
    char chunk[4096];
    const ssize_t n = read(0, chunk, sizeof chunk);
    if (n <= 0) {
      app.quit();
      return;
    }
    pending.append(chunk, static_cast<std::size_t>(n));
    for (std::size_t end; (end = pending.find('\n')) != std::string::npos; pending.erase(0, end + 1)) {
      std::istringstream words(pending.substr(0, end));
      std::string command, color;
      int x = 0, y = 0, w = 0, h = 0;
      words >> command;
      if (command == "fill" && words >> x >> y >> w >> h >> color) {
        window.fill(QRect(x, y, w, h), QColor(QString::fromStdString("#" + color)));
      } else if (command == "cursor" && words >> x && x >= 0 && x <= Qt::LastCursor) {
        window.setCursor(static_cast<Qt::CursorShape>(x));
      }
    }
  });
  window.showFullScreen();
  return app.exec();
}
