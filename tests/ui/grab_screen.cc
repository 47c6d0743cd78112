// grab-screen FILE.png: saves the whole X screen in $DISPLAY as a PNG (the screenshots script's camera).

#include <QGuiApplication>
#include <QPixmap>
#include <QScreen>
#include <cstdio>

int main(int argc, char** argv) {
  if (argc != 2) {
    std::fprintf(stderr, "usage: grab-screen FILE.png\n");
    return 2;
  }
  QGuiApplication app(argc, argv);
  const QPixmap shot = QGuiApplication::primaryScreen()->grabWindow(0);
  return shot.save(QString::fromLocal8Bit(argv[1]), "PNG") ? 0 : 1;
}
