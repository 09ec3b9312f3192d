// QuellanCompatibility: the companion window through which the user installs, checks and
// removes the sleep service daemon. Builds the platform objects of the simulated MacBook
// and hands them in.

#include <QApplication>
#include <iostream>

#include "Platform/CodeIdentity/SodiumCodeSigning.h"
#include "Platform/LocalService/LocalServiceConnector.h"
#include "Platform/Qt/QtPlatform.h"
#include "Platform/Sim/SimServiceManagement.h"
#include "QuellanCompatibility/CompatibilityWindow.h"
#include "QuellanCompatibility/ComponentModel.h"

int main(int argc, char** argv) {
  QApplication app(argc, argv);
  dravik::platform::QtMainQueue mainQueue;
  dravik::platform::QtGlobalQueue globalQueue;
  dravik::platform::QtBundleLocation bundle;
  dravik::platform::QtWorkspace workspace;
  dravik::platform::SodiumCodeSigning codeSigning;
  dravik::platform::LocalServiceConnector connector(codeSigning);
  // The approval page is the simulator's approval step: its command is printed.
  dravik::platform::sim::SimServiceManagement serviceManagement(bundle.bundlePath(), &std::cerr);

  quellan::ComponentModel model(mainQueue, globalQueue, connector, serviceManagement, bundle);
  quellan::CompatibilityWindow window(model, bundle, workspace, serviceManagement);
  window.show();
  return app.exec();
}
