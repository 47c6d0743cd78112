#pragma once

#include <QImage>
#include <QWidget>
#include <atomic>
#include <cstdint>
#include <functional>
#include <memory>

#include "core/message.h"
#include "ui/screen_mapping.h"
#include "viewer/frame_sink.h"

namespace pellora::ui {

// Where the remote screen's input goes: the viewer session, reached through the model bridge in the
// product, a recorder in tests. Called on the GUI thread; implementations must not block.
class RemoteInput {
 public:
  virtual ~RemoteInput() = default;
  virtual void mouseMove(float x, float y) = 0;
  virtual void mouseButton(MouseButton button, bool down, std::uint8_t clicks, float x, float y) = 0;
  virtual void scroll(float dx, float dy) = 0;
  // `usage`: a USB HID keyboard usage.
  virtual void key(std::uint16_t usage, bool down) = 0;
  virtual void releaseKeys() = 0;
};

// Shows the remote computer's screen and sends the local mouse and keyboard to it.
//
// Paints the frame sink's newest picture aspect-fit and letterboxed (or at its own size when the remote
// window puts it in a scroll area): a new picture schedules one repaint, and each repaint takes from the
// sink at most once, so a slow paint skips pictures instead of queueing them. Pointer positions are
// normalised to the picture, motion is sent only while the window is the active one and then throttled to
// one message per 8 ms, keys go by their X11 key code through the Linux key map, and every pressed key is
// released when the view loses focus.
//
// Lives on the GUI thread; owned by its remote window. The sink is shared with the renderer, which calls
// back on its own queue; that callback only queues a repaint.
class RemoteScreen : public QWidget {
  Q_OBJECT

 public:
  RemoteScreen(std::shared_ptr<FrameSink> sink, std::shared_ptr<RemoteInput> input, QWidget* parent = nullptr);
  ~RemoteScreen() override;

  // The remote picture's size in pixels (the session's published videoSize).
  void setVideoSize(double width, double height);
  RectF content() const;
  // Tests drive the motion throttle and the click counter with their own clock.
  void setClock(std::function<MotionThrottle::Clock::time_point()> clock) { clock_ = std::move(clock); }

 signals:
  void filesDropped(const QStringList& paths);
  void dropTargeted(bool targeted);

 protected:
  bool event(QEvent* event) override;
  bool focusNextPrevChild(bool next) override;
  void paintEvent(QPaintEvent* event) override;
  void mouseMoveEvent(QMouseEvent* event) override;
  void mousePressEvent(QMouseEvent* event) override;
  void mouseDoubleClickEvent(QMouseEvent* event) override;
  void mouseReleaseEvent(QMouseEvent* event) override;
  void wheelEvent(QWheelEvent* event) override;
  void keyPressEvent(QKeyEvent* event) override;
  void keyReleaseEvent(QKeyEvent* event) override;
  void focusOutEvent(QFocusEvent* event) override;
  void dragEnterEvent(QDragEnterEvent* event) override;
  void dragLeaveEvent(QDragLeaveEvent* event) override;
  void dropEvent(QDropEvent* event) override;

 private:
  NormalisedPoint at(const QPointF& position) const;
  void button(QMouseEvent* event, bool down);
  void sendKey(QKeyEvent* event, bool down);

  std::shared_ptr<FrameSink> sink_;
  std::shared_ptr<RemoteInput> input_;
  std::shared_ptr<const Picture> picture_;  // the picture on screen; kept for repaints without a new one
  QImage image_;                            // wraps picture_'s bytes
  double videoWidth_ = 16, videoHeight_ = 10;
  MotionThrottle throttle_;
  ClickCounter clicks_;
  int lastClicks_ = 1;
  std::function<MotionThrottle::Clock::time_point()> clock_ = [] { return MotionThrottle::Clock::now(); };
  // Set by the renderer's callback, cleared by the repaint: at most one repaint is queued at a time.
  std::shared_ptr<std::atomic<bool>> repaintQueued_ = std::make_shared<std::atomic<bool>>(false);
};

}  // namespace pellora::ui
