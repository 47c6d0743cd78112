#include "ui/remote_screen.h"

#include <QApplication>
#include <QDragEnterEvent>
#include <QKeyEvent>
#include <QMimeData>
#include <QPainter>
#include <QPointer>
#include <QStyleHints>
#include <QUrl>
#include <QWheelEvent>

#include "core/linux_key_map.h"

namespace pellora::ui {

namespace {

// How far apart two presses of a multiple click may be, in logical pixels.
constexpr double clickDistance = 4;

std::optional<MouseButton> remoteButton(Qt::MouseButton button) {
  switch (button) {
    case Qt::LeftButton: return MouseButton::left;
    case Qt::RightButton: return MouseButton::right;
    case Qt::NoButton: return std::nullopt;
    default: return MouseButton::middle;  // the middle button and every further one
  }
}

}  // namespace

RemoteScreen::RemoteScreen(std::shared_ptr<FrameSink> sink, std::shared_ptr<RemoteInput> input, QWidget* parent)
    : QWidget(parent),
      sink_(std::move(sink)),
      input_(std::move(input)),
      clicks_(std::chrono::milliseconds(QApplication::styleHints()->mouseDoubleClickInterval()), clickDistance) {
  setAttribute(Qt::WA_OpaquePaintEvent);
  setFocusPolicy(Qt::StrongFocus);
  setMouseTracking(true);
  setAcceptDrops(true);
  setCursor(Qt::CrossCursor);
  setMinimumSize(160, 100);
  if (!sink_) return;
  QPointer<RemoteScreen> guard(this);
  auto queued = repaintQueued_;
  sink_->setOnPicture([guard, queued] {
    if (queued->exchange(true)) return;  // a repaint is on its way and will take the newest picture
    QMetaObject::invokeMethod(
        qApp, [guard] {
          if (guard) guard->update();
        },
        Qt::QueuedConnection);
  });
}

RemoteScreen::~RemoteScreen() {
  if (sink_) sink_->setOnPicture(nullptr);
}

void RemoteScreen::setVideoSize(double width, double height) {
  if (width == videoWidth_ && height == videoHeight_) return;
  videoWidth_ = width;
  videoHeight_ = height;
  update();
}

RectF RemoteScreen::content() const { return contentRect(width(), height(), videoWidth_, videoHeight_); }

NormalisedPoint RemoteScreen::at(const QPointF& position) const { return normalise(position.x(), position.y(), content()); }

void RemoteScreen::paintEvent(QPaintEvent*) {
  repaintQueued_->store(false);
  if (sink_) {
    if (auto fresh = sink_->take()) {
      picture_ = std::move(fresh);
      image_ = QImage(picture_->bgra.data(), picture_->width, picture_->height, picture_->stride,
                      QImage::Format_RGB32);
    }
  }
  QPainter painter(this);
  const RectF rect = picture_ ? contentRect(width(), height(), picture_->width, picture_->height) : RectF{};
  const QRectF target(rect.x, rect.y, rect.width, rect.height);
  // The letterbox bars, around the picture only: the picture itself is opaque.
  QRegion bars(this->rect());
  if (picture_) bars -= target.toAlignedRect().adjusted(1, 1, -1, -1);
  for (const QRect& bar : bars) painter.fillRect(bar, Qt::black);
  if (!picture_) return;
  const bool scaled = std::abs(rect.width * devicePixelRatioF() - picture_->width) > 0.5;
  painter.setRenderHint(QPainter::SmoothPixmapTransform, scaled);
  painter.drawImage(target, image_);
}

bool RemoteScreen::event(QEvent* event) {
  // Keys meant for the remote computer are not the app's shortcuts while the screen has focus.
  if (event->type() == QEvent::ShortcutOverride) {
    event->accept();
    return true;
  }
  return QWidget::event(event);
}

// Tab and Shift+Tab go to the remote computer, not to the next widget.
bool RemoteScreen::focusNextPrevChild(bool) { return false; }

void RemoteScreen::mouseMoveEvent(QMouseEvent* event) {
  // The pointer passing over a window in the background leaves the remote pointer where it is.
  if (!isActiveWindow()) return;
  if (!throttle_.admit(clock_())) return;
  const auto point = at(event->position());
  input_->mouseMove(point.x, point.y);
}

void RemoteScreen::button(QMouseEvent* event, bool down) {
  const auto which = remoteButton(event->button());
  if (!which) return;
  if (down) {
    setFocus(Qt::MouseFocusReason);
    lastClicks_ = clicks_.press(static_cast<int>(event->button()), event->position().x(), event->position().y(), clock_());
  }
  const auto point = at(event->position());
  input_->mouseButton(*which, down, clampClicks(lastClicks_), point.x, point.y);
}

void RemoteScreen::mousePressEvent(QMouseEvent* event) { button(event, true); }
// Qt turns the second press of a double click into this event: it is a press like the others.
void RemoteScreen::mouseDoubleClickEvent(QMouseEvent* event) { button(event, true); }
void RemoteScreen::mouseReleaseEvent(QMouseEvent* event) { button(event, false); }

void RemoteScreen::wheelEvent(QWheelEvent* event) {
  const QPoint pixels = event->pixelDelta(), angle = event->angleDelta();
  const auto delta = scrollDelta(!pixels.isNull(), pixels.x(), pixels.y(), angle.x(), angle.y());
  input_->scroll(delta.dx, delta.dy);
  event->accept();
}

void RemoteScreen::sendKey(QKeyEvent* event, bool down) {
  event->accept();
  const auto usage = LinuxKeyMap::hidFromX11(static_cast<std::uint16_t>(event->nativeScanCode()));
  if (usage) input_->key(*usage, down);
}

void RemoteScreen::keyPressEvent(QKeyEvent* event) { sendKey(event, true); }

void RemoteScreen::keyReleaseEvent(QKeyEvent* event) {
  // X11 reports auto-repeat as release and press pairs: the presses repeat, the key stays down.
  if (event->isAutoRepeat()) return event->accept();
  sendKey(event, false);
}

void RemoteScreen::focusOutEvent(QFocusEvent* event) {
  input_->releaseKeys();
  QWidget::focusOutEvent(event);
}

void RemoteScreen::dragEnterEvent(QDragEnterEvent* event) {
  if (!event->mimeData()->hasUrls()) return;
  event->acceptProposedAction();
  emit dropTargeted(true);
}

void RemoteScreen::dragLeaveEvent(QDragLeaveEvent*) { emit dropTargeted(false); }

void RemoteScreen::dropEvent(QDropEvent* event) {
  emit dropTargeted(false);
  QStringList paths;
  for (const QUrl& url : event->mimeData()->urls())
    if (url.isLocalFile()) paths << url.toLocalFile();
  if (paths.isEmpty()) return;
  event->acceptProposedAction();
  emit filesDropped(paths);
}

}  // namespace pellora::ui
