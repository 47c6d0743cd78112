#pragma once

#include <QWidget>
#include <memory>

#include "host/host_service.h"
#include "support/app_settings.h"
#include "ui/model_bridge.h"

class QCheckBox;
class QComboBox;
class QLabel;
class QLineEdit;
class QPushButton;

namespace pellora::ui {

// What the settings screens act on, all on the main strand through the bridge.
struct SettingsModels {
  std::weak_ptr<AppSettings> settings;
  std::weak_ptr<HostService> host;
};

// The preferences (quality, clipboard, key swap, relay) and unattended access (the permanent password,
// launch at login, accepting files), shown in the main window's third tab and in the settings window.
// GUI thread; owned by its window.
class SettingsView : public QWidget {
  Q_OBJECT

 public:
  SettingsView(ModelBridge bridge, SettingsModels models, QWidget* parent = nullptr);

  // The rules of the two password fields, applied to what they hold now (tests type into them).
  QLineEdit* firstPassword() const { return first_; }
  QLineEdit* secondPassword() const { return second_; }
  QPushButton* saveButton() const { return save_; }
  QLabel* mismatchLabel() const { return mismatch_; }

 private:
  void render(const AppSettings::State& state);
  void updatePasswordRules();
  void showMessage(const std::optional<std::string>& text);

  ModelBridge bridge_;
  SettingsModels models_;
  QComboBox* quality_;
  QCheckBox* clipboard_;
  QCheckBox* swap_;
  QCheckBox* relay_;
  QWidget* relayBox_;
  QLineEdit* relayURL_;
  QWidget* permanentOn_;
  QWidget* permanentOff_;
  QLineEdit* first_;
  QLineEdit* second_;
  QPushButton* save_;
  QLabel* mismatch_;
  QCheckBox* skipApproval_;
  QCheckBox* launch_;
  QCheckBox* acceptFiles_;
  QLabel* message_;
};

}  // namespace pellora::ui
