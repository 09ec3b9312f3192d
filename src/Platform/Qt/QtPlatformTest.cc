#include <gtest/gtest.h>

#include <QCoreApplication>
#include <QElapsedTimer>
#include <atomic>
#include <thread>
#include <vector>

#include "Platform/Qt/QtPlatform.h"

namespace dravik::platform {
namespace {

// Serves the event loop until `done` holds, for at most a generous bound.
template <class Predicate>
bool serveUntil(Predicate done) {
  QElapsedTimer elapsed;
  elapsed.start();
  while (!done()) {
    if (elapsed.elapsed() > 10000) return false;
    QCoreApplication::processEvents(QEventLoop::AllEvents, 10);
  }
  return true;
}

TEST(QtMainQueue, RunsWorkLaterInTheOrderPosted) {
  QtMainQueue queue;
  std::vector<int> ran;
  queue.post([&] { ran.push_back(1); });
  queue.post([&] { ran.push_back(2); });
  EXPECT_TRUE(ran.empty()) << "never inside post()";
  ASSERT_TRUE(serveUntil([&] { return ran.size() == 2; }));
  EXPECT_EQ(ran, (std::vector<int>{1, 2}));
}

TEST(QtMainQueue, RunsWorkFromAnotherThreadOnTheMainThread) {
  QtMainQueue queue;
  std::atomic<bool> ran = false;
  std::thread::id ranOn;
  std::thread poster([&] {
    queue.post([&] {
      ranOn = std::this_thread::get_id();
      ran = true;
    });
  });
  poster.join();
  ASSERT_TRUE(serveUntil([&] { return ran.load(); }));
  EXPECT_EQ(ranOn, std::this_thread::get_id());
}

TEST(QtMainQueue, DropsWorkStillQueuedWhenDestroyed) {
  bool ran = false;
  {
    QtMainQueue queue;
    queue.post([&] { ran = true; });
  }
  QCoreApplication::processEvents();
  EXPECT_FALSE(ran);
}

TEST(QtGlobalQueue, RunsDelayedWorkOnABackgroundThread) {
  QtGlobalQueue queue;
  std::atomic<int> ran = 0;
  std::atomic<bool> onMain = false;
  const auto mainThread = std::this_thread::get_id();
  for (double delay : {0.05, 0.0, -1.0}) {
    queue.postAfter(delay, [&] {
      if (std::this_thread::get_id() == mainThread) onMain = true;
      ++ran;
    });
  }
  ASSERT_TRUE(serveUntil([&] { return ran.load() == 3; }));
  EXPECT_FALSE(onMain.load());
}

TEST(QtGlobalQueue, DestroyedWithWorkNotYetDue) {
  std::atomic<bool> ran = false;
  {
    QtGlobalQueue queue;
    queue.postAfter(600, [&] { ran = true; });
  }
  EXPECT_FALSE(ran.load());
}

TEST(BundlePathForProgram, TheAppFolderOrTheProgramsFolderInsideTheMachine) {
  const struct {
    const char* program;
    const char* root;
    const char* expected;
  } cases[] = {
      {"/tmp/mac/Applications/Q.app/Contents/MacOS/Q", "/tmp/mac", "/Applications/Q.app"},
      {"/tmp/mac/Applications/Q.app/Q", "/tmp/mac", "/Applications/Q.app"},
      {"/tmp/mac/Q", "/tmp/mac", "/"},
      {"/tmp/machine/Applications/Q.app/Q", "/tmp/mac", "/tmp/machine/Applications/Q.app"},
      {"/opt/Q.app/Contents/MacOS/Q", "/tmp/mac", "/opt/Q.app"},
      {"/Applications/Q.app/Contents/MacOS/Q", "", "/Applications/Q.app"},
      {"/Applications/Q.app/Q", "/", "/Applications/Q.app"},
      // Only a "Contents/MacOS" folder inside a named ".app" folder is a Mac app's.
      {"/tmp/mac/Applications/Q/Contents/MacOS/Q", "/tmp/mac", "/Applications/Q/Contents/MacOS"},
      {"/tmp/mac/Applications/.app/Contents/MacOS/Q", "/tmp/mac",
       "/Applications/.app/Contents/MacOS"},
      {"/tmp/mac/Applications/Q.app/Contents/Q", "/tmp/mac", "/Applications/Q.app/Contents"},
  };
  for (const auto& c : cases)
    EXPECT_EQ(bundlePathForProgram(c.program, c.root), c.expected) << c.program << " in " << c.root;
}

}  // namespace
}  // namespace dravik::platform

int main(int argc, char** argv) {
  QCoreApplication app(argc, argv);
  ::testing::InitGoogleTest(&argc, argv);
  return RUN_ALL_TESTS();
}
