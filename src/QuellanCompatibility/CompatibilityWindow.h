#pragma once
// The companion app's window: a header with the language choice, an explanation, the
// daemon's status, one row of buttons and a closing note, all recomputed from the model
// whenever one of its fields changes. Every text but the window title and the language
// names is translated with the model's language.
//
// Lives on the GUI thread. Neither the model nor the platform objects are owned; all must
// outlive the window.

#include <QWidget>
#include <string>

#include "Platform/BundleLocation.h"
#include "Platform/ServiceManagement.h"
#include "Platform/Workspace.h"
#include "QuellanCompatibility/ComponentModel.h"

class QComboBox;
class QGroupBox;
class QLabel;
class QPushButton;

namespace quellan {

class CompatibilityWindow : public QWidget {
  Q_OBJECT

 public:
  static constexpr int kWidth = 570;

  CompatibilityWindow(ComponentModel& model, dravik::platform::BundleLocation& bundle,
                      dravik::platform::Workspace& workspace,
                      dravik::platform::ServiceManagement& serviceManagement,
                      QWidget* parent = nullptr);
  ~CompatibilityWindow() override;

 protected:
  // Each showing of the page reads the daemon's state afresh.
  void showEvent(QShowEvent* event) override;

 private:
  void render();
  QString text(const std::string& chinese) const;
  void fitHeight();

  ComponentModel& model_;
  dravik::platform::BundleLocation& bundle_;
  ComponentModel::ObserverId observer_;

  QLabel* symbol_;
  QLabel* title_;
  QLabel* subtitle_;
  QComboBox* languagePicker_;
  QLabel* explanation_;
  QGroupBox* statusBox_;
  QLabel* statusIcon_;
  QLabel* statusLine_;
  QLabel* message_;
  QWidget* buttonRow_;
  QPushButton* openApplicationsButton_;
  QPushButton* installButton_;
  QPushButton* openSettingsButton_;
  QPushButton* refreshButton_;
  QPushButton* removeButton_;
  QLabel* closingNote_;
};

}  // namespace quellan
