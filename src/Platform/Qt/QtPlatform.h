#pragma once
// Platform objects for a Qt program: its event loop as the main queue, a timer thread as
// the global queue, the folder of the running program as its bundle, and the desktop's
// file browser. Each needs the QCoreApplication (QApplication for QtWorkspace) to exist
// for as long as it does.

#include <QObject>
#include <QThread>
#include <memory>

#include "Platform/BundleLocation.h"
#include "Platform/GlobalQueue.h"
#include "Platform/MainQueue.h"
#include "Platform/Workspace.h"

namespace dravik::platform {

// Work runs on the thread that made the queue (the GUI thread), from its event loop. Work
// still queued when the queue is destroyed is dropped.
class QtMainQueue : public MainQueue {
 public:
  QtMainQueue();
  ~QtMainQueue() override;
  void post(std::function<void()> work) override;

 private:
  std::unique_ptr<QObject> context_;
};

// One background thread with its own event loop runs every delayed item. Items not yet due
// when the queue is destroyed are dropped.
class QtGlobalQueue : public GlobalQueue {
 public:
  QtGlobalQueue();
  ~QtGlobalQueue() override;
  void postAfter(double seconds, std::function<void()> work) override;

 private:
  std::unique_ptr<QThread> thread_;
  std::unique_ptr<QObject> context_;  // lives on thread_
};

// The bundle of the running program (bundlePathForProgram): "<root>/Applications/X.app/
// Contents/MacOS/program" and "<root>/Applications/X.app/program" are both
// "/Applications/X.app".
class QtBundleLocation : public BundleLocation {
 public:
  std::string bundlePath() override;
};

// Paths are the machine's: they are resolved inside the machine root before opening.
class QtWorkspace : public Workspace {
 public:
  void openFolder(const std::string& path) override;
};

}  // namespace dravik::platform
