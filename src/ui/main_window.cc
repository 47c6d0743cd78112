#include "ui/main_window.h"

#include <QButtonGroup>
#include <QCheckBox>
#include <QDateTime>
#include <QHBoxLayout>
#include <QLabel>
#include <QLineEdit>
#include <QPushButton>
#include <QScrollArea>
#include <QStackedWidget>
#include <QStyle>
#include <QToolButton>
#include <QVBoxLayout>

namespace pellora::ui {

namespace {

constexpr auto hostRefresh = std::chrono::seconds(2);

QFrame* card(QWidget* parent) {
  auto* frame = new QFrame(parent);
  frame->setObjectName("card");
  return frame;
}

QPushButton* button(QWidget* parent, const QString& title, const char* kind, const QIcon& icon = {}) {
  auto* b = new QPushButton(icon, title, parent);
  b->setProperty("kind", kind);
  return b;
}

// An icon and a text side by side.
QWidget* iconLine(QWidget* parent, Glyph icon, Ink ink, QLabel* text) {
  auto* line = new QWidget(parent);
  auto* row = new QHBoxLayout(line);
  row->setContentsMargins(0, 0, 0, 0);
  row->setSpacing(8);
  row->addWidget(new GlyphLabel(icon, ink, 16, line));
  row->addWidget(text, 1);
  return line;
}

void clear(QVBoxLayout* layout) {
  while (auto* item = layout->takeAt(0)) {
    delete item->widget();
    delete item;
  }
}

}  // namespace

// ---- Connect ----

ConnectTab::ConnectTab(ModelBridge bridge, MainModels models, QWidget* parent)
    : QWidget(parent), bridge_(std::move(bridge)), models_(std::move(models)) {
  auto* column = scrollingPage(this);
  QWidget* page = column->parentWidget();
  column->addWidget(new Heading("UZAKTAKİ ÇALIŞMA ALANIN", "Bir bağlantı kadar yakın.", page));

  auto* form = card(page);
  auto* fields = new QVBoxLayout(form);
  fields->addWidget(wrappedText(form, "Kimlik veya IP adresi", "cardTitle"));
  address_ = new QLineEdit(form);
  address_->setPlaceholderText("123 456 789");
  address_->setObjectName("large");
  fields->addWidget(address_);
  fields->addWidget(wrappedText(form, "9 haneli kimlik, IP ya da cihaz adı.", "muted"));
  fields->addWidget(wrappedText(form, "Oturum parolası", "cardTitle"));
  password_ = new QLineEdit(form);
  password_->setEchoMode(QLineEdit::Password);
  password_->setPlaceholderText("Parola");
  fields->addWidget(password_);
  auto* actions = new QHBoxLayout;
  connect_ = button(form, "Bağlan", "primary", glyph(Glyph::arrowRight, Ink::onAccent));
  connect_->setLayoutDirection(Qt::RightToLeft);  // the arrow after the word
  actions->addWidget(connect_);
  actions->addSpacing(6);
  actions->addWidget(iconLine(form, Glyph::shield, Ink::muted, wrappedText(form, "Uçtan uca şifreli bağlantı", "muted")), 1);
  fields->addLayout(actions);
  error_ = wrappedText(form, {}, "error");
  error_->hide();
  fields->addWidget(error_);
  column->addWidget(form);

  auto* lists = new QHBoxLayout;
  lists->setSpacing(14);
  auto* nearbyCard = card(page);
  auto* nearby = new QVBoxLayout(nearbyCard);
  nearby->addWidget(wrappedText(nearbyCard, "YAKININDAKİ CİHAZLAR", "eyebrow"));
  nearbyList_ = new QVBoxLayout;
  nearby->addLayout(nearbyList_);
  nearby->addStretch();
  auto* recentCard = card(page);
  auto* recent = new QVBoxLayout(recentCard);
  recent->addWidget(wrappedText(recentCard, "Son bağlantılar", "eyebrow"));
  recentList_ = new QVBoxLayout;
  recent->addLayout(recentList_);
  recent->addStretch();
  lists->addWidget(nearbyCard, 1);
  lists->addWidget(recentCard, 1);
  column->addLayout(lists);
  auto* footer = new QHBoxLayout;
  footer->addWidget(wrappedText(page, "Yakındaki cihazlar otomatik bulunur.", "muted"));
  footer->addWidget(wrappedText(page, "Parolalar kaydedilmez.", "muted"));
  column->addLayout(footer);
  column->addStretch();

  connect(address_, &QLineEdit::textChanged, this, &ConnectTab::updateButton);
  connect(password_, &QLineEdit::textChanged, this, &ConnectTab::updateButton);
  connect(password_, &QLineEdit::returnPressed, this, &ConnectTab::connectNow);
  connect(connect_, &QPushButton::clicked, this, &ConnectTab::connectNow);
  updateButton();
  renderNearby({});
  renderRecent({});
  bridge_.watch(models_.discovery, this, [this](const Discovery::State& state) { renderNearby(state); });
  bridge_.watch(models_.settings.settings, this, [this](const AppSettings::State& state) { renderRecent(state); });
}

void ConnectTab::startDiscovery() {
  if (discoveryStarted_) return;
  discoveryStarted_ = true;
  // This computer never lists itself: the name its host service announces is left out, whatever it is at
  // the moment (none while sharing is off; the mDNS daemon renames the service on a clash).
  bridge_.post([discovery = models_.discovery, host = models_.settings.host] {
    auto list = discovery.lock();
    if (!list) return;
    auto service = host.lock();
    list->start(service ? service->state().advertisedName : std::string());
    if (service)
      service->published().subscribe([discovery](const HostService::State& state) {
        if (auto devices = discovery.lock()) devices->exclude(state.advertisedName);
      });
  });
}

void ConnectTab::updateButton() {
  connect_->setEnabled(!trimmed(ss(address_->text())).empty() && !password_->text().isEmpty());
}

void ConnectTab::select(const QString& name) {
  address_->setText(name);
  password_->setFocus();
}

void ConnectTab::renderNearby(const Discovery::State& state) {
  nearby_ = state.hosts;
  clear(nearbyList_);
  if (nearby_.empty())
    nearbyList_->addWidget(wrappedText(this, "Henüz bir cihaz bulunamadı.\nAynı ağda Pellora paylaşımı açık olmalı.", "muted"));
  for (const auto& device : nearby_) {
    auto* item = new DeviceCard(qs(device.name), "Yerel ağda", Glyph::computer, this);
    connect(item, &QPushButton::clicked, this, [this, name = qs(device.name)] { select(name); });
    nearbyList_->addWidget(item);
  }
}

void ConnectTab::renderRecent(const AppSettings::State& state) {
  if (state.recent == recent_ && recentList_->count() > 0) return;
  recent_ = state.recent;
  clear(recentList_);
  if (recent_.empty()) recentList_->addWidget(wrappedText(this, "İlk bağlantın burada görünecek.", "muted"));
  for (const auto& entry : recent_) {
    auto* item = new DeviceCard(qs(entry), "Son kullanılan adres", Glyph::clock, this);
    connect(item, &QPushButton::clicked, this, [this, name = qs(entry)] { select(name); });
    recentList_->addWidget(item);
  }
}

void ConnectTab::connectNow() {
  const std::string typed = trimmed(ss(address_->text()));
  if (typed.empty() || password_->text().isEmpty()) return;
  const auto target = connectTarget(typed, nearby_);
  if (!target) {
    error_->setText(qs(std::string(connectError)));
    error_->show();
    return;
  }
  error_->hide();
  bridge_.act(models_.settings.settings, [typed](AppSettings& s) { s.remember(typed); });
  bridge_.ask(
      models_.viewers, this,
      [target = *target, password = ss(password_->text())](ViewerStore& viewers) {
        return viewers.open(target, password);
      },
      [open = models_.openRemote](std::string id) { open(id); });
  password_->clear();
}

// ---- Host ----

HostTab::HostTab(ModelBridge bridge, SettingsModels models, MessageSound* sound, PermissionSource permissions,
                 QWidget* parent)
    : QWidget(parent),
      bridge_(std::move(bridge)),
      models_(std::move(models)),
      sound_(sound),
      permissionSource_(std::move(permissions)) {
  setObjectName("page");
  auto* column = new QVBoxLayout(this);
  column->setContentsMargins(32, 24, 32, 20);
  column->setSpacing(12);
  QWidget* page = this;
  auto* top = new QHBoxLayout;
  top->addWidget(new Heading("ÇALIŞMA ALANIN", "Bu bilgisayar", page), 1);
  badge_ = new BadgeLabel(page);
  top->addWidget(badge_, 0, Qt::AlignTop);
  column->addLayout(top);

  // Only where something must be granted (never on X11).
  permissionsCard_ = card(page);
  permissionsCard_->setObjectName("permissionsCard");
  {
    auto* rows = new QVBoxLayout(permissionsCard_);
    rows->addWidget(wrappedText(permissionsCard_, "Paylaşım için iki küçük adım.", "cardTitle"));
    // One row per permission: its state and a button that shows the system's dialog.
    const auto row = [&](const QString& title, const QString& detail) {
      auto* line = new QHBoxLayout;
      auto* state = new GlyphLabel(Glyph::alertCircle, Ink::warning, 20, permissionsCard_);
      line->addWidget(state);
      auto* words = new QVBoxLayout;
      words->addWidget(wrappedText(permissionsCard_, title));
      words->addWidget(wrappedText(permissionsCard_, detail, "muted"));
      line->addLayout(words, 1);
      auto* grant = new QPushButton("İzin ver", permissionsCard_);
      grant->setAccessibleName(title + " izni ver");
      connect(grant, &QPushButton::clicked, this, [this] {
        if (permissionSource_.request) permissionSource_.request();
      });
      line->addWidget(grant);
      rows->addLayout(line);
      return PermissionRow{state, grant};
    };
    screenCaptureRow_ = row("Ekran Kaydı", "Ekranını göstermek için");
    inputRow_ = row("Erişilebilirlik", "Fare ve klavye için");
    rows->addWidget(wrappedText(permissionsCard_, "İzinlerden sonra Pellora’i yeniden başlatman gerekebilir.", "muted"));
  }
  permissionsCard_->hide();
  column->addWidget(permissionsCard_);

  auto* identityCard = card(page);
  {
    auto* rows = new QVBoxLayout(identityCard);
    auto* eyebrow = wrappedText(identityCard, "BU BİLGİSAYARIN KİMLİĞİ", "eyebrow");
    rows->addWidget(iconLine(identityCard, Glyph::shield, Ink::accent, eyebrow));
    auto* idRow = new QHBoxLayout;
    identity_ = peerText(identityCard, "identity");
    identity_->setTextInteractionFlags(Qt::TextSelectableByMouse);
    copyID_ = new CopyButton("Kimliği kopyala", identityCard);
    idRow->addWidget(identity_, 1);
    idRow->addWidget(copyID_);
    rows->addLayout(idRow);
    auto* pwRow = new QHBoxLayout;
    pwRow->addWidget(wrappedText(identityCard, "Oturum parolası", "cardTitle"));
    pwRow->addSpacing(8);
    passwordText_ = wrappedText(identityCard, {}, "password");
    passwordText_->setWordWrap(false);
    passwordText_->setTextFormat(Qt::PlainText);
    passwordEdit_ = new QLineEdit(identityCard);
    passwordEdit_->hide();
    const auto tool = [identityCard](const QString& tip, const QIcon& icon) {
      auto* b = new QToolButton(identityCard);
      b->setToolTip(tip);
      b->setAccessibleName(tip);
      b->setIcon(icon);
      b->setIconSize({18, 18});
      b->setAutoRaise(true);
      return b;
    };
    visibility_ = tool("Parolayı göster", glyph(Glyph::eye));
    visibility_->setAccessibleName("Parola görünürlüğü");
    auto* regenerate = tool("Parolayı yenile", glyph(Glyph::refresh));
    edit_ = tool("Parolayı düzenle", glyph(Glyph::pencil));
    copyPassword_ = new CopyButton("Parolayı kopyala", identityCard);
    pwRow->addWidget(passwordText_, 1);
    pwRow->addWidget(passwordEdit_, 1);
    for (QWidget* w : std::initializer_list<QWidget*>{visibility_, regenerate, edit_, copyPassword_}) pwRow->addWidget(w);
    rows->addLayout(pwRow);
    connect(visibility_, &QToolButton::clicked, this, [this] {
      passwordVisible_ = !passwordVisible_;
      render();
    });
    connect(regenerate, &QToolButton::clicked, this, [this] { onHost([](HostService& h) { h.regeneratePassword(); }); });
    const auto finishEditing = [this] {
      if (!editing_) return;
      editing_ = false;
      const std::string password = ss(passwordEdit_->text().trimmed());
      if (!password.empty()) onHost([password](HostService& h) { h.setPassword(password); });
      render();
    };
    connect(edit_, &QToolButton::clicked, this, [this, finishEditing] {
      if (editing_) return finishEditing();
      editing_ = true;
      passwordEdit_->setText(qs(host_.password));
      render();
      passwordEdit_->setFocus();
    });
    connect(passwordEdit_, &QLineEdit::returnPressed, this, finishEditing);
  }
  column->addWidget(identityCard);

  // The session band carries the session tools' buttons; their chat and files come last.
  band_ = new SessionBand(page);
  connect(band_, &SessionBand::disconnectRequested, this, [this] {
    onHost([](HostService& h) {
      if (auto session = h.session()) session->channel()->close(std::string(hostDisconnectReason));
    });
  });
  chatButton_ = button(band_, "Sohbet", "secondary", glyph(Glyph::chat));
  sendButton_ = button(band_, "Dosya gönder", "secondary", glyph(Glyph::fileUp));
  band_->addTool(chatButton_);
  band_->addTool(sendButton_);
  column->addWidget(band_);

  approval_ = new Switch("Her bağlantıyı onayla", page);
  connect(approval_, &QCheckBox::toggled, this, [this](bool on) {
    bridge_.act(models_.settings, [on](AppSettings& s) { s.setRequireApproval(on); });
  });
  column->addWidget(approval_);
  auto* readyCard = card(page);
  {
    auto* rows = new QVBoxLayout(readyCard);
    auto* line = new QHBoxLayout;
    auto* words = new QVBoxLayout;
    words->setSpacing(2);
    readiness_ = wrappedText(readyCard, {}, "cardTitle");
    words->addWidget(readiness_);
    words->addWidget(wrappedText(readyCard, "Kimlik ve parolanı yalnızca güvendiğin kişiyle paylaş.", "muted"));
    line->addLayout(words, 1);
    share_ = button(readyCard, {}, "primary");
    line->addWidget(share_, 0, Qt::AlignVCenter);
    rows->addLayout(line);
    connect(share_, &QPushButton::clicked, this, [this] {
      if (host_.isSharing) onHost([](HostService& h) { h.stop(); });
      else onHost([](HostService& h) { h.start(); });
    });
    relayFailed_ = new QWidget(readyCard);
    auto* relayRow = new QHBoxLayout(relayFailed_);
    relayRow->setContentsMargins(0, 0, 0, 0);
    relayRow->addWidget(wrappedText(relayFailed_, "İnternet erişimi kurulamadı.", "error"), 1);
    auto* retry = button(relayFailed_, "Yeniden dene", "secondary", glyph(Glyph::refresh));
    relayRow->addWidget(retry);
    connect(retry, &QPushButton::clicked, this, [this] { onHost([](HostService& h) { h.restartRelay(); }); });
    rows->addWidget(relayFailed_);
    addressLine_ = wrappedText(readyCard, {}, "muted");
    rows->addWidget(iconLine(readyCard, Glyph::wifi, Ink::muted, addressLine_));
  }
  column->addWidget(readyCard);

  // The session's chat and files: the only part that scrolls, in whatever room the window leaves.
  tools_ = new QScrollArea(page);
  {
    auto* scroll = static_cast<QScrollArea*>(tools_);
    scroll->setObjectName("tools");
    scroll->setWidgetResizable(true);
    scroll->setFrameShape(QFrame::NoFrame);
    scroll->setHorizontalScrollBarPolicy(Qt::ScrollBarAlwaysOff);
    scroll->viewport()->setAutoFillBackground(false);
    auto* inner = new QWidget;
    inner->setObjectName("toolsPage");
    auto* panels = new QHBoxLayout(inner);
    panels->setContentsMargins(0, 0, 0, 0);
    chat_ = new ChatPanel(inner);
    chat_->setMinimumHeight(200);
    transfers_ = new TransferList(inner);
    panels->addWidget(chat_, 1);
    panels->addWidget(transfers_, 1);
    scroll->setWidget(inner);
    connect(chatButton_, &QPushButton::clicked, this, [this] {
      showChat_ = !showChat_;
      if (showChat_) {
        onHost([](HostService& h) { h.markChatRead(); });
        chat_->field()->setFocus();
      }
      render();
    });
    connect(sendButton_, &QPushButton::clicked, this, [this] {
      const auto files = chooseFilesToSend(this);
      if (!files.empty()) onHost([files](HostService& h) { h.sendFiles(files); });
    });
    connect(chat_, &ChatPanel::sendRequested, this, [this](const QString& line) {
      onHost([line = ss(line)](HostService& h) { h.sendChat(line); });
    });
    connect(transfers_, &TransferList::cancelRequested, this, [this](const TransferProgress& transfer) {
      onHost([transfer](HostService& h) {
        auto session = h.session();
        if (!session) return;
        if (transfer.direction == TransferProgress::Direction::sending) {
          if (auto sender = session->sender()) sender->cancel(transfer.id, "Gönderen iptal etti");
        } else if (auto receiver = session->receiver()) {
          receiver->cancel(transfer.id);
        }
      });
    });
  }
  column->addWidget(tools_, 1);
  filler_ = new QWidget(page);
  column->addWidget(filler_, 1);

  tick_.setInterval(hostRefresh);
  connect(&tick_, &QTimer::timeout, this, &HostTab::refresh);
  bridge_.watch(models_.host, this, [this](const HostService::State& state) {
    const bool sessionChanged = state.active != host_.active;
    const std::string newest = newestFromPeer(state.chat);
    if (sound_ && !sessionChanged && !newest.empty() && newest != newestFromPeer(host_.chat)) sound_->play();
    host_ = state;
    if (sessionChanged) refresh();
    render();
  });
  bridge_.watch(models_.settings, this, [this](const AppSettings::State& state) {
    settings_ = state;
    render();
  });
  refresh();
}

void HostTab::showEvent(QShowEvent* event) {
  QWidget::showEvent(event);
  refresh();
  tick_.start();
}

void HostTab::hideEvent(QHideEvent* event) {
  tick_.stop();
  QWidget::hideEvent(event);
}

void HostTab::refresh() {
  permissions_ = permissionSource_.current ? permissionSource_.current() : Permissions{};
  bridge_.ask(models_.host, this, [](HostService& h) { return h.addresses(); },
              [this](std::vector<std::string> addresses) {
                addresses_ = std::move(addresses);
                render();
              });
  render();
}

void HostTab::render() {
  badge_->show(hostBadge(host_, permissions_.all()));
  permissionsCard_->setVisible(!permissions_.all());
  for (const auto& [row, granted] : {std::pair{screenCaptureRow_, permissions_.screenCapture},
                                     std::pair{inputRow_, permissions_.input}}) {
    row.state->set(granted ? Glyph::checkCircle : Glyph::alertCircle, granted ? Ink::success : Ink::warning);
    row.state->setAccessibleName(granted ? "checkmark.circle" : "exclamationmark.circle");
    row.grant->setVisible(!granted);
  }
  const auto id = identityText(host_.relayState, settings_.relayEnabled);
  identity_->setText(qs(id.text));
  copyID_->setValue(id.rawID ? qs(*id.rawID) : QString());
  copyID_->setEnabled(id.rawID.has_value());
  passwordText_->setText(passwordVisible_ ? qs(host_.password) : "•••• · ••••");
  passwordText_->setAccessibleName(passwordVisible_ ? qs(host_.password) : "Parola gizli");
  passwordText_->setVisible(!editing_);
  passwordEdit_->setVisible(editing_);
  visibility_->setToolTip(passwordVisible_ ? "Parolayı gizle" : "Parolayı göster");
  visibility_->setIcon(glyph(passwordVisible_ ? Glyph::eyeOff : Glyph::eye));
  edit_->setIcon(glyph(editing_ ? Glyph::check : Glyph::pencil));
  copyPassword_->setValue(qs(host_.password));

  const bool active = host_.active.has_value();
  band_->setVisible(active);
  tools_->setVisible(active && showChat_);
  filler_->setVisible(!tools_->isVisibleTo(this));
  if (host_.active) {
    const QDateTime since = QDateTime::fromSecsSinceEpoch(
        std::chrono::duration_cast<std::chrono::seconds>(host_.active->since.time_since_epoch()).count());
    band_->show(qs(host_.active->peerName),
                since.time().toString("HH:mm") + "’den beri bu bilgisayarı kontrol ediyor");
    chatButton_->setText(qs(hostChatTitle(host_.unreadChat)));
    chatButton_->setIcon(glyph(host_.unreadChat > 0 ? Glyph::chatUnread : Glyph::chat));
    chat_->show(host_.chat);
    transfers_->show(host_.transfers);
    if (showChat_ && host_.unreadChat > 0) onHost([](HostService& h) { h.markChatRead(); });
  }
  const QSignalBlocker quiet(approval_);
  approval_->setChecked(settings_.requireApproval);
  readiness_->setText(host_.isSharing ? "Bir bağlantıya hazır." : "Kontrol sende.");
  share_->setText(host_.isSharing ? "Paylaşımı durdur" : "Paylaşımı aç");
  share_->setProperty("kind", host_.isSharing ? "destructive" : "primary");
  share_->style()->unpolish(share_);
  share_->style()->polish(share_);
  relayFailed_->setVisible(std::holds_alternative<HostService::RelayState::Failed>(host_.relayState.value));
  addressLine_->setText(qs(addressesLine(addresses_)));
}

// ---- Window ----

MainWindow::MainWindow(ModelBridge bridge, MainModels models, QWidget* parent) : QWidget(parent) {
  setWindowTitle("Pellora");
  setWindowIcon(appIcon());
  setMinimumSize(900, 640);
  resize(900, 640);
  auto* row = new QHBoxLayout(this);
  row->setContentsMargins(0, 0, 0, 0);
  row->setSpacing(0);

  auto* side = new QFrame(this);
  side->setObjectName("sidebar");
  side->setFixedWidth(220);
  auto* nav = new QVBoxLayout(side);
  nav->setContentsMargins(18, 24, 18, 18);
  nav->setSpacing(4);
  auto* brand = new QHBoxLayout;
  auto* mark = new QLabel(side);
  mark->setPixmap(appIcon().pixmap(36, 36));
  auto* names = new QVBoxLayout;
  names->addWidget(wrappedText(side, "Pellora", "brand"));
  names->addWidget(wrappedText(side, "Mesafe, aradan çekilsin.", "muted"));
  brand->addWidget(mark);
  brand->addLayout(names, 1);
  nav->addLayout(brand);
  nav->addSpacing(24);
  navigation_ = new QButtonGroup(this);
  const struct {
    const char* title;
    Glyph icon;
  } items[] = {{"Bağlan", Glyph::connect}, {"Bu bilgisayar", Glyph::computer}, {"Ayarlar", Glyph::sliders}};
  int index = 0;
  for (const auto& item : items) {
    auto* entry = new QPushButton(glyph(item.icon, Ink::text, Ink::onAccent), item.title, side);
    entry->setObjectName("navItem");
    entry->setIconSize({18, 18});
    entry->setCheckable(true);
    entry->setCursor(Qt::PointingHandCursor);
    navigation_->addButton(entry, index++);
    nav->addWidget(entry);
  }
  nav->addStretch();
  nav->addWidget(iconLine(side, Glyph::shield, Ink::muted, wrappedText(side, "Uçtan uca şifreli", "muted")));
  row->addWidget(side);

  pages_ = new QStackedWidget(this);
  connect_ = new ConnectTab(bridge, models, pages_);
  pages_->addWidget(connect_);
  host_ = new HostTab(bridge, models.settings, models.sound, models.permissions, pages_);
  pages_->addWidget(host_);
  pages_->addWidget(new SettingsView(bridge, models.settings, pages_));
  row->addWidget(pages_, 1);
  connect(navigation_, &QButtonGroup::idClicked, this, &MainWindow::selectTab);
  selectTab(0);
}

void MainWindow::selectTab(int tab) {
  navigation_->button(tab)->setChecked(true);
  pages_->setCurrentIndex(tab);
  if (tab == 0) connect_->startDiscovery();
}

}  // namespace pellora::ui
