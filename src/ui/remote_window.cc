#include "ui/remote_window.h"

#include <QCloseEvent>
#include <QHBoxLayout>
#include <QLabel>
#include <QLineEdit>
#include <QMenu>
#include <QPushButton>
#include <QScrollArea>
#include <QToolButton>
#include <QVBoxLayout>

#include "ui/icons.h"
#include "ui/remote_screen.h"

namespace pellora::ui {

namespace {

constexpr int chatWidth = 300;
constexpr int transferWidth = 320, transferMargin = 16;

// The screen's input, posted to the session on the main strand.
class SessionInput final : public RemoteInput {
 public:
  SessionInput(ModelBridge bridge, std::weak_ptr<ViewerSession> session)
      : bridge_(std::move(bridge)), session_(std::move(session)) {}
  void mouseMove(float x, float y) override {
    bridge_.act(session_, [x, y](ViewerSession& s) { s.mouseMove(x, y); });
  }
  void mouseButton(MouseButton button, bool down, std::uint8_t clicks, float x, float y) override {
    bridge_.act(session_, [=](ViewerSession& s) { s.mouseButton(button, down, clicks, x, y); });
  }
  void scroll(float dx, float dy) override {
    bridge_.act(session_, [dx, dy](ViewerSession& s) { s.scroll(dx, dy); });
  }
  void key(std::uint16_t usage, bool down) override {
    bridge_.act(session_, [usage, down](ViewerSession& s) { s.key(usage, down); });
  }
  void releaseKeys() override {
    bridge_.act(session_, [](ViewerSession& s) { s.releaseKeys(); });
  }

 private:
  ModelBridge bridge_;
  std::weak_ptr<ViewerSession> session_;
};

QToolButton* toolButton(QWidget* parent, const QString& text, Glyph icon, Ink ink = Ink::text) {
  auto* button = new QToolButton(parent);
  button->setText(text);
  button->setIcon(glyph(icon, ink));
  button->setIconSize({18, 18});
  button->setToolButtonStyle(Qt::ToolButtonTextBesideIcon);
  button->setAutoRaise(true);
  return button;
}

QWidget* overlay(QWidget* parent, const QString& name) {
  auto* panel = new QFrame(parent);
  panel->setObjectName(name);
  panel->setAutoFillBackground(true);
  panel->hide();
  return panel;
}

}  // namespace

struct RemoteWindow::Found {
  std::weak_ptr<ViewerSession> session;
  std::shared_ptr<FrameSink> sink;
  std::string label;
};

RemoteWindow::RemoteWindow(ModelBridge bridge, std::weak_ptr<ViewerStore> store, std::string id, MessageSound* sound)
    : bridge_(std::move(bridge)), store_(std::move(store)), id_(std::move(id)), sound_(sound) {
  setAttribute(Qt::WA_DeleteOnClose);
  setWindowTitle("Uzak Masaüstü");
  resize(1280, 820);
  bridge_.ask(
      store_, this,
      [id = id_](ViewerStore& viewers) -> std::optional<Found> {
        auto session = viewers.session(id);
        if (!session) return std::nullopt;
        return Found{session, session->renderer()->sink(), session->target().label()};
      },
      [this](std::optional<Found> found) {
        if (found) attach(*found);
        else showNotFound();
      });
}

void RemoteWindow::showNotFound() {
  auto* layout = new QVBoxLayout(this);
  auto* text = new QLabel("Oturum bulunamadı", this);
  text->setAlignment(Qt::AlignCenter);
  text->setObjectName("notFound");
  layout->addWidget(text);
}

void RemoteWindow::attach(const Found& found) {
  session_ = found.session;
  targetLabel_ = found.label;
  setWindowTitle(qs(targetLabel_));

  auto* layout = new QVBoxLayout(this);
  layout->setContentsMargins(0, 0, 0, 0);
  layout->setSpacing(0);
  auto* bar = new QWidget(this);
  bar->setObjectName("toolbar");
  buildToolbar(bar);
  layout->addWidget(bar);

  auto* body = new QHBoxLayout;
  body->setSpacing(0);
  layout->addLayout(body, 1);
  area_ = new QWidget(this);
  area_->installEventFilter(this);
  body->addWidget(area_, 1);
  chat_ = new ChatPanel(this);
  chat_->setFixedWidth(chatWidth);
  chat_->hide();
  body->addWidget(chat_);
  connect(chat_, &ChatPanel::sendRequested, this, [this](const QString& text) {
    act([text = ss(text)](ViewerSession& s) { s.sendChat(text); });
  });

  scroll_ = new QScrollArea(area_);
  scroll_->setFrameShape(QFrame::NoFrame);
  scroll_->setAlignment(Qt::AlignCenter);
  scroll_->setStyleSheet("background: black;");
  screen_ = new RemoteScreen(found.sink, std::make_shared<SessionInput>(bridge_, session_));
  scroll_->setWidget(screen_);
  setScale(true);
  connect(screen_, &RemoteScreen::filesDropped, this, [this](const QStringList& paths) {
    std::vector<std::filesystem::path> files;
    for (const QString& path : paths) files.emplace_back(ss(path));
    act([files](ViewerSession& s) { s.sendFiles(files); });
  });
  connect(screen_, &RemoteScreen::dropTargeted, this, [this](bool on) { drop_->setVisible(on); });

  connecting_ = overlay(area_, "overlay");
  {
    auto* column = new QVBoxLayout(connecting_);
    column->setAlignment(Qt::AlignCenter);
    auto* mark = new QLabel(connecting_);
    mark->setPixmap(appIcon().pixmap(72, 72));
    mark->setAlignment(Qt::AlignCenter);
    auto* line = new QLabel("Mesafe kapanıyor.", connecting_);
    line->setObjectName("title");
    line->setAlignment(Qt::AlignCenter);
    connectingText_ = new QLabel(connecting_);
    connectingText_->setObjectName("muted");
    connectingText_->setAlignment(Qt::AlignCenter);
    auto* cancel = new QPushButton("Vazgeç", connecting_);
    cancel->setProperty("kind", "secondary");
    connect(cancel, &QPushButton::clicked, this, [this] {
      act([](ViewerSession& s) { s.disconnect(); });
      close();
    });
    for (QWidget* w : std::initializer_list<QWidget*>{mark, line, connectingText_}) column->addWidget(w);
    column->addWidget(cancel, 0, Qt::AlignCenter);
  }
  ended_ = overlay(area_, "overlay");
  {
    auto* column = new QVBoxLayout(ended_);
    column->setAlignment(Qt::AlignCenter);
    auto* mark = new QLabel(ended_);
    mark->setPixmap(glyph(Glyph::networkOff, Ink::onAccent).pixmap(56, 56));
    mark->setAlignment(Qt::AlignCenter);
    auto* line = new QLabel("Bağlantı kesildi.", ended_);
    line->setObjectName("title");
    line->setAlignment(Qt::AlignCenter);
    endedText_ = peerText(ended_);  // the reason the host gave
    endedText_->setWordWrap(true);
    endedText_->setAlignment(Qt::AlignCenter);
    auto* advice = new QLabel("Yeniden bağlanmak için Bağlan ekranından güncel parolayı gir.", ended_);
    advice->setObjectName("muted");
    advice->setAlignment(Qt::AlignCenter);
    auto* closeButton = new QPushButton("Kapat", ended_);
    closeButton->setProperty("kind", "primary");
    connect(closeButton, &QPushButton::clicked, this, &QWidget::close);
    for (QWidget* w : std::initializer_list<QWidget*>{mark, line, endedText_, advice}) column->addWidget(w);
    column->addWidget(closeButton, 0, Qt::AlignCenter);
  }
  drop_ = overlay(area_, "dropOverlay");
  {
    auto* column = new QVBoxLayout(drop_);
    auto* text = new QLabel("Bırak, karşı bilgisayara gönderilsin", drop_);
    text->setObjectName("title");
    text->setAlignment(Qt::AlignCenter);
    column->addWidget(text);
    drop_->setAttribute(Qt::WA_TransparentForMouseEvents);
  }
  transfers_ = new TransferList(area_);
  transfers_->setFixedWidth(transferWidth);
  transfers_->hide();
  connect(transfers_, &TransferList::cancelRequested, this, [this](const TransferProgress& transfer) {
    act([transfer](ViewerSession& s) { s.cancelTransfer(transfer); });
  });

  bridge_.watch(session_, this, [this](const ViewerSession::State& state) { render(state); });
  placeOverlays();
}

void RemoteWindow::buildToolbar(QWidget* bar) {
  auto* row = new QHBoxLayout(bar);
  row->setContentsMargins(12, 6, 12, 6);
  auto* live = new LiveDot(bar);
  name_ = peerText(bar, "cardTitle");
  lock_ = new GlyphLabel(Glyph::shield, Ink::success, 16, bar);
  figures_ = new QLabel(bar);
  figures_->setObjectName("muted");
  row->addWidget(live);
  row->addWidget(name_);
  row->addSpacing(12);
  row->addWidget(lock_);
  row->addSpacing(8);
  row->addWidget(figures_, 1);

  audio_ = toolButton(bar, "Sesi aç", Glyph::speakerOff);
  connect(audio_, &QToolButton::clicked, this, [this] { act([](ViewerSession& s) { s.toggleAudio(); }); });
  displays_ = toolButton(bar, "Ekran", Glyph::displays);
  displays_->setToolTip("Paylaşılan ekranı seç");
  displays_->setPopupMode(QToolButton::InstantPopup);
  displays_->setMenu(new QMenu(displays_));
  quality_ = toolButton(bar, "Kalite", Glyph::dial);
  quality_->setToolTip("Görüntü kalitesi");
  quality_->setPopupMode(QToolButton::InstantPopup);
  quality_->setMenu(new QMenu(quality_));
  scale_ = toolButton(bar, "Gerçek boyut", Glyph::realSize);
  connect(scale_, &QToolButton::clicked, this, [this] {
    const bool fit = !state_.scaleToFit;
    act([fit](ViewerSession& s) { s.setScaleToFit(fit); });
  });
  chatButton_ = toolButton(bar, "Sohbet", Glyph::chat);
  chatButton_->setCheckable(true);
  connect(chatButton_, &QToolButton::clicked, this, [this] {
    showChat_ = !showChat_;
    chatButton_->setChecked(showChat_);
    chat_->setVisible(showChat_);
    if (showChat_) {
      chat_->field()->setFocus();
      act([](ViewerSession& s) { s.markChatRead(); });
    } else {
      screen_->setFocus();
    }
  });
  auto* send = toolButton(bar, "Dosya gönder", Glyph::fileUp);
  send->setToolTip("Dosya gönder (ya da dosyayı ekrana sürükle)");
  connect(send, &QToolButton::clicked, this, [this] {
    const auto files = chooseFilesToSend(this);
    if (!files.empty()) act([files](ViewerSession& s) { s.sendFiles(files); });
  });
  auto* full = toolButton(bar, "Tam ekran", Glyph::fullScreen);
  connect(full, &QToolButton::clicked, this, &RemoteWindow::toggleFullScreen);
  auto* end = toolButton(bar, "Bağlantıyı kes", Glyph::disconnect, Ink::danger);
  connect(end, &QToolButton::clicked, this, [this] { act([](ViewerSession& s) { s.disconnect(); }); });
  for (QToolButton* b : {audio_, displays_, quality_, scale_, chatButton_, send, full, end}) row->addWidget(b);
}

void RemoteWindow::render(const ViewerSession::State& state) {
  const bool first = !haveState_;
  const bool wasConnected = !first && std::holds_alternative<ViewerSession::Connected>(state_.phase);
  const std::string newest = newestFromPeer(state.chat);
  if (!first && !newest.empty() && newest != newestFromPeer(state_.chat) && sound_) sound_->play();
  const ViewerSession::State previous = std::exchange(state_, state);
  haveState_ = true;

  setWindowTitle(qs(state.remoteName.empty() ? targetLabel_ : state.remoteName));
  name_->setText(qs(state.remoteName.empty() ? targetLabel_ : state.remoteName));
  const bool live = std::holds_alternative<ViewerSession::Connected>(state.phase);
  figures_->setText(live ? qs(figuresLine(state)) : QString());
  const HandshakeLock lock = handshakeLock(state.handshakeVersion);
  lock_->set(lock.closed ? Glyph::shield : Glyph::alertCircle, lock.closed ? Ink::success : Ink::warning);
  lock_->setToolTip(qs(lock.tooltip));
  lock_->setVisible(live);
  screen_->setVideoSize(state.videoSize.width, state.videoSize.height);

  audio_->setText(state.audioOn ? "Sesi kapat" : "Sesi aç");
  audio_->setToolTip(state.audioOn ? "Uzak sesi kapat" : "Uzak bilgisayarın sesini aç");
  audio_->setIcon(glyph(state.audioOn ? Glyph::speakerOn : Glyph::speakerOff));
  scale_->setText(state.scaleToFit ? "Gerçek boyut" : "Pencereye sığdır");
  scale_->setToolTip(state.scaleToFit ? "1:1 göster" : "Pencereye sığdır");
  scale_->setIcon(glyph(state.scaleToFit ? Glyph::realSize : Glyph::fitWindow));
  setScale(state.scaleToFit);
  chatButton_->setIcon(glyph(state.unreadChat > 0 ? Glyph::chatUnread : Glyph::chat));
  if (showChat_ && state.unreadChat > 0) act([](ViewerSession& s) { s.markChatRead(); });

  // The menus are rebuilt only when what they list changed, so that an open menu stays open while the
  // figures tick.
  if (first || state.displays != previous.displays || state.selectedDisplay != previous.selectedDisplay ||
      state.quality != previous.quality)
    buildMenus(state);

  if (std::holds_alternative<ViewerSession::Connected>(state.phase) && !pendingFiles_.empty())
    act([files = std::exchange(pendingFiles_, {})](ViewerSession& s) { s.sendFiles(files); });

  const auto* connecting = std::get_if<ViewerSession::Connecting>(&state.phase);
  const auto* ended = std::get_if<ViewerSession::Ended>(&state.phase);
  connecting_->setVisible(connecting != nullptr);
  if (connecting) connectingText_->setText(qs(connecting->text));
  ended_->setVisible(ended != nullptr);
  if (ended) {
    endedText_->setText(qs(ended->text));
    if (isFullScreen()) toggleFullScreen();
  }
  chat_->show(state.chat);
  transfers_->show(state.transfers);
  transfers_->setVisible(!state.transfers.empty());
  placeOverlays();
  // Typing goes to the remote computer as soon as the session is up, without a click on the picture first.
  if (std::holds_alternative<ViewerSession::Connected>(state.phase) && !wasConnected) focusScreen();
}

void RemoteWindow::focusScreen() {
  // A line being written in the chat keeps the keyboard.
  if (screen_ && !(showChat_ && chat_->field()->hasFocus())) screen_->setFocus(Qt::ActiveWindowFocusReason);
}

void RemoteWindow::changeEvent(QEvent* event) {
  QWidget::changeEvent(event);
  if (event->type() == QEvent::ActivationChange && isActiveWindow()) focusScreen();
}

void RemoteWindow::buildMenus(const ViewerSession::State& state) {
  QMenu* displayMenu = displays_->menu();
  displayMenu->clear();
  for (const auto& display : state.displays) {
    QAction* item = displayMenu->addAction(menuText(displayLabel(display)));
    item->setCheckable(true);
    item->setChecked(state.selectedDisplay == display.id);
    connect(item, &QAction::triggered, this, [this, id = display.id] { act([id](ViewerSession& s) { s.selectDisplay(id); }); });
  }
  QMenu* qualityMenu = quality_->menu();
  qualityMenu->clear();
  for (const Quality q : allQualities) {
    QAction* item = qualityMenu->addAction(qs(std::string(label(q))));
    item->setCheckable(true);
    item->setChecked(state.quality == q);
    connect(item, &QAction::triggered, this, [this, q] { act([q](ViewerSession& s) { s.setQuality(q); }); });
  }
}

void RemoteWindow::setScale(bool fit) {
  if (!screen_) return;
  scroll_->setWidgetResizable(fit);
  scroll_->setHorizontalScrollBarPolicy(fit ? Qt::ScrollBarAlwaysOff : Qt::ScrollBarAsNeeded);
  scroll_->setVerticalScrollBarPolicy(fit ? Qt::ScrollBarAlwaysOff : Qt::ScrollBarAsNeeded);
  if (fit) {
    screen_->setMinimumSize(160, 100);
    screen_->setMaximumSize(QWIDGETSIZE_MAX, QWIDGETSIZE_MAX);
  } else {
    // One remote pixel on one device pixel of this screen.
    const double scale = devicePixelRatioF() > 0 ? devicePixelRatioF() : 1.0;
    screen_->setFixedSize(static_cast<int>(state_.videoSize.width / scale),
                          static_cast<int>(state_.videoSize.height / scale));
  }
}

void RemoteWindow::placeOverlays() {
  if (!area_) return;
  const QRect all = area_->rect();
  scroll_->setGeometry(all);
  for (QWidget* panel : {connecting_, ended_, drop_}) {
    panel->setGeometry(all);
    panel->raise();
  }
  if (transfers_->isVisible()) {
    transfers_->adjustSize();
    const int height = std::min(transfers_->sizeHint().height(), all.height() - 2 * transferMargin);
    transfers_->setGeometry(all.width() - transferWidth - transferMargin, all.height() - height - transferMargin,
                            transferWidth, height);
    transfers_->raise();
  }
}

bool RemoteWindow::eventFilter(QObject* watched, QEvent* event) {
  if (watched == area_ && event->type() == QEvent::Resize) placeOverlays();
  return QWidget::eventFilter(watched, event);
}

void RemoteWindow::resizeEvent(QResizeEvent* event) {
  QWidget::resizeEvent(event);
  placeOverlays();
}

void RemoteWindow::toggleFullScreen() {
  if (isFullScreen()) {
    screen_->releaseKeyboard();
    showNormal();
  } else {
    showFullScreen();
    // In full screen every key belongs to the remote computer, Alt+Tab and Super included.
    screen_->grabKeyboard();
  }
}

void RemoteWindow::closeEvent(QCloseEvent* event) {
  if (screen_) screen_->releaseKeyboard();
  bridge_.act(store_, [id = id_](ViewerStore& viewers) { viewers.close(id); });
  QWidget::closeEvent(event);
}

}  // namespace pellora::ui
