// The shared widgets on their own: transfer rows under progress reports, the tray menu under the host's
// changes, and peer text shown as text.

#include <gtest/gtest.h>

#include <QApplication>
#include <QLabel>
#include <QPointer>
#include <QPushButton>
#include <QTest>

#include "ui/approval_panel.h"
#include "ui/components.h"
#include "ui/tray_menu.h"

namespace pellora::ui {
namespace {

QPushButton* buttonNamed(QWidget* root, const QString& text) {
  for (auto* button : root->findChildren<QPushButton*>())
    if (button->text() == text && button->isVisibleTo(root)) return button;
  return nullptr;
}

TransferProgress receiving(std::uint32_t id, std::string name, std::uint64_t done, TransferProgress::State state) {
  TransferProgress t;
  t.id = id;
  t.direction = TransferProgress::Direction::receiving;
  t.name = std::move(name);
  t.done = done;
  t.total = 100;
  t.state = std::move(state);
  return t;
}

TEST(TransferListTest, ARowOutlivesProgressReportsAndItsCancelTakesTheClick) {
  TransferList list;
  list.show({receiving(7, "rapor.pdf", 10, TransferProgress::Running{})});
  list.QWidget::show();
  QPointer<QPushButton> cancel = buttonNamed(&list, "İptal");
  ASSERT_TRUE(cancel);
  std::vector<TransferProgress> asked;
  QObject::connect(&list, &TransferList::cancelRequested, [&](const TransferProgress& t) { asked.push_back(t); });

  // Reports come every 100 ms, and one may land between the press and the release of a click.
  QTest::mousePress(cancel, Qt::LeftButton);
  TransferProgress sent;
  sent.id = 7;  // a sending transfer of the same id is another transfer, newest last
  sent.name = "notlar.txt";
  sent.total = 10;
  sent.state = TransferProgress::Running{};
  list.show({receiving(7, "rapor.pdf", 60, TransferProgress::Running{}), sent});
  ASSERT_TRUE(cancel) << "the row was made again under the pointer";
  QTest::mouseRelease(cancel, Qt::LeftButton);
  ASSERT_EQ(asked.size(), 1u);
  EXPECT_EQ(asked[0], receiving(7, "rapor.pdf", 60, TransferProgress::Running{}));  // as last reported

  // Finished: the same row says so; a transfer no longer listed loses its row.
  list.show({receiving(7, "rapor.pdf", 100, TransferProgress::Failed{"Alıcı iptal etti"}), sent});
  EXPECT_TRUE(cancel && cancel->isHidden());
  list.show({sent});
  EXPECT_FALSE(cancel);
  for (auto* label : list.findChildren<QLabel*>()) EXPECT_NE(label->text(), "rapor.pdf");
}

HostService::State sharingWith(const std::string& peer) {
  HostService::State state;
  state.isSharing = true;
  state.active = HostService::ActiveSession{"id", peer, "127.0.0.1:4000", {}};
  return state;
}

TEST(TrayMenuTest, ItemsStayWhileASessionChangesAndActOnTheNewestState) {
  std::vector<bool> toggled;
  int disconnects = 0;
  TrayMenu menu({.disconnect = [&] { ++disconnects; },
                 .toggleSharing = [&](bool sharing) { toggled.push_back(sharing); },
                 .showMain = {},
                 .settings = {},
                 .quit = {}});
  HostService::State state = sharingWith("Ali & Veli");
  menu.render(state);
  const QList<QAction*> items = menu.actions();
  std::vector<QPointer<QAction>> kept(items.begin(), items.end());

  // A transfer's progress, chat and unread counts: the menu (open under the pointer, maybe) stays.
  for (std::uint64_t done : {10u, 50u, 90u}) {
    TransferProgress t;
    t.total = 100;
    t.done = done;
    t.state = TransferProgress::Running{};
    state.transfers = {t};
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
    if (item->text() == "Paylaşımı başlat") item->trigger();
  EXPECT_EQ(toggled, std::vector<bool>{false});
}

// Lines that fall out of the history's front lose their rows; the others keep theirs, in order.
TEST(ChatPanelTest, FollowsAHistoryWhoseOldestLinesFallOut) {
  ChatPanel chat;
  ChatHistory lines;
  const auto shown = [&] {
    std::vector<QString> texts;
    for (auto* label : chat.findChildren<QLabel*>())
      if (label->text().startsWith("satır ")) texts.push_back(label->text());
    return texts;
  };
  for (std::size_t i = 0; i < ChatHistory::capacity + 3; ++i) {
    lines.push_back(ChatLine{std::to_string(i), i % 2 == 0, "satır " + std::to_string(i), {}});
    if (i == 1 || i + 1 >= ChatHistory::capacity) chat.show(lines);
  }
  const auto texts = shown();
  ASSERT_EQ(texts.size(), ChatHistory::capacity);
  EXPECT_EQ(texts.front(), "satır 3");
  EXPECT_EQ(texts.back(), qs("satır " + std::to_string(ChatHistory::capacity + 2)));
  chat.show(ChatHistory{ChatLine{"yeni", false, "satır yeni", {}}});  // a new session starts afresh
  EXPECT_EQ(shown(), std::vector<QString>{"satır yeni"});
}

// Every label that shows what a peer chose holds it as plain text.
TEST(PeerTextTest, NamesMessagesAndReasonsAreNeverMarkup) {
  const std::string markup = "<img src=x><b>Ali</b>";
  const auto plainly = [&](QWidget* root) {
    for (auto* label : root->findChildren<QLabel*>())
      if (label->text().contains(qs(markup))) return label->textFormat() == Qt::PlainText;
    return false;
  };
  ChatPanel chat;
  chat.show({ChatLine{"1", false, markup, {}}});
  EXPECT_TRUE(plainly(&chat));
  TransferList transfers;
  transfers.show({receiving(1, markup, 0, TransferProgress::Running{})});
  EXPECT_TRUE(plainly(&transfers));
  transfers.show({receiving(1, "a.txt", 0, TransferProgress::Failed{markup})});
  EXPECT_TRUE(plainly(&transfers));
  DeviceCard device(qs(markup), "Yerel ağda", Glyph::computer);
  EXPECT_TRUE(plainly(&device));
  SessionBand band;
  band.show(qs(markup), "12:00’den beri bu bilgisayarı kontrol ediyor");
  EXPECT_TRUE(plainly(&band));
  auto* panel = new ApprovalPanel(qs(markup), "Linux", "10.0.0.2");
  EXPECT_TRUE(plainly(panel));
  panel->decide(false);
}

}  // namespace
}  // namespace pellora::ui
