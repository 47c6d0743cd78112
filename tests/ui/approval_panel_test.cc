#include "ui/approval_panel.h"

#include <gtest/gtest.h>

#include <QApplication>
#include <QPointer>
#include <QPushButton>
#include <QSignalSpy>
#include <QTest>
#include <boost/asio/co_spawn.hpp>
#include <boost/asio/use_future.hpp>

#include "base/network_thread.h"

namespace pellora::ui {
namespace {

using namespace std::chrono_literals;

TEST(ApprovalPanelTest, OnlyTheFirstOfClickTimerAndCloseCounts) {
  {  // a click, then the timer: allowed
    QPointer<ApprovalPanel> panel = new ApprovalPanel("vm", "Linux", "10.0.0.2", 30ms);
    QSignalSpy spy(panel.data(), &ApprovalPanel::decided);
    panel->show();
    panel->decide(true);
    panel->decide(false);
    // Once the panel is gone neither its timer nor a close can decide again.
    ASSERT_TRUE(QTest::qWaitFor([&] { return panel.isNull(); }));
    ASSERT_EQ(spy.count(), 1);
    EXPECT_TRUE(spy.at(0).at(0).toBool());
  }
  {  // nobody answers: refused, and the panel goes
    QPointer<ApprovalPanel> panel = new ApprovalPanel("vm", "Linux", "10.0.0.2", 30ms);
    QSignalSpy spy(panel.data(), &ApprovalPanel::decided);
    panel->show();
    ASSERT_TRUE(QTest::qWaitFor([&] { return spy.count() == 1; }));
    EXPECT_FALSE(spy.at(0).at(0).toBool());
    EXPECT_TRUE(QTest::qWaitFor([&] { return panel.isNull(); }));
  }
  {  // closing refuses
    QPointer<ApprovalPanel> panel = new ApprovalPanel("vm", "Linux", "10.0.0.2");
    QSignalSpy spy(panel.data(), &ApprovalPanel::decided);
    panel->show();
    panel->close();
    ASSERT_EQ(spy.count(), 1);
    EXPECT_FALSE(spy.at(0).at(0).toBool());
  }
}

TEST(ApprovalPanelTest, KeysTypedAtItAllowNothingAndEscapeRefuses) {
  QPointer<ApprovalPanel> panel = new ApprovalPanel("vm", "Linux", "10.0.0.2");
  QSignalSpy spy(panel.data(), &ApprovalPanel::decided);
  panel->show();
  panel->activateWindow();
  ASSERT_TRUE(QTest::qWaitForWindowActive(panel));
  QPushButton* allow = nullptr;
  for (auto* button : panel->findChildren<QPushButton*>()) {
    EXPECT_FALSE(button->isDefault()) << button->text().toStdString();
    EXPECT_FALSE(button->hasFocus()) << button->text().toStdString();
    if (button->text() == "İzin ver") allow = button;
  }
  ASSERT_TRUE(allow);
  EXPECT_EQ(allow->property("kind").toString(), "primary");  // still the one that looks primary
  // Someone typing in another window as the panel appears.
  for (const Qt::Key key : {Qt::Key_Return, Qt::Key_Enter, Qt::Key_Space}) {
    QWidget* target = QApplication::focusWidget() ? QApplication::focusWidget() : panel.data();
    QTest::keyClick(target, key);
  }
  EXPECT_EQ(spy.count(), 0);
  QTest::keyClick(QApplication::focusWidget() ? QApplication::focusWidget() : panel.data(), Qt::Key_Escape);
  ASSERT_EQ(spy.count(), 1);
  EXPECT_FALSE(spy.at(0).at(0).toBool());
}

ApprovalPanel* openPanel() {
  for (QWidget* widget : QApplication::topLevelWidgets())
    if (auto* panel = qobject_cast<ApprovalPanel*>(widget); panel && panel->isVisible() && !panel->resolved()) return panel;
  return nullptr;
}

TEST(ApprovalPanelTest, HostWaitsForTheAnswerWithoutHoldingTheMainStrand) {
  NetworkThread network;
  QtApprovalPrompt prompt(qApp);
  auto answer = boost::asio::co_spawn(network.mainStrand(), prompt.run("vm", "Linux", "10.0.0.2"), boost::asio::use_future);
  ASSERT_TRUE(QTest::qWaitFor([] { return openPanel() != nullptr; }));
  // Other work still runs on the main strand while the panel is open.
  auto other = boost::asio::post(network.mainStrand(), boost::asio::use_future([] { return 7; }));
  EXPECT_EQ(other.get(), 7);
  openPanel()->decide(true);
  ASSERT_TRUE(QTest::qWaitFor([&] { return answer.wait_for(0s) == std::future_status::ready; }));
  EXPECT_TRUE(answer.get());
}

}  // namespace
}  // namespace pellora::ui
