#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <stdexcept>

#include "QuellanServiceCore/Fakes/FakeJournalStore.h"
#include "QuellanServiceCore/Fakes/FakeSleepSetting.h"

namespace quellan {
namespace {

using ::testing::ElementsAre;

TEST(FakeSleepSettingTest, HoldsTheValueAndRecordsCalls) {
  FakeSleepSetting setting(true);
  std::vector<std::string> log;
  setting.alsoRecordInto(&log);
  EXPECT_TRUE(setting.read());
  setting.write(false);
  EXPECT_FALSE(setting.read());
  EXPECT_THAT(setting.calls(), ElementsAre("read", "write(false)", "read"));
  EXPECT_EQ(log, setting.calls());
  setting.clearCalls();
  EXPECT_TRUE(setting.calls().empty());
}

TEST(FakeSleepSettingTest, FailsNextOrEveryCallAndChangesNothing) {
  FakeSleepSetting setting;
  setting.failNextWrite(std::runtime_error("once"));
  EXPECT_THROW(setting.write(true), std::runtime_error);
  EXPECT_FALSE(setting.value());
  setting.write(true);
  EXPECT_TRUE(setting.value());

  setting.failEveryRead(std::logic_error("always"));
  EXPECT_THROW(setting.read(), std::logic_error);
  EXPECT_THROW(setting.read(), std::logic_error);
  setting.stopFailing();
  EXPECT_TRUE(setting.read());
  EXPECT_THAT(setting.calls(), ElementsAre("write(true)", "write(true)", "read", "read", "read"));
}

TEST(FakeSleepSettingTest, MisreportsReadsAndIgnoresWrites) {
  FakeSleepSetting setting;
  setting.ignoreWrites();
  setting.write(true);
  EXPECT_FALSE(setting.value());
  setting.misreportReads(true);
  EXPECT_TRUE(setting.read());
  setting.misreportReads(std::nullopt);
  EXPECT_FALSE(setting.read());
}

TEST(FakeJournalStoreTest, StoresOneRecordAndRecordsCalls) {
  FakeJournalStore journal;
  EXPECT_EQ(journal.load(), std::nullopt);
  journal.save(SleepJournal(2, true));
  EXPECT_EQ(journal.load(), SleepJournal(2, true));
  journal.clear();
  journal.clear();
  EXPECT_EQ(journal.record(), std::nullopt);
  EXPECT_THAT(journal.calls(), ElementsAre("load", "save(2,true)", "load", "clear", "clear"));
}

TEST(FakeJournalStoreTest, FailedCallsLeaveTheRecord) {
  FakeJournalStore journal(SleepJournal(false));
  journal.failNextSave(std::runtime_error("save"));
  EXPECT_THROW(journal.save(SleepJournal(true)), std::runtime_error);
  journal.failEveryClear(std::runtime_error("clear"));
  EXPECT_THROW(journal.clear(), std::runtime_error);
  EXPECT_THROW(journal.clear(), std::runtime_error);
  journal.failNextLoad(std::runtime_error("load"));
  EXPECT_THROW(journal.load(), std::runtime_error);
  EXPECT_EQ(journal.load(), SleepJournal(false));
  journal.stopFailing();
  journal.clear();
  EXPECT_EQ(journal.record(), std::nullopt);
}

}  // namespace
}  // namespace quellan
