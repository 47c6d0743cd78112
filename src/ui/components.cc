#include "ui/components.h"

#include <canberra.h>

#include <QApplication>
#include <QClipboard>
#include <QDBusInterface>
#include <QDBusReply>
#include <QDesktopServices>
#include <QFileDialog>
#include <QHBoxLayout>
#include <QLineEdit>
#include <QPainter>
#include <QProgressBar>
#include <QScrollArea>
#include <QScrollBar>
#include <QStyleHints>
#include <QUrl>
#include <QVBoxLayout>
#include <algorithm>

#include "support/paths.h"
#include "ui/theme.h"

namespace pellora::ui {

QLabel* wrappedText(QWidget* parent, const QString& value, const char* name) {
  auto* label = new QLabel(value, parent);
  if (name) label->setObjectName(name);
  label->setWordWrap(true);
  return label;
}

QLabel* peerText(QWidget* parent, const char* name) {
  auto* label = new QLabel(parent);
  label->setTextFormat(Qt::PlainText);
  if (name) label->setObjectName(name);
  return label;
}

QString menuText(const std::string& text) { return qs(text).replace('&', "&&"); }

bool reducedMotion() {
  // Qt has no reduce-motion hint of its own. Desktops that turn animations off also stop the cursor
  // from blinking, which Qt reports; tests and screenshots ask for still marks by the environment.
  if (qEnvironmentVariableIsSet("PELLORA_REDUCE_MOTION")) return true;
  return QApplication::styleHints()->cursorFlashTime() == 0;
}

QVBoxLayout* scrollingPage(QWidget* owner) {
  auto* outer = new QVBoxLayout(owner);
  outer->setContentsMargins(0, 0, 0, 0);
  auto* scroll = new QScrollArea(owner);
  scroll->setWidgetResizable(true);
  scroll->setFrameShape(QFrame::NoFrame);
  scroll->setHorizontalScrollBarPolicy(Qt::ScrollBarAlwaysOff);
  outer->addWidget(scroll);
  auto* page = new QWidget;
  page->setObjectName("page");
  scroll->setWidget(page);
  auto* column = new QVBoxLayout(page);
  column->setContentsMargins(32, 28, 32, 28);
  column->setSpacing(14);
  return column;
}

LiveDot::LiveDot(QWidget* parent) : QLabel(parent) {
  paint(true);
  if (reducedMotion()) return;
  pulse_.setInterval(std::chrono::milliseconds(700));
  connect(&pulse_, &QTimer::timeout, this, [this] { paint(bright_ = !bright_); });
  pulse_.start();
}

void LiveDot::paint(bool bright) {
  setText(QString("<span style='color:%1'>●</span>").arg(bright ? "#2ecc71" : "#1c7a44"));
}

Heading::Heading(const QString& eyebrow, const QString& title, QWidget* parent) : QWidget(parent) {
  auto* layout = new QVBoxLayout(this);
  layout->setContentsMargins(0, 0, 0, 0);
  layout->setSpacing(2);
  auto* small = new QLabel(eyebrow, this);
  small->setObjectName("eyebrow");
  auto* large = new QLabel(title, this);
  large->setObjectName("title");
  layout->addWidget(small);
  layout->addWidget(large);
}

BadgeLabel::BadgeLabel(QWidget* parent) : QLabel(parent) { setObjectName("badge"); }

void BadgeLabel::show(const Badge& badge) {
  static constexpr const char* colours[] = {"#2ecc71", "#f5a623", "#e5484d", "#8a8f98"};
  setText(QString("<span style='color:%1'>●</span>&nbsp;%2").arg(colours[static_cast<int>(badge.tone)], qs(badge.title)));
  setProperty("tone", static_cast<int>(badge.tone));
}

namespace {

constexpr int trackWidth = 34, trackHeight = 20, switchGap = 10;

}  // namespace

Switch::Switch(const QString& text, QWidget* parent) : QCheckBox(text, parent) {
  setObjectName("switch");
  setCursor(Qt::PointingHandCursor);
  // A click does not leave a focus ring behind; the keyboard still reaches it.
  setFocusPolicy(Qt::TabFocus);
}

QSize Switch::sizeHint() const {
  const QFontMetrics metrics(font());
  return {trackWidth + switchGap + metrics.horizontalAdvance(text()) + 4, std::max(trackHeight, metrics.height()) + 6};
}

void Switch::paintEvent(QPaintEvent*) {
  const ThemeColours& colours = themeColours();
  QPainter painter(this);
  painter.setRenderHint(QPainter::Antialiasing);
  const QRectF track(1, (height() - trackHeight) / 2.0, trackWidth, trackHeight);
  QColor fill = isChecked() ? colours.accent : colours.border;
  if (!isEnabled()) fill.setAlphaF(0.5);
  if (hasFocus()) {
    painter.setPen(QPen(colours.accent, 1.5));
    painter.setBrush(Qt::NoBrush);
    painter.drawRoundedRect(track.adjusted(-2, -2, 2, 2), trackHeight / 2.0 + 2, trackHeight / 2.0 + 2);
  }
  painter.setPen(Qt::NoPen);
  painter.setBrush(fill);
  painter.drawRoundedRect(track, trackHeight / 2.0, trackHeight / 2.0);
  const double knob = trackHeight - 4;
  const double x = isChecked() ? track.right() - 2 - knob : track.left() + 2;
  painter.setBrush(Qt::white);
  painter.drawEllipse(QRectF(x, track.top() + 2, knob, knob));
  painter.setPen(isEnabled() ? colours.text : colours.muted);
  painter.drawText(QRectF(track.right() + switchGap, 0, width() - track.right() - switchGap, height()),
                   Qt::AlignVCenter | Qt::AlignLeft, text());
}

bool Switch::hitButton(const QPoint& position) const { return rect().contains(position); }

DropDown::DropDown(QWidget* parent) : QComboBox(parent) {}

void DropDown::paintEvent(QPaintEvent* event) {
  QComboBox::paintEvent(event);
  QPainter painter(this);
  const int size = 16;
  glyph(Glyph::chevronDown, Ink::muted).paint(&painter, QRect(width() - size - 10, (height() - size) / 2, size, size));
}

CopyButton::CopyButton(const QString& title, QWidget* parent)
    : QPushButton(glyph(Glyph::copy), title, parent), title_(title) {
  setProperty("kind", "secondary");
  restore_.setSingleShot(true);
  restore_.setInterval(confirmation);
  connect(&restore_, &QTimer::timeout, this, [this] {
    setText(title_);
    setIcon(glyph(Glyph::copy));
  });
  connect(this, &QPushButton::clicked, this, [this] {
    QApplication::clipboard()->setText(value_);
    setText("Kopyalandı");
    setIcon(glyph(Glyph::check, Ink::success));
    restore_.start();
  });
}

DeviceCard::DeviceCard(const QString& name, const QString& detail, Glyph icon, QWidget* parent)
    : QPushButton(parent) {
  setObjectName("deviceCard");
  setAccessibleName(name + " cihazını seç");
  setCursor(Qt::PointingHandCursor);
  auto* layout = new QHBoxLayout(this);
  layout->setContentsMargins(12, 8, 12, 8);
  layout->setSpacing(12);
  auto* mark = new GlyphLabel(icon, Ink::accent, 22, this);
  auto* texts = new QVBoxLayout;
  texts->setSpacing(2);
  auto* title = peerText(this, "cardTitle");
  title->setText(name);
  auto* sub = new QLabel(detail, this);
  sub->setObjectName("muted");
  texts->addWidget(title);
  texts->addWidget(sub);
  auto* select = new QLabel("Seç", this);
  select->setObjectName("accent");
  layout->addWidget(mark);
  layout->addLayout(texts, 1);
  layout->addWidget(select);
  for (auto* label : {title, sub, select}) label->setAttribute(Qt::WA_TransparentForMouseEvents);
  setMinimumHeight(56);
}

SessionBand::SessionBand(QWidget* parent) : QFrame(parent) {
  setObjectName("card");
  auto* layout = row_ = new QHBoxLayout(this);
  auto* live = new LiveDot(this);
  auto* texts = new QVBoxLayout;
  name_ = peerText(this, "cardTitle");
  detail_ = wrappedText(this, {}, "muted");
  texts->addWidget(name_);
  texts->addWidget(detail_);
  auto* button = new QPushButton(glyph(Glyph::disconnect, Ink::onAccent), "Bağlantıyı kes", this);
  button->setProperty("kind", "destructive");
  connect(button, &QPushButton::clicked, this, &SessionBand::disconnectRequested);
  layout->addWidget(live);
  layout->addLayout(texts, 1);
  layout->addWidget(button);
}

void SessionBand::addTool(QWidget* tool) { row_->insertWidget(row_->count() - 1, tool); }

void SessionBand::show(const QString& name, const QString& detail) {
  name_->setText(name + " bağlı");
  detail_->setText(detail);
}

ChatPanel::ChatPanel(QWidget* parent) : QFrame(parent) {
  setObjectName("card");
  auto* layout = new QVBoxLayout(this);
  auto* heading = new QLabel("SOHBET", this);
  heading->setObjectName("eyebrow");
  layout->addWidget(heading);
  scroll_ = new QScrollArea(this);
  scroll_->setWidgetResizable(true);
  scroll_->setFrameShape(QFrame::NoFrame);
  scroll_->setHorizontalScrollBarPolicy(Qt::ScrollBarAlwaysOff);
  scroll_->setObjectName("chatScroll");
  scroll_->viewport()->setAutoFillBackground(false);
  list_ = new QWidget;
  list_->setObjectName("chatList");
  rows_ = new QVBoxLayout(list_);
  rows_->setContentsMargins(0, 0, 0, 0);
  rows_->addStretch();
  empty_ = new QLabel("Henüz mesaj yok. Buradan yazdıkların yalnız karşı tarafa gider.", list_);
  empty_->setWordWrap(true);
  empty_->setObjectName("muted");
  rows_->addWidget(empty_);
  scroll_->setWidget(list_);
  layout->addWidget(scroll_, 1);
  auto* entry = new QHBoxLayout;
  field_ = new QLineEdit(this);
  field_->setPlaceholderText("Mesaj yaz");
  auto* send = new QPushButton(glyph(Glyph::arrowUp, Ink::onAccent), "Gönder", this);
  send->setProperty("kind", "primary");
  entry->addWidget(field_, 1);
  entry->addWidget(send);
  layout->addLayout(entry);
  connect(field_, &QLineEdit::returnPressed, this, &ChatPanel::send);
  connect(send, &QPushButton::clicked, this, &ChatPanel::send);
}

void ChatPanel::send() {
  emit sendRequested(field_->text());
  field_->clear();
}

void ChatPanel::show(const ChatHistory& lines) {
  if (lines == lines_) return;
  // Lines only arrive at the end and the oldest fall out of the front: remove the rows of those, add the
  // new ones. Any other change (a new session) starts afresh.
  std::size_t dropped = 0;
  while (dropped < lines_.size() && (lines.empty() || lines_[dropped].id != lines[0].id)) ++dropped;
  std::size_t common = 0;
  while (dropped + common < lines_.size() && common < lines.size() &&
         lines_[dropped + common].id == lines[common].id)
    ++common;
  if (dropped + common < lines_.size()) {
    dropped = lines_.size();
    common = 0;
  }
  for (std::size_t i = 0; i < dropped; ++i) {
    auto* item = rows_->takeAt(2);
    delete item->widget();
    delete item;
  }
  for (std::size_t i = common; i < lines.size(); ++i) {
    const QString text = qs(lines[i].text);
    auto* bubble = peerText(list_, lines[i].fromMe ? "bubbleMine" : "bubbleTheirs");
    bubble->setText(text);
    bubble->setWordWrap(true);
    bubble->setTextInteractionFlags(Qt::TextSelectableByMouse);
    // A wrapping label asks for a narrow width of its own: give it what its text needs, up to the
    // bubble's width (the theme's padding, and a little room for the label's own layout).
    bubble->ensurePolished();
    const int padding = 2 * 10 + 8;
    const QRect needed = bubble->fontMetrics().boundingRect(QRect(0, 0, bubbleWidth - padding, 1 << 20),
                                                            Qt::TextWordWrap, text);
    bubble->setFixedWidth(std::min(bubbleWidth, needed.width() + padding));
    auto* holder = new QWidget(list_);
    auto* row = new QHBoxLayout(holder);
    row->setContentsMargins(0, 0, 0, 0);
    if (lines[i].fromMe) row->addStretch();
    row->addWidget(bubble);
    if (!lines[i].fromMe) row->addStretch();
    rows_->addWidget(holder);
  }
  lines_ = lines;
  empty_->setVisible(lines_.empty());
  QTimer::singleShot(0, scroll_, [bar = scroll_->verticalScrollBar()] { bar->setValue(bar->maximum()); });
}

// One transfer's row: direction, name, and by state a progress bar with "İptal", "Kaydedildi" with
// "Göster", or the failure reason.
class TransferList::Row : public QWidget {
 public:
  Row(TransferList* list, const TransferProgress& transfer) : QWidget(list), transfer_(transfer) {
    auto* line = new QHBoxLayout(this);
    line->setContentsMargins(0, 2, 0, 2);
    const bool sending = transfer.direction == TransferProgress::Direction::sending;
    line->addWidget(new GlyphLabel(sending ? Glyph::fileUp : Glyph::fileDown, Ink::muted, 18, this));
    name_ = peerText(this);
    name_->setMinimumWidth(60);
    line->addWidget(name_, 1);
    bar_ = new QProgressBar(this);
    bar_->setRange(0, 1000);
    bar_->setTextVisible(false);
    bar_->setFixedWidth(80);
    cancel_ = new QPushButton(glyph(Glyph::close), "İptal", this);
    cancel_->setProperty("kind", "secondary");
    connect(cancel_, &QPushButton::clicked, list, [this, list] { emit list->cancelRequested(transfer_); });
    saved_ = new QLabel("Kaydedildi", this);
    reveal_ = new QPushButton("Göster", this);
    reveal_->setProperty("kind", "secondary");
    connect(reveal_, &QPushButton::clicked, this, [this] {
      if (const auto* done = std::get_if<TransferProgress::Done>(&transfer_.state); done && done->file)
        revealFile(*done->file);
    });
    reason_ = peerText(this, "error");
    for (QWidget* w : std::initializer_list<QWidget*>{bar_, cancel_, saved_, reveal_, reason_}) line->addWidget(w);
    show(transfer);
  }

  bool holds(const TransferProgress& transfer) const {
    return transfer.id == transfer_.id && transfer.direction == transfer_.direction;
  }

  void show(const TransferProgress& transfer) {
    transfer_ = transfer;
    name_->setText(qs(transfer.name));
    const bool open = std::holds_alternative<TransferProgress::Waiting>(transfer.state) ||
                      std::holds_alternative<TransferProgress::Running>(transfer.state);
    const auto* done = std::get_if<TransferProgress::Done>(&transfer.state);
    const auto* failed = std::get_if<TransferProgress::Failed>(&transfer.state);
    bar_->setVisible(open);
    cancel_->setVisible(open);
    if (open) bar_->setValue(static_cast<int>(transfer.fraction() * 1000));
    saved_->setVisible(done != nullptr);
    reveal_->setVisible(done && done->file);
    reason_->setVisible(failed != nullptr);
    if (failed) reason_->setText(qs(failed->text));
  }

 private:
  TransferProgress transfer_;
  QLabel* name_;
  QProgressBar* bar_;
  QPushButton* cancel_;
  QLabel* saved_;
  QPushButton* reveal_;
  QLabel* reason_;
};

TransferList::TransferList(QWidget* parent) : QFrame(parent) {
  setObjectName("card");
  auto* layout = new QVBoxLayout(this);
  auto* top = new QHBoxLayout;
  auto* heading = new QLabel("DOSYALAR", this);
  heading->setObjectName("eyebrow");
  auto* folder = new QPushButton(glyph(Glyph::folder), "Klasörü aç", this);
  folder->setProperty("kind", "secondary");
  connect(folder, &QPushButton::clicked, this, [] { openReceivedFilesFolder(); });
  top->addWidget(heading, 1);
  top->addWidget(folder);
  layout->addLayout(top);
  rows_ = new QVBoxLayout;
  layout->addLayout(rows_);
  layout->addStretch();
}

void TransferList::show(const TransferHistory& transfers) {
  std::vector<Row*> next;
  next.reserve(transfers.size());
  for (const auto& transfer : transfers) {
    const auto kept = std::find_if(shown_.begin(), shown_.end(), [&](Row* row) { return row && row->holds(transfer); });
    Row* row = nullptr;
    if (kept != shown_.end()) {
      row = std::exchange(*kept, nullptr);
      row->show(transfer);
    } else {
      row = new Row(this, transfer);
    }
    next.push_back(row);
  }
  for (Row* gone : shown_) delete gone;  // no longer listed (null: kept)
  for (int i = 0; i < static_cast<int>(next.size()); ++i) {
    if (rows_->indexOf(next[i]) == i) continue;
    rows_->removeWidget(next[i]);
    rows_->insertWidget(i, next[i]);
  }
  shown_ = std::move(next);
}

std::filesystem::path receivedFilesFolder() { return Paths::downloadDir() / "Pellora"; }

void openReceivedFilesFolder() {
  std::error_code ignored;
  std::filesystem::create_directories(receivedFilesFolder(), ignored);
  QDesktopServices::openUrl(QUrl::fromLocalFile(qs(receivedFilesFolder().string())));
}

void revealFile(const std::filesystem::path& file) {
  QDBusInterface manager("org.freedesktop.FileManager1", "/org/freedesktop/FileManager1",
                         "org.freedesktop.FileManager1");
  if (manager.isValid()) {
    const QStringList uris{QUrl::fromLocalFile(qs(file.string())).toString()};
    const QDBusMessage reply = manager.call("ShowItems", uris, QString());
    if (reply.type() == QDBusMessage::ReplyMessage) return;
  }
  QDesktopServices::openUrl(QUrl::fromLocalFile(qs(file.parent_path().string())));
}

std::vector<std::filesystem::path> chooseFilesToSend(QWidget* parent) {
  QFileDialog dialog(parent, "Karşı bilgisayara gönderilecek dosyaları seç");
  dialog.setFileMode(QFileDialog::ExistingFiles);
  dialog.setOption(QFileDialog::DontUseNativeDialog);
  dialog.setLabelText(QFileDialog::Accept, "Gönder");
  std::vector<std::filesystem::path> files;
  if (dialog.exec() != QDialog::Accepted) return files;
  for (const QString& file : dialog.selectedFiles()) files.emplace_back(file.toStdString());
  return files;
}

struct MessageSound::Context {
  ca_context* context = nullptr;
  ~Context() {
    if (context) ca_context_destroy(context);
  }
};

MessageSound::MessageSound() : context_(std::make_unique<Context>()) {
  if (ca_context_create(&context_->context) != CA_SUCCESS) context_->context = nullptr;
}

MessageSound::~MessageSound() = default;

void MessageSound::play() {
  if (!context_->context) return;
  ca_context_play(context_->context, 0, CA_PROP_EVENT_ID, "message-new-instant", CA_PROP_EVENT_DESCRIPTION,
                  "Yeni sohbet mesajı", nullptr);
}

}  // namespace pellora::ui
