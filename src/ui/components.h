#pragma once

// The small pieces the windows share: heading, badge, copy button, device card, session band, chat panel,
// transfer list, the file chooser, the icons and the message sound. Each shows values it is given and
// reports clicks as signals; none knows a model object. GUI thread only; owned by their parent widgets.

#include <QFrame>
#include <QIcon>
#include <QLabel>
#include <QPushButton>
#include <QTimer>
#include <filesystem>
#include <memory>
#include <vector>

#include "core/chat_line.h"
#include "core/transfer_progress.h"
#include "ui/presentation.h"

class QLineEdit;
class QScrollArea;
class QVBoxLayout;

namespace pellora::ui {

// A theme icon by the names the desktop offers, first found wins; an empty icon when none is there.
QIcon themeIcon(std::initializer_list<const char*> names);
// Our own artwork: the app's icon and the tray icon (with a dot while a viewer is connected).
QIcon appIcon();
QIcon trayIcon(bool active);
// Whether the desktop asks for still pictures (the animated marks then do not move).
bool reducedMotion();

inline QString qs(const std::string& text) { return QString::fromStdString(text); }
inline std::string ss(const QString& text) { return text.toStdString(); }

// A label that wraps its text, styled by the theme's rule for `name` (none: plain text).
QLabel* wrappedText(QWidget* parent, const QString& value, const char* name = nullptr);

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
  DeviceCard(const QString& name, const QString& detail, const QIcon& icon, QWidget* parent = nullptr);
};

// "<name> bağlı", the detail and a destructive "Bağlantıyı kes".
class SessionBand : public QFrame {
  Q_OBJECT
 public:
  explicit SessionBand(QWidget* parent = nullptr);
  void show(const QString& name, const QString& detail);
 signals:
  void disconnectRequested();

 private:
  QLabel* name_;
  QLabel* detail_;
};

// The chat of one session: its lines, newest last, and a field to write one.
class ChatPanel : public QFrame {
  Q_OBJECT
 public:
  explicit ChatPanel(QWidget* parent = nullptr);
  void show(const std::vector<ChatLine>& lines);
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
  std::vector<ChatLine> lines_;
};

// The file transfers of one session with their progress, result and actions.
class TransferList : public QFrame {
  Q_OBJECT
 public:
  explicit TransferList(QWidget* parent = nullptr);
  void show(const std::vector<TransferProgress>& transfers);
 signals:
  void cancelRequested(const pellora::TransferProgress& transfer);

 private:
  QVBoxLayout* rows_;
  std::vector<TransferProgress> transfers_;
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
