// The recovery journal under I/O faults, driven through the real lease: every system call
// of each scenario is failed in turn (EIO and ENOSPC, once and for good) against a real
// RootJournal in a fresh root-owned directory, and the safety rules are checked after every
// step and at every change of the setting.

#include <fcntl.h>
#include <gmock/gmock.h>
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <exception>
#include <filesystem>
#include <fstream>
#include <functional>
#include <iterator>
#include <optional>
#include <set>
#include <string>
#include <vector>

#include "QuellanServiceCore/Fakes/FakeSleepSetting.h"
#include "QuellanServiceCore/SleepLease.h"
#include "QuellanServiceCore/Uuid.h"
#include "QuellanSleepService/FaultInjection.h"
#include "QuellanSleepService/RootJournal.h"

namespace quellan {
namespace {

namespace fs = std::filesystem;
using ::testing::ElementsAre;
using ::testing::ElementsAreArray;
using ::testing::IsEmpty;

const std::string kFalseRecord = R"({"schema":1,"originalDisabled":false})";
const std::string kTemporaryPrefix = ".recovery-";

std::size_t openDescriptorCount() {
  std::size_t count = 0;
  for (auto it = fs::directory_iterator("/proc/self/fd"); it != fs::directory_iterator(); ++it) {
    ++count;
  }
  return count;
}

bool isTemporary(const std::string& name) { return name.rfind(kTemporaryPrefix, 0) == 0; }

// The setting of the machine, which lets the test look at the disk at the moment the lease
// changes it.
class WatchedSetting : public FakeSleepSetting {
 public:
  std::function<void(bool)> beforeWrite;

  void write(bool disabled) override {
    if (beforeWrite) beforeWrite(disabled);
    FakeSleepSetting::write(disabled);
  }
};

// What the lease last heard from its store.
struct StoreEvent {
  enum Kind { kNone, kLoaded, kLoadFailed, kSaved, kSaveFailed, kCleared, kClearFailed };
  Kind kind = kNone;
  std::optional<SleepJournal> record;  // what load returned, or what save was given
};

// Forwards to the real store, remembering the outcome of each call, and checks before a
// clear that the journalled value has been written back and confirmed.
class ObservedStore : public SleepJournalStore {
 public:
  ObservedStore(SleepJournalStore& target, std::function<void()> beforeClear)
      : target_(target), beforeClear_(std::move(beforeClear)) {}

  const StoreEvent& last() const { return last_; }

  std::optional<SleepJournal> load() override {
    try {
      auto record = target_.load();
      last_ = {StoreEvent::kLoaded, record};
      return record;
    } catch (...) {
      last_ = {StoreEvent::kLoadFailed, std::nullopt};
      throw;
    }
  }
  void save(const SleepJournal& journal) override {
    try {
      target_.save(journal);
      last_ = {StoreEvent::kSaved, journal};
    } catch (...) {
      last_ = {StoreEvent::kSaveFailed, journal};
      throw;
    }
  }
  void clear() override {
    beforeClear_();
    try {
      target_.clear();
      last_ = {StoreEvent::kCleared, std::nullopt};
    } catch (...) {
      last_ = {StoreEvent::kClearFailed, std::nullopt};
      throw;
    }
  }

 private:
  SleepJournalStore& target_;
  std::function<void()> beforeClear_;
  StoreEvent last_;
};

// The journal file as it is on disk, looked at directly rather than through the store.
struct DiskJournal {
  bool present = false;
  std::string bytes;
  struct stat status {};
};

// One simulated daemon life (and its restarts) over a fresh journal directory: the injector
// as the store's system calls, the fake setting as the machine, and a lease the way the
// daemon drives it.
class FaultRun {
 public:
  explicit FaultRun(bool once = true) : once_(once) {
    char pattern[] = "/tmp/journal-fault-XXXXXX";
    if (::mkdtemp(pattern) == nullptr) {
      ADD_FAILURE() << "mkdtemp: " << std::strerror(errno);
      std::abort();
    }
    parent_ = pattern;
    directory_ = parent_ + "/dravik.compatibility";
    EXPECT_EQ(::mkdir(directory_.c_str(), 0700), 0);
    setting.beforeWrite = [this](bool disabled) { checkWrite(disabled); };
    baseline_ = openDescriptorCount();
  }
  FaultRun(const FaultRun&) = delete;
  FaultRun& operator=(const FaultRun&) = delete;
  ~FaultRun() {
    system.stopFailing();
    stop();
    fs::remove_all(parent_);
  }

  // Daemon start: the store, the lease, recover(). A store that cannot be built ends the
  // process; the lease stays absent until the next start.
  void start() {
    try {
      store_.emplace(directory_, system);
    } catch (const std::exception& error) {
      errors.push_back(std::string("construction: ") + error.what());
      return;
    }
    observed_.emplace(*store_, [this] { checkClear(); });
    lease_.emplace(setting, *observed_);
    attempt("recover", [this] { lease_->recover(); });
  }
  // The process ends without any restoration (a kill, or a failed start).
  void stop() {
    lease_.reset();
    observed_.reset();
    store_.reset();
  }
  void restart() {
    stop();
    start();
  }

  void begin() {
    if (lease_) attempt("begin", [this] { lease_->begin(owner_, 0, now_, false); });
    now_ += 1;
  }
  // The daemon ticks only while a session runs or a restoration is owed; false when this
  // tick was therefore not made.
  bool tick(bool lidClosed) {
    if (!lease_ || !(lease_->active() || lease_->recoveryPending())) return false;
    attempt("tick", [&] { lease_->tick(now_, lidClosed, true); });
    now_ += 1;
    return true;
  }
  void pauseAndRestore() {
    if (lease_) attempt("pauseAndRestore", [this] { lease_->pauseAndRestore(); });
  }

  // Writes a journal as a killed daemon would have left it.
  void putJournal(const std::string& bytes) {
    const std::string path = directory_ + "/recovery.json";
    const int fd = ::open(path.c_str(), O_WRONLY | O_CREAT | O_EXCL, 0600);
    ASSERT_GE(fd, 0);
    ASSERT_EQ(::write(fd, bytes.data(), bytes.size()), static_cast<ssize_t>(bytes.size()));
    ASSERT_EQ(::fchmod(fd, 0600), 0);
    ::close(fd);
  }

  DiskJournal journalOnDisk() const {
    DiskJournal disk;
    const std::string path = directory_ + "/recovery.json";
    if (::lstat(path.c_str(), &disk.status) != 0) return disk;
    disk.present = true;
    std::ifstream in(path, std::ios::binary);
    disk.bytes.assign(std::istreambuf_iterator<char>(in), {});
    return disk;
  }

  std::vector<std::string> temporariesOnDisk() const {
    std::vector<std::string> names;
    for (const auto& entry : fs::directory_iterator(directory_)) {
      const std::string name = entry.path().filename().string();
      if (isTemporary(name)) names.push_back(name);
    }
    return names;
  }

  // Temporary files whose removal was itself made to fail.
  std::set<std::string> temporariesWhoseRemovalFailed() const {
    std::set<std::string> names;
    for (const auto& record : system.log()) {
      if (record.call == "unlinkat" && record.injected && isTemporary(record.name)) {
        names.insert(record.name);
      }
    }
    return names;
  }

  // The rules that hold between any two steps, whatever failed.
  void check(const std::string& when) {
    SCOPED_TRACE("after " + when);
    // Every call closes what it opened; the store holds only its directory.
    EXPECT_EQ(openDescriptorCount(), baseline_ + (store_ ? 1 : 0));

    // A journal on disk is always complete: never a partly written or mixed record.
    const DiskJournal disk = journalOnDisk();
    if (disk.present) {
      EXPECT_EQ(disk.bytes, kFalseRecord);
      EXPECT_TRUE(S_ISREG(disk.status.st_mode));
      EXPECT_EQ(disk.status.st_mode & 0777, 0600u);
      EXPECT_EQ(disk.status.st_uid, 0u);
      EXPECT_EQ(disk.status.st_nlink, 1u);
    }
    // Sleep is never left disabled without the original value on disk.
    if (setting.value()) {
      EXPECT_TRUE(disk.present) << "sleep disabled with no journal";
    }
    if (lease_ && lease_->active()) {
      EXPECT_TRUE(setting.value());
      EXPECT_FALSE(lease_->recoveryPending());
      EXPECT_TRUE(disk.present);
    }
    // The daemon stops ticking only when nothing is owed, so sleep must be back on by then.
    if (lease_ && !lease_->active() && !lease_->recoveryPending()) {
      EXPECT_FALSE(setting.value()) << "the lease went quiet with sleep still disabled";
    }

    // The store removes its temporary file on every failure path. The only way one stays is
    // that this very removal was failed, which needs a second fault (kForever): a file whose
    // unlink fails cannot be removed by anyone at that moment.
    const std::vector<std::string> temporaries = temporariesOnDisk();
    if (once_) {
      EXPECT_THAT(temporaries, IsEmpty());
    } else {
      const std::set<std::string> allowed = temporariesWhoseRemovalFailed();
      for (const auto& name : temporaries) {
        EXPECT_TRUE(allowed.count(name)) << name << " left behind without a failed unlink";
      }
    }
  }

  // Settles what the faults left, once they have cleared: at most a few ticks, and a
  // restart when the daemon is no longer running or has nothing left to tick for.
  void settle() {
    const std::size_t errorsBefore = errors.size();
    for (int i = 0; i < 3 && tick(false); ++i) check("a tick after the fault cleared");
    if (!settled()) {
      // Only two states may need a restart. The daemon may have exited (its store could not
      // be built). Or a save reported failure after its rename had already put the complete
      // record in place (the directory fsync failed): the lease, told that the save failed,
      // never disabled sleep and owes nothing, so it leaves the record, which holds the
      // untouched original value, to the next begin or start.
      const DiskJournal disk = journalOnDisk();
      EXPECT_TRUE(!lease_ || (directoryFlushFailedAfterARename() && disk.present &&
                              !setting.value() && !lease_->active() && !lease_->recoveryPending()))
          << "ticks did not settle a running daemon";
      restart();
      check("a restart after the fault cleared");
    }
    EXPECT_EQ(errors.size(), errorsBefore) << "failed after the fault cleared: " << errors.back();
    checkSettled();
  }

  void checkSettled() {
    SCOPED_TRACE("settled");
    ASSERT_TRUE(lease_.has_value());
    EXPECT_FALSE(lease_->active());
    EXPECT_FALSE(lease_->recoveryPending());
    EXPECT_FALSE(setting.value()) << "the original setting was not restored";
    EXPECT_FALSE(journalOnDisk().present);
    check("settling");
  }

  bool settled() const {
    return lease_ && !lease_->active() && !lease_->recoveryPending() && !setting.value() &&
           !journalOnDisk().present;
  }

  FaultInjectingSystemCalls system;
  WatchedSetting setting;
  // Failures the lease reported, in order ("begin: <message>").
  std::vector<std::string> errors;

 private:
  void attempt(const char* what, const std::function<void()>& action) {
    try {
      action();
    } catch (const std::exception& error) {
      errors.push_back(std::string(what) + ": " + error.what());
    }
  }

  // The setting changes only on the strength of what the store durably holds.
  void checkWrite(bool disabled) {
    SCOPED_TRACE(disabled ? "at write(true)" : "at write(false)");
    ASSERT_TRUE(observed_.has_value());
    const StoreEvent& last = observed_->last();
    if (disabled) {
      // Sleep is turned off only right after a save of the original value that succeeded
      // completely: data written, both flushes, the rename and the directory flush.
      EXPECT_EQ(last.kind, StoreEvent::kSaved);
      EXPECT_EQ(last.record, SleepJournal(false));
      const DiskJournal disk = journalOnDisk();
      EXPECT_TRUE(disk.present);
      EXPECT_EQ(disk.bytes, kFalseRecord);
      EXPECT_TRUE(lastSaveWasDurable()) << "a save with a failed call counted as a success";
    } else {
      // A value is written back only when a load has just returned it, never after a load
      // that failed or was refused.
      EXPECT_EQ(last.kind, StoreEvent::kLoaded);
      ASSERT_TRUE(last.record.has_value());
      EXPECT_EQ(last.record->schema, 1);
      EXPECT_EQ(last.record->originalDisabled, disabled);
    }
  }

  // The journal goes only once its value has been written back and read again.
  void checkClear() {
    SCOPED_TRACE("at clear()");
    const StoreEvent& last = observed_->last();
    ASSERT_EQ(last.kind, StoreEvent::kLoaded);
    ASSERT_TRUE(last.record.has_value());
    EXPECT_EQ(setting.value(), last.record->originalDisabled);
    const auto& calls = setting.calls();
    ASSERT_GE(calls.size(), 2u);
    EXPECT_EQ(calls[calls.size() - 2],
              last.record->originalDisabled ? "write(true)" : "write(false)");
    EXPECT_EQ(calls.back(), "read");
  }

  // A save renamed its record into place and then failed to flush the directory.
  bool directoryFlushFailedAfterARename() const {
    const auto& log = system.log();
    for (std::size_t i = 0; i + 1 < log.size(); ++i) {
      if (log[i].call == "renameat" && log[i].result == 0 && log[i + 1].call == "fsync" &&
          log[i + 1].injected) {
        return true;
      }
    }
    return false;
  }

  // The calls of the most recent save, from the creation of its temporary file on, made
  // write, fsync, fullFlush, renameat and the directory fsync in that order, all succeeding,
  // and none of them failed.
  bool lastSaveWasDurable() const {
    const auto& log = system.log();
    std::size_t start = log.size();
    for (std::size_t i = log.size(); i-- > 0;) {
      if (log[i].call == "openat" && isTemporary(log[i].name)) {
        start = i;
        break;
      }
    }
    if (start == log.size() || log[start].result < 0) return false;
    const int file = static_cast<int>(log[start].result);
    const int directory = log[start].fd;
    int stage = 0;
    for (std::size_t i = start + 1; i < log.size(); ++i) {
      const SystemCallRecord& r = log[i];
      const bool durabilityCall =
          r.call == "write" || r.call == "fsync" || r.call == "fullFlush" || r.call == "renameat";
      if (durabilityCall && r.result < 0) return false;
      if (stage == 0 && r.call == "write" && r.fd == file &&
          r.result == static_cast<long>(kFalseRecord.size())) {
        stage = 1;
      } else if (stage == 1 && r.call == "fsync" && r.fd == file) {
        stage = 2;
      } else if (stage == 2 && r.call == "fullFlush" && r.fd == file) {
        stage = 3;
      } else if (stage == 3 && r.call == "renameat" && r.name == "recovery.json") {
        stage = 4;
      } else if (stage == 4 && r.call == "fsync" && r.fd == directory) {
        stage = 5;
      }
    }
    return stage == 5;
  }

  bool once_;
  std::string parent_;
  std::string directory_;
  std::size_t baseline_ = 0;
  Uuid owner_ = Uuid::random();
  double now_ = 0;
  std::optional<RootJournal> store_;
  std::optional<ObservedStore> observed_;
  std::optional<SleepLease> lease_;
};

struct Step {
  const char* name;
  std::function<void(FaultRun&)> run;
};

struct Scenario {
  // Done without faults: the state the scenario starts from.
  std::function<void(FaultRun&)> prepare;
  // Done with the fault armed.
  std::vector<Step> steps;
  // What a clean run does to the setting, from the first step on.
  std::vector<std::string> cleanSettingCalls;
};

const Step kBegin{"begin", [](FaultRun& run) { run.begin(); }};
const Step kTickOpen{"tick, lid open", [](FaultRun& run) { run.tick(false); }};
const Step kTickClosed{"tick, lid closed", [](FaultRun& run) { run.tick(true); }};
const Step kPauseAndRestore{"pauseAndRestore", [](FaultRun& run) { run.pauseAndRestore(); }};
const Step kStart{"start", [](FaultRun& run) { run.start(); }};

const char* modeName(FaultMode mode) { return mode == FaultMode::kOnce ? "once" : "forever"; }

// Counts the calls of a clean run, then fails each of them in turn with each errno, once and
// for good, checking the rules after every step and that everything settles afterwards.
// Returns the number of calls of the clean run.
std::size_t runMatrix(const Scenario& scenario) {
  std::size_t calls = 0;
  {
    SCOPED_TRACE("clean run");
    FaultRun run;
    scenario.prepare(run);
    run.setting.clearCalls();
    const std::size_t before = run.system.count();
    for (const Step& step : scenario.steps) {
      step.run(run);
      run.check(step.name);
    }
    calls = run.system.count() - before;
    EXPECT_THAT(run.errors, IsEmpty());
    EXPECT_THAT(run.setting.calls(), ElementsAreArray(scenario.cleanSettingCalls));
    run.checkSettled();
  }
  EXPECT_GT(calls, 0u);

  for (std::size_t nth = 1; nth <= calls; ++nth) {
    for (const int error : {EIO, ENOSPC}) {
      for (const FaultMode mode : {FaultMode::kOnce, FaultMode::kForever}) {
        SCOPED_TRACE(testing::Message() << "call " << nth << " of " << calls << " fails with "
                                        << std::strerror(error) << ", " << modeName(mode));
        FaultRun run(mode == FaultMode::kOnce);
        scenario.prepare(run);
        run.check("preparing");
        run.system.failCall(nth, error, mode);
        for (const Step& step : scenario.steps) {
          step.run(run);
          run.check(step.name);
        }
        // Up to the fault the run is the clean run, so the chosen call is always made.
        if (mode == FaultMode::kOnce) {
          EXPECT_EQ(run.system.injected(), 1u);
        } else {
          EXPECT_GE(run.system.injected(), 1u);
          // The daemon keeps ticking under a lasting fault; nothing may go wrong meanwhile.
          for (int i = 0; i < 2; ++i) {
            run.tick(false);
            run.check("a tick under the lasting fault");
          }
          run.system.stopFailing();
        }
        run.settle();
        if (testing::Test::HasFatalFailure()) return calls;
      }
    }
  }
  return calls;
}

TEST(JournalFaultTest, SessionEndedByReopeningTheLid) {
  const Scenario scenario{
      [](FaultRun& run) { run.start(); },
      {kBegin, kTickOpen, kTickClosed, kTickOpen},
      {"read", "write(true)", "read", "write(false)", "read"},
  };
  RecordProperty("systemCalls", static_cast<int>(runMatrix(scenario)));
}

TEST(JournalFaultTest, RecoveryAtStartFromAJournalLeftOnDisk) {
  // A daemon killed during a session: sleep disabled, the original value journalled.
  const Scenario scenario{
      [](FaultRun& run) {
        run.putJournal(kFalseRecord);
        run.setting.setValue(true);
      },
      {kStart},
      {"write(false)", "read"},
  };
  RecordProperty("systemCalls", static_cast<int>(runMatrix(scenario)));
}

TEST(JournalFaultTest, ShutdownDuringASession) {
  const Scenario scenario{
      [](FaultRun& run) { run.start(); },
      {kBegin, kTickClosed, kPauseAndRestore},
      {"read", "write(true)", "read", "write(false)", "read"},
  };
  RecordProperty("systemCalls", static_cast<int>(runMatrix(scenario)));
}

TEST(JournalFaultTest, SecondSessionAfterTheFirstEnded) {
  const Scenario scenario{
      [](FaultRun& run) { run.start(); },
      {kBegin, kTickClosed, kTickOpen, kBegin, kTickClosed, kTickOpen},
      {"read", "write(true)", "read", "write(false)", "read", "read", "write(true)", "read",
       "write(false)", "read"},
  };
  RecordProperty("systemCalls", static_cast<int>(runMatrix(scenario)));
}

// The one failed save that leaves its record behind: the rename has put the complete record
// in place when the directory flush fails. The save reports failure, so the lease never
// disables sleep and owes nothing; the record holds the untouched original value and the
// next begin settles it before journalling afresh.
TEST(JournalFaultTest, SaveFailingAtTheDirectoryFlushLeavesOnlyAHarmlessRecord) {
  FaultRun run;
  run.start();
  run.setting.clearCalls();
  // begin: the load finding nothing, then the save's openat, write, fsync, fullFlush,
  // renameat and the directory fsync.
  run.system.failCall(7, EIO, FaultMode::kOnce);
  run.begin();
  EXPECT_THAT(run.errors, ElementsAre("begin: 无法安全保存兼容组件恢复记录"));
  EXPECT_THAT(run.setting.calls(), ElementsAre("read"));
  EXPECT_EQ(run.journalOnDisk().bytes, kFalseRecord);
  run.check("the failed begin");
  EXPECT_FALSE(run.tick(false)) << "the daemon has nothing to tick for";

  run.begin();
  EXPECT_EQ(run.errors.size(), 1u);
  EXPECT_THAT(run.setting.calls(),
              ElementsAre("read", "write(false)", "read", "read", "write(true)", "read"));
  run.check("the second begin");
  run.tick(true);
  run.tick(false);
  run.checkSettled();
}

// The injector itself: counting, once against forever, and descriptors released by a close
// whose failure is injected.
TEST(FaultInjectingSystemCallsTest, FailsTheChosenCallOnceOrFromThenOn) {
  char pattern[] = "/tmp/journal-fault-XXXXXX";
  ASSERT_NE(::mkdtemp(pattern), nullptr);
  const std::string directory = pattern;
  FaultInjectingSystemCalls system;
  const int dir = system.open(directory.c_str(), O_RDONLY | O_DIRECTORY);
  ASSERT_GE(dir, 0);

  system.failCall(2, ENOSPC, FaultMode::kOnce);
  EXPECT_EQ(system.fsync(dir), 0);
  errno = 0;
  EXPECT_EQ(system.fsync(dir), -1);
  EXPECT_EQ(errno, ENOSPC);
  EXPECT_EQ(system.fsync(dir), 0);

  system.failCall(1, EIO, FaultMode::kForever);
  errno = 0;
  EXPECT_EQ(system.mkdir((directory + "/x").c_str(), 0700), -1);
  EXPECT_EQ(errno, EIO);
  EXPECT_FALSE(fs::exists(directory + "/x")) << "an injected failure performs nothing";
  const std::size_t descriptors = openDescriptorCount();
  EXPECT_EQ(system.close(dir), -1);
  EXPECT_EQ(errno, EIO);
  EXPECT_EQ(openDescriptorCount(), descriptors - 1) << "close releases even when it fails";
  system.stopFailing();
  EXPECT_EQ(system.unlinkat(AT_FDCWD, directory.c_str(), AT_REMOVEDIR), 0);

  EXPECT_EQ(system.count(), 7u);
  EXPECT_EQ(system.injected(), 3u);
  std::vector<std::string> calls;
  for (const auto& record : system.log()) {
    calls.push_back(record.call + (record.injected ? "!" : ""));
  }
  EXPECT_THAT(calls,
              ElementsAre("open", "fsync", "fsync!", "fsync", "mkdir!", "close!", "unlinkat"));
}

}  // namespace
}  // namespace quellan
