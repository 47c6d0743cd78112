#include "ui/icons.h"

#include <QFile>
#include <QHash>
#include <QIconEngine>
#include <QPainter>
#include <QPixmapCache>
#include <QSvgRenderer>

#include "ui/theme.h"

// The pictures live in a static library: nothing references their initialiser, so it is called here (at
// global scope, where the macro's declaration must be) before the first is read.
static void initPictures() { Q_INIT_RESOURCE(pellora); }

namespace pellora::ui {

namespace {

QByteArray readPicture(const QString& path) {
  static const bool ready = (initPictures(), true);
  (void)ready;
  QFile file(path);
  file.open(QIODevice::ReadOnly);
  return file.readAll();
}

const char* fileOf(Glyph which) {
  switch (which) {
    case Glyph::connect: return "connect";
    case Glyph::computer: return "computer";
    case Glyph::sliders: return "sliders";
    case Glyph::shield: return "shield";
    case Glyph::arrowRight: return "arrow-right";
    case Glyph::arrowUp: return "arrow-up";
    case Glyph::clock: return "clock";
    case Glyph::eye: return "eye";
    case Glyph::eyeOff: return "eye-off";
    case Glyph::refresh: return "refresh";
    case Glyph::pencil: return "pencil";
    case Glyph::check: return "check";
    case Glyph::copy: return "copy";
    case Glyph::wifi: return "wifi";
    case Glyph::checkCircle: return "check-circle";
    case Glyph::alertCircle: return "alert-circle";
    case Glyph::speakerOff: return "speaker-off";
    case Glyph::speakerOn: return "speaker-on";
    case Glyph::displays: return "displays";
    case Glyph::dial: return "dial";
    case Glyph::realSize: return "real-size";
    case Glyph::fitWindow: return "fit-window";
    case Glyph::fullScreen: return "full-screen";
    case Glyph::chat: return "chat";
    case Glyph::chatUnread: return "chat-unread";
    case Glyph::fileUp: return "file-up";
    case Glyph::fileDown: return "file-down";
    case Glyph::disconnect: return "disconnect";
    case Glyph::close: return "close";
    case Glyph::networkOff: return "network-off";
    case Glyph::key: return "key";
    case Glyph::folder: return "folder";
    case Glyph::chevronDown: return "chevron-down";
  }
  return "close";
}

// The icon's SVG with its lines in `colour` ("currentColor" in the files).
QByteArray svgOf(Glyph which, const QColor& colour) {
  static QHash<int, QByteArray> sources;
  auto found = sources.find(static_cast<int>(which));
  if (found == sources.end())
    found = sources.insert(static_cast<int>(which), readPicture(QString(":/pellora/icons/%1.svg").arg(fileOf(which))));
  QByteArray svg = *found;
  return svg.replace("currentColor", colour.name().toLatin1());
}

QPixmap renderSvg(const QByteArray& svg, QSize size, qreal scale) {
  QPixmap pixmap(size * scale);
  pixmap.fill(Qt::transparent);
  pixmap.setDevicePixelRatio(scale);
  QPainter painter(&pixmap);
  painter.setRenderHint(QPainter::Antialiasing);
  QSvgRenderer(svg).render(&painter, QRectF(QPointF(0, 0), QSizeF(size)));
  return pixmap;
}

QColor colourOf(Ink ink) {
  const ThemeColours& c = themeColours();
  switch (ink) {
    case Ink::text: return c.text;
    case Ink::muted: return c.muted;
    case Ink::accent: return c.accent;
    case Ink::onAccent: return c.accentText;
    case Ink::danger: return c.danger;
    case Ink::success: return c.success;
    case Ink::warning: return c.warning;
  }
  return c.text;
}

QPixmap glyphPixmap(Glyph which, const QColor& colour, QSize size, qreal scale) {
  const QString key = QString("pellora-glyph/%1/%2/%3x%4@%5")
                          .arg(static_cast<int>(which))
                          .arg(colour.rgba())
                          .arg(size.width())
                          .arg(size.height())
                          .arg(scale);
  QPixmap pixmap;
  if (QPixmapCache::find(key, &pixmap)) return pixmap;
  pixmap = renderSvg(svgOf(which, colour), size, scale);
  QPixmapCache::insert(key, pixmap);
  return pixmap;
}

// Draws the glyph in the theme's colour of the moment: a palette change shows at the next paint.
class GlyphEngine final : public QIconEngine {
 public:
  GlyphEngine(Glyph which, Ink ink, Ink checked) : which_(which), ink_(ink), checked_(checked) {}

  void paint(QPainter* painter, const QRect& rect, QIcon::Mode mode, QIcon::State state) override {
    const qreal scale = painter->device() ? painter->device()->devicePixelRatioF() : 1.0;
    painter->drawPixmap(rect, glyphPixmap(which_, colour(mode, state), rect.size(), scale));
  }
  QPixmap pixmap(const QSize& size, QIcon::Mode mode, QIcon::State state) override {
    return glyphPixmap(which_, colour(mode, state), size, 1.0);
  }
  QPixmap scaledPixmap(const QSize& size, QIcon::Mode mode, QIcon::State state, qreal scale) override {
    return glyphPixmap(which_, colour(mode, state), size, scale);
  }
  QSize actualSize(const QSize& size, QIcon::Mode, QIcon::State) override { return size; }
  QIconEngine* clone() const override { return new GlyphEngine(*this); }
  QString key() const override { return "pellora-glyph"; }
  QString iconName() override { return fileOf(which_); }

 private:
  QColor colour(QIcon::Mode mode, QIcon::State state) const {
    if (mode == QIcon::Disabled) return colourOf(Ink::muted);
    return colourOf(state == QIcon::On ? checked_ : ink_);
  }

  Glyph which_;
  Ink ink_, checked_;
};

}  // namespace

QIcon glyph(Glyph which, Ink ink, std::optional<Ink> checked) {
  return QIcon(new GlyphEngine(which, ink, checked.value_or(ink)));
}

QIcon appIcon() {
  QIcon icon;
  const QByteArray svg = readPicture(":/pellora/pellora.svg");
  for (int size : {16, 22, 32, 48, 64, 128, 256}) icon.addPixmap(renderSvg(svg, {size, size}, 1.0));
  return icon;
}

QIcon trayIcon(bool active) {
  const QByteArray svg = readPicture(":/pellora/tray.svg");
  QIcon icon;
  for (int size : {16, 22, 24, 32, 48, 64}) {
    QPixmap pixmap = renderSvg(svg, {size, size}, 1.0);
    if (active) {
      // The live dot: bottom right, a third of the icon, ringed so that it reads on any panel colour.
      QPainter painter(&pixmap);
      painter.setRenderHint(QPainter::Antialiasing);
      const double d = size * 0.42;
      painter.setPen(QPen(QColor(20, 20, 20, 200), size / 16.0));
      painter.setBrush(themeColours().success);
      painter.drawEllipse(QRectF(size - d - 0.5, size - d - 0.5, d, d));
    }
    icon.addPixmap(pixmap);
  }
  return icon;
}

GlyphLabel::GlyphLabel(Glyph which, Ink ink, int size, QWidget* parent)
    : QWidget(parent), which_(which), ink_(ink), size_(size) {
  setFixedSize(size, size);
  setAttribute(Qt::WA_TransparentForMouseEvents);
}

void GlyphLabel::set(Glyph which, Ink ink) {
  if (which == which_ && ink == ink_) return;
  which_ = which;
  ink_ = ink;
  update();
}

void GlyphLabel::paintEvent(QPaintEvent*) {
  QPainter painter(this);
  painter.drawPixmap(rect(), glyphPixmap(which_, colourOf(ink_), size(), devicePixelRatioF()));
}

}  // namespace pellora::ui
