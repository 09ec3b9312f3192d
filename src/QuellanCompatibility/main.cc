// QuellanCompatibility: the companion window through which the user installs, checks and
// removes the sleep service daemon. Builds the platform objects and hands them in.

#include <QApplication>

#include "Platform/Qt/QtPlatform.h"
#include "QuellanCompatibility/CompatibilityWindow.h"
#include "QuellanCompatibility/ComponentModel.h"
#include "QuellanCompatibility/Unavailable.h"

int main(int argc, char** argv) {
  QApplication app(argc, argv);
  dravik::platform::QtMainQueue mainQueue;
  dravik::platform::QtGlobalQueue globalQueue;
  dravik::platform::QtBundleLocation bundle;
  dravik::platform::QtWorkspace workspace;
  quellan::UnavailableServiceManagement serviceManagement;
  quellan::UnavailableServiceConnector connector;

  quellan::ComponentModel model(mainQueue, globalQueue, connector, serviceManagement, bundle);
  quellan::CompatibilityWindow window(model, bundle, workspace, serviceManagement);
  window.show();
  return app.exec();
}
