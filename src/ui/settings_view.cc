#include "ui/settings_view.h"

#include <QCheckBox>
#include <QComboBox>
#include <QCoreApplication>
#include <QHBoxLayout>
#include <QLabel>
#include <QLineEdit>
#include <QPushButton>
#include <QSignalBlocker>
#include <QVBoxLayout>

#include "ui/components.h"
#include "ui/presentation.h"

namespace pellora::ui {

SettingsView::SettingsView(ModelBridge bridge, SettingsModels models, QWidget* parent)
    : QWidget(parent), bridge_(std::move(bridge)), models_(std::move(models)) {
  // Everything fits the settings window (640 × 540) as it is; the page scrolls only in a smaller one.
  auto* column = scrollingPage(this);
  QWidget* page = column->parentWidget();
  column->setContentsMargins(24, 18, 24, 18);
  column->setSpacing(10);

  column->addWidget(new Heading("TERCİHLER", "Kendi ritminde.", page));
  auto* preferences = new QFrame(page);
  preferences->setObjectName("card");
  auto* prefs = new QVBoxLayout(preferences);
  prefs->setSpacing(4);
  auto* qualityRow = new QHBoxLayout;
  qualityRow->addWidget(wrappedText(preferences, "Görüntü kalitesi", "cardTitle"));
  quality_ = new DropDown(preferences);
  for (const Quality q : allQualities) quality_->addItem(qs(std::string(label(q))), static_cast<int>(q));
  qualityRow->addWidget(quality_, 1);
  prefs->addLayout(qualityRow);
  clipboard_ = new Switch("Pano (kopyala/yapıştır) eşitle", preferences);
  prefs->addWidget(clipboard_);
  auto* clipboardNote = wrappedText(preferences, "Kopyaladığın metni karşı bilgisayara taşı.", "muted");
  clipboardNote->setIndent(44);  // under the switch's text
  prefs->addWidget(clipboardNote);
  swap_ = new Switch("macOS bağlantılarında Control ↔ Command", preferences);
  prefs->addWidget(swap_);
  relay_ = new Switch("İnternet üzerinden erişim", preferences);
  prefs->addWidget(relay_);
  relayBox_ = new QWidget(preferences);
  auto* relayColumn = new QVBoxLayout(relayBox_);
  relayColumn->setContentsMargins(0, 0, 0, 0);
  relayColumn->setSpacing(4);
  auto* relayRow = new QHBoxLayout;
  relayRow->addWidget(wrappedText(relayBox_, "Relay adresi", "cardTitle"));
  relayURL_ = new QLineEdit(relayBox_);
  relayRow->addWidget(relayURL_, 1);
  relayColumn->addLayout(relayRow);
  relayColumn->addWidget(wrappedText(relayBox_,
      "Relay adresini değiştirdikten sonra Enter’a bas. Kalite ve pano tercihleri yeni oturumlarda uygulanır.", "muted"));
  prefs->addWidget(relayBox_);
  column->addWidget(preferences);

  auto* unattended = new QFrame(page);
  unattended->setObjectName("card");
  auto* un = new QVBoxLayout(unattended);
  un->setSpacing(4);
  auto* heading = new QLabel("GÖZETİMSİZ ERİŞİM", unattended);
  heading->setObjectName("eyebrow");
  un->addWidget(heading);
  un->addWidget(wrappedText(unattended,
      "Başında kimse yokken bu bilgisayara bağlanabilmek için kalıcı bir parola belirle. Parola yalnız bu "
      "bilgisayarın anahtarlığında durur.", "muted"));
  permanentOn_ = new QWidget(unattended);
  {
    auto* row = new QHBoxLayout(permanentOn_);
    row->setContentsMargins(0, 0, 0, 0);
    auto* key = new GlyphLabel(Glyph::key, Ink::accent, 18, permanentOn_);
    auto* remove = new QPushButton("Kaldır", permanentOn_);
    remove->setProperty("kind", "destructive");
    row->addWidget(key);
    row->addWidget(new QLabel("Kalıcı parola etkin", permanentOn_), 1);
    row->addWidget(remove);
    connect(remove, &QPushButton::clicked, this, [this] {
      showMessage(std::nullopt);
      bridge_.spawn(models_.settings, [](AppSettings& settings) -> boost::asio::awaitable<void> {
        co_await settings.setPermanentPassword(std::nullopt);
        settings.setSkipApprovalForPermanent(false);
      });
    });
  }
  un->addWidget(permanentOn_);
  permanentOff_ = new QWidget(unattended);
  {
    auto* fields = new QVBoxLayout(permanentOff_);
    fields->setContentsMargins(0, 0, 0, 0);
    first_ = new QLineEdit(permanentOff_);
    first_->setEchoMode(QLineEdit::Password);
    first_->setPlaceholderText("Kalıcı parola (en az 8 karakter)");
    second_ = new QLineEdit(permanentOff_);
    second_->setEchoMode(QLineEdit::Password);
    second_->setPlaceholderText("Tekrar");
    save_ = new QPushButton("Kaydet", permanentOff_);
    save_->setProperty("kind", "primary");
    mismatch_ = wrappedText(permanentOff_, "Parolalar eşleşmiyor.", "error");
    auto* row = new QHBoxLayout;
    row->addWidget(first_, 1);
    row->addWidget(second_, 1);
    row->addWidget(save_);
    fields->addLayout(row);
    fields->addWidget(mismatch_);
    connect(first_, &QLineEdit::textChanged, this, &SettingsView::updatePasswordRules);
    connect(second_, &QLineEdit::textChanged, this, &SettingsView::updatePasswordRules);
    connect(save_, &QPushButton::clicked, this, [this] {
      if (!canSavePermanentPassword(ss(first_->text()), ss(second_->text()))) return;
      bridge_.spawn(models_.settings, [password = ss(first_->text())](AppSettings& settings) {
        return settings.setPermanentPassword(password);
      });
      first_->clear();
      second_->clear();
      showMessage(std::nullopt);
    });
  }
  un->addWidget(permanentOff_);
  skipApproval_ = new Switch("Kalıcı parolayla gelen bağlantıda onay sorma", unattended);
  launch_ = new Switch("Oturum açılınca Pellora'i başlat", unattended);
  acceptFiles_ = new Switch("Gelen dosyaları kabul et (İndirilenler/Pellora)", unattended);
  message_ = wrappedText(unattended, {}, "error");
  for (QWidget* w : std::initializer_list<QWidget*>{skipApproval_, launch_, acceptFiles_, message_}) un->addWidget(w);
  column->addWidget(unattended);
  column->addStretch();
  updatePasswordRules();
  showMessage(std::nullopt);

  const auto settings = models_.settings;
  connect(quality_, &QComboBox::activated, this, [this, settings](int index) {
    const auto q = static_cast<Quality>(quality_->itemData(index).toInt());
    bridge_.act(settings, [q](AppSettings& s) { s.setQuality(q); });
  });
  connect(clipboard_, &QCheckBox::toggled, this, [this, settings](bool on) {
    bridge_.act(settings, [on](AppSettings& s) { s.setSyncClipboard(on); });
  });
  connect(swap_, &QCheckBox::toggled, this, [this, settings](bool on) {
    bridge_.act(settings, [on](AppSettings& s) { s.setSwapCommandControl(on); });
  });
  connect(relay_, &QCheckBox::toggled, this, [this](bool on) {
    bridge_.post([models = models_, on] {
      if (auto s = models.settings.lock()) s->setRelayEnabled(on);
      if (auto host = models.host.lock()) host->restartRelay();
    });
  });
  connect(relayURL_, &QLineEdit::returnPressed, this, [this] {
    bridge_.post([models = models_, url = ss(relayURL_->text().trimmed())] {
      if (auto s = models.settings.lock()) s->setRelayURL(url);
      if (auto host = models.host.lock()) host->restartRelay();
    });
  });
  connect(skipApproval_, &QCheckBox::toggled, this, [this, settings](bool on) {
    bridge_.act(settings, [on](AppSettings& s) { s.setSkipApprovalForPermanent(on); });
  });
  connect(acceptFiles_, &QCheckBox::toggled, this, [this, settings](bool on) {
    bridge_.act(settings, [on](AppSettings& s) { s.setAcceptFiles(on); });
  });
  connect(launch_, &QCheckBox::toggled, this, [this, settings](bool on) {
    bridge_.askLater(
        settings, this,
        [on, executable = ss(QCoreApplication::applicationFilePath())](AppSettings& s) {
          return s.setLaunchAtLogin(on, executable);
        },
        [this](std::optional<std::string> error) { showMessage(error); });
  });

  bridge_.watch(settings, this, [this](const AppSettings::State& state) { render(state); });
}

void SettingsView::render(const AppSettings::State& state) {
  const QSignalBlocker b1(quality_), b2(clipboard_), b3(swap_), b4(relay_), b5(skipApproval_), b6(launch_),
      b7(acceptFiles_);
  quality_->setCurrentIndex(quality_->findData(static_cast<int>(state.quality)));
  clipboard_->setChecked(state.syncClipboard);
  swap_->setChecked(state.swapCommandControl);
  relay_->setChecked(state.relayEnabled);
  relayBox_->setVisible(state.relayEnabled);
  if (!relayURL_->hasFocus()) relayURL_->setText(qs(state.relayURL));
  permanentOn_->setVisible(state.hasPermanentPassword);
  permanentOff_->setVisible(!state.hasPermanentPassword);
  skipApproval_->setChecked(state.skipApprovalForPermanent);
  launch_->setChecked(state.launchAtLogin);
  acceptFiles_->setChecked(state.acceptFiles);
}

void SettingsView::updatePasswordRules() {
  const std::string first = ss(first_->text()), second = ss(second_->text());
  save_->setEnabled(canSavePermanentPassword(first, second));
  mismatch_->setVisible(showsPasswordMismatch(first, second));
}

void SettingsView::showMessage(const std::optional<std::string>& text) {
  message_->setText(text ? qs(*text) : QString());
  message_->setVisible(text.has_value());
}

}  // namespace pellora::ui
