// QuellanCompatibility: the companion window through which the user installs, checks and
// removes the sleep service daemon. Builds the platform objects of the simulated MacBook
// and hands them in.
//
// Options: --language system|zh-Hans|en (the picker's starting choice) and
// --screenshot FILE (once the first status check has answered, or after 8 seconds, the
// window is saved as a PNG and the program exits: for demonstrations and documentation).

#include <QApplication>
#include <QTimer>
#include <chrono>
#include <iostream>
#include <optional>
#include <string>

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
  std::string screenshot;
  for (int i = 1; i + 1 < argc; ++i) {
    const std::string option = argv[i];
    if (option == "--language") {
      std::optional<quellan::AppLanguage> language = dravik::appLanguageFromRawValue(argv[++i]);
      if (!language) {
        std::cerr << "QuellanCompatibility: --language takes system, zh-Hans or en\n";
        return 2;
      }
      model.setLanguage(*language);
    } else if (option == "--screenshot") {
      screenshot = argv[++i];
    }
  }
  window.show();

  if (!screenshot.empty()) {
    // Waits for the status check the window starts when shown (the message appears, or
    // the daemon is not enabled at all), lets the window settle, then saves it.
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(8);
    auto* poll = new QTimer(&app);
    QObject::connect(poll, &QTimer::timeout, [&, poll] {
      bool answered =
          !model.message().empty() || model.state() != dravik::platform::ServiceStatus::enabled;
      if (!answered && std::chrono::steady_clock::now() < deadline) return;
      poll->stop();
      QTimer::singleShot(200, [&] {
        bool saved = window.grab().save(QString::fromStdString(screenshot), "PNG");
        app.exit(saved ? 0 : 1);
      });
    });
    poll->start(100);
  }
  return app.exec();
}
