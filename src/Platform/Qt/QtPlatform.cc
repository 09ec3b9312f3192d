#include "Platform/Qt/QtPlatform.h"

#include <QCoreApplication>
#include <QDesktopServices>
#include <QDir>
#include <QFileInfo>
#include <QTimer>
#include <QUrl>
#include <cmath>
#include <utility>

#include "Platform/MachineRoot.h"

namespace dravik::platform {

QtMainQueue::QtMainQueue() : context_(std::make_unique<QObject>()) {}

QtMainQueue::~QtMainQueue() = default;

void QtMainQueue::post(std::function<void()> work) {
  // A queued invocation is an event posted to the context's thread: never run inline.
  QMetaObject::invokeMethod(context_.get(), std::move(work), Qt::QueuedConnection);
}

QtGlobalQueue::QtGlobalQueue()
    : thread_(std::make_unique<QThread>()), context_(std::make_unique<QObject>()) {
  context_->moveToThread(thread_.get());
  thread_->start();
}

QtGlobalQueue::~QtGlobalQueue() {
  thread_->quit();
  thread_->wait();
}

void QtGlobalQueue::postAfter(double seconds, std::function<void()> work) {
  int milliseconds = seconds <= 0 ? 0 : static_cast<int>(std::ceil(seconds * 1000));
  QObject* context = context_.get();
  // Timers belong to the thread that starts them, so the timer is started on the worker.
  QMetaObject::invokeMethod(
      context,
      [context, milliseconds, work = std::move(work)] {
        QTimer::singleShot(milliseconds, Qt::PreciseTimer, context, work);
      },
      Qt::QueuedConnection);
}

std::string QtBundleLocation::bundlePath() {
  QString program = QFileInfo(QCoreApplication::applicationFilePath()).canonicalFilePath();
  std::string root = machineRoot();
  if (!root.empty()) {
    QString canonicalRoot = QFileInfo(QString::fromStdString(root)).canonicalFilePath();
    if (!canonicalRoot.isEmpty()) root = canonicalRoot.toStdString();
  }
  return bundlePathForProgram(program.toStdString(), root);
}

void QtWorkspace::openFolder(const std::string& path) {
  QDesktopServices::openUrl(QUrl::fromLocalFile(QString::fromStdString(machinePath(path))));
}

}  // namespace dravik::platform
