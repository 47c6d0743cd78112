#pragma once

#include <QDialog>
#include <QTimer>
#include <chrono>

#include "host/approval_prompt.h"

namespace pellora::ui {

// Asks the local user whether a caller may connect: who, from which system and address, what allowing
// means, "Reddet" and "İzin ver". It stays above other windows; after `timeout` without an answer it
// refuses by itself, and closing it or Escape refuses too. Allowing takes a deliberate act: no button is
// the default and none has the keyboard when the panel opens. The first of click, timeout and close
// decides; `decided` is emitted exactly once, then the panel hides and deletes itself.
//
// GUI thread; made and owned (until it deletes itself) by QtApprovalPrompt.
class ApprovalPanel : public QDialog {
  Q_OBJECT

 public:
  ApprovalPanel(const QString& name, const QString& system, const QString& address,
                std::chrono::milliseconds timeout = ApprovalPrompt::timeout, QWidget* parent = nullptr);

  void decide(bool allow);
  bool resolved() const { return resolved_; }

 signals:
  void decided(bool allow);

 protected:
  void closeEvent(QCloseEvent* event) override;
  void reject() override;

 private:
  QTimer timer_;
  bool resolved_ = false;
};

// The host service's approval question as the desktop app asks it: opens a panel on the GUI thread and
// resumes the host's admission on its own executor with the answer, so the main strand goes on serving
// other connections (they find the session slot taken) while the panel is open.
//
// Shared by the host service; `gui` (the application object) outlives it.
class QtApprovalPrompt final : public ApprovalPrompt {
 public:
  explicit QtApprovalPrompt(QObject* gui) : gui_(gui) {}
  boost::asio::awaitable<bool> run(std::string name, std::string system, std::string address) override;

 private:
  QObject* gui_;
};

}  // namespace pellora::ui
