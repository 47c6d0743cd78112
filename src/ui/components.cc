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
#include <QSvgRenderer>
#include <QUrl>
#include <QVBoxLayout>

#include "support/paths.h"

namespace pellora::ui {

QIcon themeIcon(std::initializer_list<const char*> names) {
  for (const char* name : names)
    if (QIcon::hasThemeIcon(name)) return QIcon::fromTheme(name);
  return {};
}

namespace {

QPixmap renderSvg(const QString& resource, int size) {
  QSvgRenderer svg(resource);
  QPixmap pixmap(size, size);
  pixmap.fill(Qt::transparent);
  QPainter painter(&pixmap);
  svg.render(&painter);
  return pixmap;
}

}  // namespace

QLabel* wrappedText(QWidget* parent, const QString& value, const char* name) {
  auto* label = new QLabel(value, parent);
  if (name) label->setObjectName(name);
  label->setWordWrap(true);
  return label;
}

QIcon appIcon() {
  QIcon icon;
  for (int size : {16, 22, 32, 48, 64, 128, 256}) icon.addPixmap(renderSvg(":/pellora/pellora.svg", size));
  return icon;
}

QIcon trayIcon(bool active) {
  QIcon icon;
  for (int size : {16, 22, 24, 32, 48, 64}) {
    QPixmap pixmap = renderSvg(":/pellora/tray.svg", size);
    if (active) {
      // The live dot: bottom right, a third of the icon, ringed so that it reads on any panel colour.
      QPainter painter(&pixmap);
      painter.setRenderHint(QPainter::Antialiasing);
      const double d = size * 0.42;
      painter.setPen(QPen(QColor(20, 20, 20, 200), size / 16.0));
      painter.setBrush(QColor(0x2e, 0xcc, 0x71));
      painter.drawEllipse(QRectF(size - d - 0.5, size - d - 0.5, d, d));
    }
    icon.addPixmap(pixmap);
  }
  return icon;
}

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

CopyButton::CopyButton(const QString& title, QWidget* parent) : QPushButton(title, parent), title_(title) {
  setProperty("kind", "secondary");
  restore_.setSingleShot(true);
  restore_.setInterval(confirmation);
  connect(&restore_, &QTimer::timeout, this, [this] {
    setText(title_);
    setIcon({});
  });
  connect(this, &QPushButton::clicked, this, [this] {
    QApplication::clipboard()->setText(value_);
    setText("Kopyalandı");
    setIcon(themeIcon({"object-select-symbolic", "emblem-ok-symbolic"}));
    restore_.start();
  });
}

DeviceCard::DeviceCard(const QString& name, const QString& detail, const QIcon& icon, QWidget* parent)
    : QPushButton(parent) {
  setObjectName("deviceCard");
  setAccessibleName(name + " cihazını seç");
  setCursor(Qt::PointingHandCursor);
  auto* layout = new QHBoxLayout(this);
  auto* glyph = new QLabel(this);
  glyph->setPixmap(icon.pixmap(22, 22));
  auto* texts = new QVBoxLayout;
  auto* title = new QLabel(name, this);
  title->setObjectName("cardTitle");
  auto* sub = new QLabel(detail, this);
  sub->setObjectName("muted");
  texts->addWidget(title);
  texts->addWidget(sub);
  auto* select = new QLabel("Seç", this);
  select->setObjectName("accent");
  layout->addWidget(glyph);
  layout->addLayout(texts, 1);
  layout->addWidget(select);
  for (auto* label : {glyph, title, sub, select}) label->setAttribute(Qt::WA_TransparentForMouseEvents);
  setMinimumHeight(56);
}

SessionBand::SessionBand(QWidget* parent) : QFrame(parent) {
  setObjectName("card");
  auto* layout = new QHBoxLayout(this);
  auto* live = new LiveDot(this);
  auto* texts = new QVBoxLayout;
  name_ = new QLabel(this);
  name_->setObjectName("cardTitle");
  detail_ = new QLabel(this);
  detail_->setObjectName("muted");
  texts->addWidget(name_);
  texts->addWidget(detail_);
  auto* button = new QPushButton("Bağlantıyı kes", this);
  button->setProperty("kind", "destructive");
  connect(button, &QPushButton::clicked, this, &SessionBand::disconnectRequested);
  layout->addWidget(live);
  layout->addLayout(texts, 1);
  layout->addWidget(button);
}

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
  scroll_->setObjectName("chatScroll");
  scroll_->viewport()->setAutoFillBackground(false);
  list_ = new QWidget;
  list_->setObjectName("chatList");
  rows_ = new QVBoxLayout(list_);
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
  auto* send = new QPushButton(themeIcon({"go-up-symbolic", "go-up"}), "Gönder", this);
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

void ChatPanel::show(const std::vector<ChatLine>& lines) {
  if (lines == lines_) return;
  // Lines only ever arrive at the end: add the new ones.
  std::size_t common = 0;
  while (common < lines_.size() && common < lines.size() && lines_[common].id == lines[common].id) ++common;
  if (common < lines_.size()) {
    while (rows_->count() > 2) delete rows_->takeAt(2)->widget();
    common = 0;
  }
  for (std::size_t i = common; i < lines.size(); ++i) {
    auto* bubble = new QLabel(qs(lines[i].text), list_);
    bubble->setWordWrap(true);
    bubble->setTextInteractionFlags(Qt::TextSelectableByMouse);
    bubble->setObjectName(lines[i].fromMe ? "bubbleMine" : "bubbleTheirs");
    bubble->setMaximumWidth(240);
    auto* row = new QHBoxLayout;
    if (lines[i].fromMe) row->addStretch();
    row->addWidget(bubble);
    if (!lines[i].fromMe) row->addStretch();
    auto* holder = new QWidget(list_);
    holder->setLayout(row);
    row->setContentsMargins(0, 0, 0, 0);
    rows_->addWidget(holder);
  }
  lines_ = lines;
  empty_->setVisible(lines_.empty());
  QTimer::singleShot(0, scroll_, [bar = scroll_->verticalScrollBar()] { bar->setValue(bar->maximum()); });
}

TransferList::TransferList(QWidget* parent) : QFrame(parent) {
  setObjectName("card");
  auto* layout = new QVBoxLayout(this);
  auto* top = new QHBoxLayout;
  auto* heading = new QLabel("DOSYALAR", this);
  heading->setObjectName("eyebrow");
  auto* folder = new QPushButton("Klasörü aç", this);
  folder->setProperty("kind", "secondary");
  connect(folder, &QPushButton::clicked, this, [] { openReceivedFilesFolder(); });
  top->addWidget(heading, 1);
  top->addWidget(folder);
  layout->addLayout(top);
  rows_ = new QVBoxLayout;
  layout->addLayout(rows_);
  layout->addStretch();
}

void TransferList::show(const std::vector<TransferProgress>& transfers) {
  if (transfers == transfers_) return;
  transfers_ = transfers;
  while (auto* item = rows_->takeAt(0)) {
    delete item->widget();
    delete item;
  }
  for (const auto& transfer : transfers_) {
    auto* row = new QWidget(this);
    auto* line = new QHBoxLayout(row);
    line->setContentsMargins(0, 2, 0, 2);
    const bool sending = transfer.direction == TransferProgress::Direction::sending;
    auto* glyph = new QLabel(row);
    glyph->setPixmap(themeIcon(sending ? std::initializer_list<const char*>{"document-send", "go-up"}
                                       : std::initializer_list<const char*>{"document-save", "go-down"})
                         .pixmap(18, 18));
    glyph->setText(glyph->pixmap().isNull() ? (sending ? "↑" : "↓") : QString());
    auto* name = new QLabel(qs(transfer.name), row);
    name->setMinimumWidth(80);
    line->addWidget(glyph);
    line->addWidget(name, 1);
    if (std::holds_alternative<TransferProgress::Waiting>(transfer.state) ||
        std::holds_alternative<TransferProgress::Running>(transfer.state)) {
      auto* bar = new QProgressBar(row);
      bar->setRange(0, 1000);
      bar->setValue(static_cast<int>(transfer.fraction() * 1000));
      bar->setTextVisible(false);
      bar->setMaximumWidth(90);
      auto* cancel = new QPushButton(themeIcon({"process-stop-symbolic", "process-stop"}), "İptal", row);
      cancel->setProperty("kind", "secondary");
      connect(cancel, &QPushButton::clicked, this, [this, transfer] { emit cancelRequested(transfer); });
      line->addWidget(bar);
      line->addWidget(cancel);
    } else if (const auto* done = std::get_if<TransferProgress::Done>(&transfer.state)) {
      line->addWidget(new QLabel("Kaydedildi", row));
      if (done->file) {
        auto* reveal = new QPushButton("Göster", row);
        reveal->setProperty("kind", "secondary");
        connect(reveal, &QPushButton::clicked, this, [file = *done->file] { revealFile(file); });
        line->addWidget(reveal);
      }
    } else if (const auto* failed = std::get_if<TransferProgress::Failed>(&transfer.state)) {
      auto* reason = new QLabel(qs(failed->text), row);
      reason->setObjectName("error");
      line->addWidget(reason);
    }
    rows_->addWidget(row);
  }
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
