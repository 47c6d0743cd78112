// The shared widgets on their own: transfer rows under progress reports, the tray menu under the host's
// changes, the approval panel's single answer, and peer text shown as text.

#include <gtest/gtest.h>

#include <QApplication>
#include <QLabel>
#include <QPointer>
#include <QPushButton>
#include <QSignalSpy>
#include <QTest>
#include <boost/asio/co_spawn.hpp>
#include <boost/asio/use_future.hpp>

#include "base/network_thread.h"
#include "ui/approval_panel.h"
#include "ui/components.h"
#include "ui/tray_menu.h"

namespace pellora::ui {
namespace {

using namespace std::chrono_literals;

QPushButton* buttonNamed(QWidget* root, const QString& text) {
  for (auto* button : root->findChildren<QPushButton*>())
    if (button->text() == text && button->isVisibleTo(root)) return button;
  return nullptr;
}

TransferProgress receiving(std::uint32_t id, std::string name, std::uint64_t done, TransferProgress::State state) {
  return {id, TransferProgress::Direction::receiving, std::move(name), done, 100, std::move(state)};
}

TEST(TransferListTest, ARowOutlivesProgressReportsAndItsCancelTakesTheClick) {
  TransferList list;
  list.show({receiving(7, "rapor.pdf", 10, TransferProgress::Running{})});
  list.QWidget::show();
  QPointer<QPushButton> cancel = buttonNamed(&list, "İptal");
  ASSERT_TRUE(cancel);
  std::vector<TransferProgress> asked;
  QObject::connect(&list, &TransferList::cancelRequested, [&](const TransferProgress& t) { asked.push_back(t); });

  // Reports come every 100 ms, and one may land between the press and the release of a click. A sending
  // transfer of the same id is another transfer, listed after it.
  QTest::mousePress(cancel, Qt::LeftButton);
  const TransferProgress sent{7, TransferProgress::Direction::sending, "notlar.txt", 0, 10, TransferProgress::Running{}};
  list.show({receiving(7, "rapor.pdf", 60, TransferProgress::Running{}), sent});
  ASSERT_TRUE(cancel) << "the row was made again under the pointer";
  QTest::mouseRelease(cancel, Qt::LeftButton);
  EXPECT_EQ(asked, std::vector{receiving(7, "rapor.pdf", 60, TransferProgress::Running{})});  // as last reported

  // Finished: the same row says so; a transfer no longer listed loses its row.
  list.show({receiving(7, "rapor.pdf", 100, TransferProgress::Failed{"Alıcı iptal etti"}), sent});
  EXPECT_TRUE(cancel && cancel->isHidden());
  list.show({sent});
  EXPECT_FALSE(cancel);
}

TEST(TrayMenuTest, ItemsStayWhileASessionChangesAndActOnTheNewestState) {
  std::vector<bool> toggled;
  int disconnects = 0;
  TrayMenu menu({.disconnect = [&] { ++disconnects; },
                 .toggleSharing = [&](bool sharing) { toggled.push_back(sharing); },
                 .showMain = {},
                 .settings = {},
                 .quit = {}});
  HostService::State state;
  state.isSharing = true;
  state.active = HostService::ActiveSession{"id", "Ali & Veli", "127.0.0.1:4000", {}};
  menu.render(state);
  const QList<QAction*> items = menu.actions();
  std::vector<QPointer<QAction>> kept(items.begin(), items.end());

  // A transfer's progress, chat and unread counts: the menu (open under the pointer, maybe) stays.
  for (std::uint64_t done : {10u, 90u}) {
    state.transfers = {receiving(1, "a", done, TransferProgress::Running{})};
    state.chat.push_back({std::to_string(done), false, "merhaba", {}});
    state.unreadChat += 1;
    menu.render(state);
  }
  EXPECT_EQ(menu.actions(), items);
  for (const auto& action : kept) ASSERT_TRUE(action);
  EXPECT_NE(items[1]->text().indexOf("Ali && Veli"), -1) << "a name's ampersand is no mnemonic";
  for (QAction* item : items)
    if (item->text() == "Bağlantıyı kes") item->trigger();
  EXPECT_EQ(disconnects, 1);

  // What the items say changes: they are made anew, and the toggle acts on the state they show.
  state.active.reset();
  state.isSharing = false;
  menu.render(state);
  EXPECT_FALSE(kept[1]);
  for (QAction* item : menu.actions())
    EXPECT_EQ(item->text().indexOf("Ali"), -1) << "the peer is named only during a session";
  for (QAction* item : menu.actions())
    if (item->text() == "Paylaşımı başlat") item->trigger();
  EXPECT_EQ(toggled, std::vector<bool>{false});
}

// Every label that shows what a peer chose holds it as plain text.
TEST(PeerTextTest, NamesMessagesAndReasonsAreNeverMarkup) {
  const std::string markup = "<img src=x><b>Ali</b>";
  ChatPanel chat;
  chat.show({ChatLine{"1", false, markup, {}}});
  TransferList named, failed;
  named.show({receiving(1, markup, 0, TransferProgress::Running{})});
  failed.show({receiving(1, "a.txt", 0, TransferProgress::Failed{markup})});
  DeviceCard device(qs(markup), "Yerel ağda", Glyph::computer);
  SessionBand band;
  band.show(qs(markup), "12:00’den beri bu bilgisayarı kontrol ediyor");
  auto* panel = new ApprovalPanel(qs(markup), "Linux", "10.0.0.2");
  for (QWidget* root : std::initializer_list<QWidget*>{&chat, &named, &failed, &device, &band, panel}) {
    bool plain = false;
    for (auto* label : root->findChildren<QLabel*>())
      if (label->text().contains(qs(markup))) plain = label->textFormat() == Qt::PlainText;
    EXPECT_TRUE(plain) << root->metaObject()->className();
  }
  panel->decide(false);
}

// A click, the timer and closing each answer; only the first counts, and the panel goes.
TEST(ApprovalPanelTest, OnlyTheFirstOfClickTimerAndCloseCounts) {
  const struct {
    const char* what;
    std::chrono::milliseconds timeout;
    std::function<void(ApprovalPanel&)> act;
    bool allowed;
  } cases[] = {
      {"a click, then the timer", 30ms,
       [](ApprovalPanel& p) {
         p.decide(true);
         p.decide(false);
       },
       true},
      {"nobody answers", 30ms, [](ApprovalPanel&) {}, false},
      {"closing", 1h, [](ApprovalPanel& p) { p.close(); }, false},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.what);
    QPointer<ApprovalPanel> panel = new ApprovalPanel("vm", "Linux", "10.0.0.2", c.timeout);
    QSignalSpy spy(panel.data(), &ApprovalPanel::decided);
    panel->show();
    c.act(*panel);
    ASSERT_TRUE(QTest::qWaitFor([&] { return panel.isNull(); }));
    ASSERT_EQ(spy.count(), 1);
    EXPECT_EQ(spy.at(0).at(0).toBool(), c.allowed);
  }
}

TEST(ApprovalPanelTest, KeysTypedAtItAllowNothingAndEscapeRefuses) {
  QPointer<ApprovalPanel> panel = new ApprovalPanel("vm", "Linux", "10.0.0.2");
  QSignalSpy spy(panel.data(), &ApprovalPanel::decided);
  panel->show();
  panel->activateWindow();
  ASSERT_TRUE(QTest::qWaitForWindowActive(panel));
  for (auto* button : panel->findChildren<QPushButton*>()) {
    EXPECT_FALSE(button->isDefault() || button->hasFocus()) << button->text().toStdString();
  }
  // Someone typing in another window as the panel appears.
  const auto type = [&](Qt::Key key) {
    QTest::keyClick(QApplication::focusWidget() ? QApplication::focusWidget() : panel.data(), key);
  };
  for (const Qt::Key key : {Qt::Key_Return, Qt::Key_Enter, Qt::Key_Space}) type(key);
  EXPECT_EQ(spy.count(), 0);
  type(Qt::Key_Escape);
  ASSERT_EQ(spy.count(), 1);
  EXPECT_FALSE(spy.at(0).at(0).toBool());
}

TEST(ApprovalPanelTest, HostWaitsForTheAnswerWithoutHoldingTheMainStrand) {
  NetworkThread network;
  QtApprovalPrompt prompt(qApp);
  auto answer = boost::asio::co_spawn(network.mainStrand(), prompt.run("vm", "Linux", "10.0.0.2"), boost::asio::use_future);
  ApprovalPanel* panel = nullptr;
  ASSERT_TRUE(QTest::qWaitFor([&] {
    for (QWidget* widget : QApplication::topLevelWidgets())
      if (auto* p = qobject_cast<ApprovalPanel*>(widget); p && p->isVisible() && !p->resolved()) panel = p;
    return panel != nullptr;
  }));
  // Other work still runs on the main strand while the panel is open.
  EXPECT_EQ(boost::asio::post(network.mainStrand(), boost::asio::use_future([] { return 7; })).get(), 7);
  panel->decide(true);
  ASSERT_TRUE(QTest::qWaitFor([&] { return answer.wait_for(0s) == std::future_status::ready; }));
  EXPECT_TRUE(answer.get());
}

}  // namespace
}  // namespace pellora::ui
