#pragma once

// The small pieces the windows share: heading, badge, switch, drop-down, copy button, device card,
// session band, chat panel, transfer list, the file chooser and the message sound. Each shows values it is
// given and reports clicks as signals; none knows a model object. GUI thread only; owned by their parent
// widgets.

#include <QCheckBox>
#include <QComboBox>
#include <QFrame>
#include <QLabel>
#include <QPointer>
#include <QPushButton>
#include <QTimer>
#include <filesystem>
#include <memory>
#include <vector>

#include "core/chat_line.h"
#include "core/transfer_progress.h"
#include "ui/icons.h"
#include "ui/presentation.h"

class QHBoxLayout;
class QLineEdit;
class QProgressBar;
class QScrollArea;
class QVBoxLayout;

namespace pellora::ui {

// Whether the desktop asks for still pictures (the animated marks then do not move).
bool reducedMotion();

inline QString qs(const std::string& text) { return QString::fromStdString(text); }
inline std::string ss(const QString& text) { return text.toStdString(); }

// A label that wraps its text, styled by the theme's rule for `name` (none: plain text).
QLabel* wrappedText(QWidget* parent, const QString& value, const char* name = nullptr);
// A label for text that came from a peer (names, chat, file names, reasons): shown as the characters it
// holds, never read as markup.
QLabel* peerText(QWidget* parent, const char* name = nullptr);
// Peer text as a menu item's text: an ampersand is shown, not taken as a keyboard mnemonic.
QString menuText(const std::string& text);

// A page of `owner` that scrolls up and down when the window is shorter than its content; returns the
// page's column.
QVBoxLayout* scrollingPage(QWidget* owner);

// The live indicator: a green dot that breathes, and stays still while the desktop asks for no motion.
class LiveDot : public QLabel {
 public:
  explicit LiveDot(QWidget* parent = nullptr);

 private:
  void paint(bool bright);
  QTimer pulse_;
  bool bright_ = true;
};

// A small upper-case caption over a large title.
class Heading : public QWidget {
 public:
  Heading(const QString& eyebrow, const QString& title, QWidget* parent = nullptr);
};

// A pill with a coloured dot; the tone picks the colour.
class BadgeLabel : public QLabel {
 public:
  explicit BadgeLabel(QWidget* parent = nullptr);
  void show(const Badge& badge);
};

// An on/off setting drawn as a switch: a rounded track with a knob, the label beside it. A check box in
// every other respect (signals, keyboard, accessibility).
class Switch : public QCheckBox {
 public:
  explicit Switch(const QString& text, QWidget* parent = nullptr);
  QSize sizeHint() const override;
  QSize minimumSizeHint() const override { return sizeHint(); }

 protected:
  void paintEvent(QPaintEvent* event) override;
  bool hitButton(const QPoint& position) const override;
};

// A drop-down in the theme's look, its arrow one of our icons.
class DropDown : public QComboBox {
 public:
  explicit DropDown(QWidget* parent = nullptr);

 protected:
  void paintEvent(QPaintEvent* event) override;
};

// Copies its value to the clipboard and says "Kopyalandı" for 1.8 s; a new click starts the 1.8 s again.
class CopyButton : public QPushButton {
 public:
  static constexpr std::chrono::milliseconds confirmation{1800};
  CopyButton(const QString& title, QWidget* parent = nullptr);
  void setValue(const QString& value) { value_ = value; }

 private:
  QString title_, value_;
  QTimer restore_;
};

// A selectable card for a nearby device or a recent target.
class DeviceCard : public QPushButton {
 public:
  DeviceCard(const QString& name, const QString& detail, Glyph icon, QWidget* parent = nullptr);
};

// "<name> bağlı", the detail and a destructive "Bağlantıyı kes".
class SessionBand : public QFrame {
  Q_OBJECT
 public:
  explicit SessionBand(QWidget* parent = nullptr);
  void show(const QString& name, const QString& detail);
  // A further control, placed before "Bağlantıyı kes".
  void addTool(QWidget* tool);
 signals:
  void disconnectRequested();

 private:
  QHBoxLayout* row_;
  QLabel* name_;
  QLabel* detail_;
};

// The chat of one session: its lines, newest last, and a field to write one.
class ChatPanel : public QFrame {
  Q_OBJECT
 public:
  static constexpr int bubbleWidth = 240;
  explicit ChatPanel(QWidget* parent = nullptr);
  void show(const ChatHistory& lines);
  QLineEdit* field() const { return field_; }
 signals:
  void sendRequested(const QString& text);

 private:
  void send();
  QScrollArea* scroll_;
  QWidget* list_;
  QVBoxLayout* rows_;
  QLabel* empty_;
  QLineEdit* field_;
  ChatHistory lines_;
};

// The file transfers of one session with their progress, result and actions. A transfer keeps its row
// while it is listed: a progress report changes the row in place, so that a button under the pointer
// stays there.
class TransferList : public QFrame {
  Q_OBJECT
 public:
  explicit TransferList(QWidget* parent = nullptr);
  void show(const TransferHistory& transfers);
 signals:
  void cancelRequested(const pellora::TransferProgress& transfer);

 private:
  class Row;
  QVBoxLayout* rows_;
  std::vector<Row*> shown_;  // in the order of the list, newest last
};

// The received-files folder, and a saved file selected in the file manager (its folder when no file
// manager answers on the session bus).
std::filesystem::path receivedFilesFolder();
void openReceivedFilesFolder();
void revealFile(const std::filesystem::path& file);

// Several files, no folders; nothing when the user cancels.
std::vector<std::filesystem::path> chooseFilesToSend(QWidget* parent);

// Plays the desktop's "message-new-instant" event sound (a chat line came in).
class MessageSound {
 public:
  MessageSound();
  ~MessageSound();
  void play();

 private:
  struct Context;
  std::unique_ptr<Context> context_;
};

}  // namespace pellora::ui
