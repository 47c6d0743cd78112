#include "ui/approval_panel.h"

#include <QApplication>
#include <QCloseEvent>
#include <QHBoxLayout>
#include <QLabel>
#include <QPushButton>
#include <QVBoxLayout>
#include <boost/asio/redirect_error.hpp>
#include <boost/asio/steady_timer.hpp>
#include <boost/asio/this_coro.hpp>
#include <boost/asio/use_awaitable.hpp>
#include <optional>

#include "ui/components.h"

namespace pellora::ui {

namespace net = boost::asio;

ApprovalPanel::ApprovalPanel(const QString& name, const QString& system, const QString& address,
                             std::chrono::milliseconds timeout, QWidget* parent)
    : QDialog(parent, Qt::Dialog | Qt::WindowStaysOnTopHint | Qt::CustomizeWindowHint | Qt::WindowTitleHint |
                          Qt::WindowCloseButtonHint) {
  setWindowTitle("Pellora · Bağlantı isteği");
  setAttribute(Qt::WA_DeleteOnClose, false);
  auto* column = new QVBoxLayout(this);
  column->setContentsMargins(28, 24, 28, 24);
  column->setSpacing(10);
  auto* caption = new QWidget(this);
  {
    auto* row = new QHBoxLayout(caption);
    row->setContentsMargins(0, 0, 0, 0);
    row->setSpacing(8);
    row->addWidget(new GlyphLabel(Glyph::connect, Ink::accent, 18, caption));
    auto* text = new QLabel("Gelen bağlantı", caption);
    text->setObjectName("eyebrow");
    row->addWidget(text, 1);
  }
  // The caller chose its name: it is shown as the characters it holds.
  auto* who = peerText(this, "title");
  who->setText(name + " bağlanmak istiyor.");
  who->setWordWrap(true);
  auto* where = peerText(this, "muted");
  where->setText(system + " · " + address);
  auto* question = new QLabel("İzin verirsen neler yapabilir?", this);
  question->setObjectName("cardTitle");
  auto* answer = new QLabel("Ekranını görebilir; fare ve klavyeni kullanabilir. Bağlantıyı istediğin an kesebilirsin.", this);
  answer->setWordWrap(true);
  auto* note = new QLabel("45 saniye içinde yanıtlanmazsa otomatik reddedilir.", this);
  note->setObjectName("muted");
  for (QWidget* w : std::initializer_list<QWidget*>{caption, who, where, question, answer, note}) column->addWidget(w);
  auto* buttons = new QHBoxLayout;
  // Only a deliberate click (or Tab to a button and Space) decides: neither button is the default, and the
  // panel opens with the keyboard on itself, so that Return or Space typed into another window at the
  // moment it appears grants nothing.
  auto* refuse = new QPushButton("Reddet", this);
  refuse->setProperty("kind", "secondary");
  auto* allow = new QPushButton("İzin ver", this);
  allow->setProperty("kind", "primary");
  for (QPushButton* button : {refuse, allow}) {
    button->setAutoDefault(false);
    button->setDefault(false);
  }
  setFocusPolicy(Qt::StrongFocus);
  setFocus();
  buttons->addStretch();
  buttons->addWidget(refuse);
  buttons->addWidget(allow);
  column->addLayout(buttons);
  connect(refuse, &QPushButton::clicked, this, [this] { decide(false); });
  connect(allow, &QPushButton::clicked, this, [this] { decide(true); });
  // A panel of one size: no resizing, and nothing for a window manager to maximise.
  setFixedWidth(440);
  column->setSizeConstraint(QLayout::SetFixedSize);

  timer_.setSingleShot(true);
  timer_.setInterval(timeout);
  connect(&timer_, &QTimer::timeout, this, [this] { decide(false); });
  timer_.start();
}

void ApprovalPanel::decide(bool allow) {
  if (resolved_) return;
  resolved_ = true;
  timer_.stop();
  hide();
  emit decided(allow);
  deleteLater();
}

void ApprovalPanel::closeEvent(QCloseEvent* event) {
  // The panel goes away through decide(), which hides it.
  event->ignore();
  decide(false);
}

void ApprovalPanel::reject() { decide(false); }

net::awaitable<bool> QtApprovalPrompt::run(std::string name, std::string system, std::string address) {
  // The admission waits on a timer that the answer cancels; the panel answers from the GUI thread by
  // posting to the timer's executor, where `answer` is read and written.
  struct Pending {
    explicit Pending(const net::any_io_executor& executor) : wake(executor) {}
    net::steady_timer wake;
    std::optional<bool> answer;
  };
  const auto executor = co_await net::this_coro::executor;
  auto pending = std::make_shared<Pending>(executor);
  pending->wake.expires_at(net::steady_timer::time_point::max());
  const auto open = [pending, name = qs(name), system = qs(system), address = qs(address)] {
    auto* panel = new ApprovalPanel(name, system, address);
    QObject::connect(panel, &ApprovalPanel::decided, [pending](bool allow) {
      net::post(pending->wake.get_executor(), [pending, allow] {
        pending->answer = allow;
        pending->wake.cancel();
      });
    });
    panel->show();
    panel->raise();
    panel->activateWindow();
  };
  QMetaObject::invokeMethod(gui_, open, Qt::QueuedConnection);
  boost::system::error_code ignored;
  auto wait = net::redirect_error(net::use_awaitable, ignored);
  co_await pending->wake.async_wait(wait);
  co_return pending->answer.value_or(false);
}

}  // namespace pellora::ui
