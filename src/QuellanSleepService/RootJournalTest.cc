#include <fcntl.h>
#include <gmock/gmock.h>
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <sys/sysmacros.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cctype>
#include <cerrno>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <functional>
#include <limits>
#include <map>
#include <nlohmann/json.hpp>
#include <set>
#include <string>
#include <system_error>
#include <vector>

#include "Platform/MachineRoot.h"
#include "QuellanServiceCore/ServiceFailure.h"
#include "QuellanSleepService/RootJournal.h"

namespace quellan {
namespace {

namespace fs = std::filesystem;
using ::testing::ElementsAre;
using ::testing::IsEmpty;

const char* const kNeedsRoot = "兼容服务需要 macOS 管理员授权";
const char* const kDirectoryInvalid = "兼容组件恢复目录权限异常，请联系支持";
const char* const kCannotRead = "无法读取兼容组件恢复记录";
const char* const kFileInvalid = "兼容组件恢复记录权限或格式异常，请联系支持";
const char* const kCannotSave = "无法保存兼容组件恢复记录";
const char* const kCannotSaveSafely = "无法安全保存兼容组件恢复记录";
const char* const kCannotClear = "无法清除兼容组件恢复记录";

const std::string kFalseRecord = R"({"schema":1,"originalDisabled":false})";
const std::string kTrueRecord = R"({"schema":1,"originalDisabled":true})";

// The message of the ServiceFailure `action` throws; "" when it does not throw one.
std::string failureOf(const std::function<void()>& action) {
  try {
    action();
  } catch (const ServiceFailure& failure) {
    return failure.what();
  }
  return "";
}

std::string upperCase(std::string text) {
  for (char& c : text) c = static_cast<char>(std::toupper(static_cast<unsigned char>(c)));
  return text;
}

// The real calls, recorded by name, with the n-th call of a kind made to fail.
class ScriptedCalls : public JournalSystemCallsWrapper {
 public:
  // Makes a read or write transfer one byte less than asked, instead of failing.
  static constexpr int kShort = -1;

  // The n-th call (counted from now, from 1) to `call` fails with errno `error`.
  void fail(const std::string& call, int error, int nth = 1) { rules_[call] = {error, nth}; }

  std::vector<std::string> calls;
  std::vector<std::string> openedNames;
  std::vector<int> openedFlags;
  std::set<int> openDescriptors;
  std::optional<uid_t> euid;

  uid_t geteuid() override {
    calls.push_back("geteuid");
    return euid.value_or(JournalSystemCallsWrapper::geteuid());
  }
  int mkdir(const char* path, mode_t mode) override {
    if (failing("mkdir")) return -1;
    return JournalSystemCallsWrapper::mkdir(path, mode);
  }
  int open(const char* path, int flags) override {
    if (failing("open")) return -1;
    return opened(JournalSystemCallsWrapper::open(path, flags));
  }
  int openat(int directory, const char* name, int flags, mode_t mode) override {
    openedNames.push_back(name);
    openedFlags.push_back(flags);
    if (failing("openat")) return -1;
    return opened(JournalSystemCallsWrapper::openat(directory, name, flags, mode));
  }
  int fstat(int fd, struct stat* status) override {
    if (failing("fstat")) return -1;
    return JournalSystemCallsWrapper::fstat(fd, status);
  }
  ssize_t read(int fd, void* buffer, std::size_t count) override {
    if (failing("read")) return -1;
    if (shortening_) count -= 1;
    return JournalSystemCallsWrapper::read(fd, buffer, count);
  }
  ssize_t write(int fd, const void* buffer, std::size_t count) override {
    if (failing("write")) return -1;
    if (shortening_) count -= 1;
    return JournalSystemCallsWrapper::write(fd, buffer, count);
  }
  int fsync(int fd) override {
    if (failing("fsync")) return -1;
    return JournalSystemCallsWrapper::fsync(fd);
  }
  int fullFlush(int fd) override {
    if (failing("fullFlush")) return -1;
    return JournalSystemCallsWrapper::fullFlush(fd);
  }
  int renameat(int fromDirectory, const char* from, int toDirectory, const char* to) override {
    if (failing("renameat")) return -1;
    return JournalSystemCallsWrapper::renameat(fromDirectory, from, toDirectory, to);
  }
  int unlinkat(int directory, const char* name, int flags) override {
    if (failing("unlinkat")) return -1;
    return JournalSystemCallsWrapper::unlinkat(directory, name, flags);
  }
  int close(int fd) override {
    calls.push_back("close");
    openDescriptors.erase(fd);
    return JournalSystemCallsWrapper::close(fd);
  }

 private:
  struct Rule {
    int error;
    int remaining;
  };

  // Records the call; true when it is to fail (errno set).
  bool failing(const std::string& call) {
    calls.push_back(call);
    shortening_ = false;
    auto rule = rules_.find(call);
    if (rule == rules_.end() || --rule->second.remaining != 0) return false;
    const int error = rule->second.error;
    rules_.erase(rule);
    if (error == kShort) {
      shortening_ = true;
      return false;
    }
    errno = error;
    return true;
  }
  int opened(int fd) {
    if (fd >= 0) openDescriptors.insert(fd);
    return fd;
  }

  std::map<std::string, Rule> rules_;
  bool shortening_ = false;
};

class RootJournalTest : public ::testing::Test {
 protected:
  void SetUp() override {
    char pattern[] = "/tmp/root-journal-test-XXXXXX";
    ASSERT_NE(mkdtemp(pattern), nullptr);
    parent = pattern;
    path = parent + "/dravik.compatibility";
  }
  void TearDown() override { fs::remove_all(parent); }

  std::string file(const std::string& name = "recovery.json") const { return path + "/" + name; }

  // Writes `bytes` as `name` in the journal directory with exactly `mode` and owner `uid`.
  void put(const std::string& name, const std::string& bytes, mode_t mode = 0600, uid_t uid = 0) {
    const int fd = ::open(file(name).c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0600);
    ASSERT_GE(fd, 0);
    ASSERT_EQ(::write(fd, bytes.data(), bytes.size()), static_cast<ssize_t>(bytes.size()));
    ASSERT_EQ(::fchmod(fd, mode), 0);
    ASSERT_EQ(::fchown(fd, uid, 0), 0);
    ::close(fd);
  }

  std::string contents(const std::string& name = "recovery.json") const {
    std::ifstream in(file(name), std::ios::binary);
    return std::string(std::istreambuf_iterator<char>(in), {});
  }

  std::vector<std::string> entries() const {
    std::vector<std::string> names;
    for (const auto& entry : fs::directory_iterator(path)) {
      names.push_back(entry.path().filename().string());
    }
    std::sort(names.begin(), names.end());
    return names;
  }

  static struct stat lstatOf(const std::string& p) {
    struct stat status {};
    EXPECT_EQ(::lstat(p.c_str(), &status), 0) << p;
    return status;
  }

  // A record padded with trailing spaces (valid JSON) to exactly `size` bytes.
  static std::string padded(std::size_t size) {
    std::string bytes = kTrueRecord;
    bytes.resize(size, ' ');
    return bytes;
  }

  std::string parent;
  std::string path;
};

TEST_F(RootJournalTest, DefaultDirectoryIsInsideTheMachineRoot) {
  EXPECT_EQ(RootJournal::defaultDirectory(),
            dravik::platform::machineRoot() + "/Library/Application Support/dravik.compatibility");
}

TEST_F(RootJournalTest, ConstructionCreatesAPrivateRootDirectory) {
  RootJournal journal(path);
  const struct stat status = lstatOf(path);
  EXPECT_TRUE(S_ISDIR(status.st_mode));
  EXPECT_EQ(status.st_mode & 0777, 0700u);
  EXPECT_EQ(status.st_uid, 0u);
  EXPECT_THAT(entries(), IsEmpty());
}

TEST_F(RootJournalTest, ConstructionUsesAnExistingDirectoryAsItIs) {
  ASSERT_EQ(::mkdir(path.c_str(), 0700), 0);
  ASSERT_EQ(::chown(path.c_str(), 0, 12345), 0);  // the group is not examined
  put("recovery.json", kTrueRecord);
  RootJournal journal(path);
  EXPECT_EQ(journal.load(), SleepJournal(true));
  EXPECT_EQ(lstatOf(path).st_gid, 12345u);
}

TEST_F(RootJournalTest, ConstructionRefusesADirectoryThatIsNotPrivateToRoot) {
  struct Case {
    const char* name;
    std::function<void(const std::string&)> make;
  };
  const Case cases[] = {
      {"mode 0755",
       [](const std::string& p) {
         ::mkdir(p.c_str(), 0700);
         ::chmod(p.c_str(), 0755);
       }},
      {"mode 0711",
       [](const std::string& p) {
         ::mkdir(p.c_str(), 0700);
         ::chmod(p.c_str(), 0711);
       }},
      {"mode 0500",
       [](const std::string& p) {
         ::mkdir(p.c_str(), 0700);
         ::chmod(p.c_str(), 0500);
       }},
      {"another owner",
       [](const std::string& p) {
         ::mkdir(p.c_str(), 0700);
         EXPECT_EQ(::chown(p.c_str(), 1000, 0), 0);
       }},
      {"symbolic link",
       [this](const std::string& p) {
         const std::string real = parent + "/real";
         ::mkdir(real.c_str(), 0700);
         ::symlink(real.c_str(), p.c_str());
       }},
      {"regular file",
       [](const std::string& p) { ::close(::open(p.c_str(), O_CREAT | O_WRONLY, 0700)); }},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    fs::remove_all(path);
    fs::remove_all(parent + "/real");
    c.make(path);
    const struct stat before = lstatOf(path);
    EXPECT_EQ(failureOf([&] { RootJournal journal(path); }), kDirectoryInvalid);
    // Reported, never repaired.
    const struct stat after = lstatOf(path);
    EXPECT_EQ(after.st_mode, before.st_mode);
    EXPECT_EQ(after.st_uid, before.st_uid);
  }
}

TEST_F(RootJournalTest, ConstructionReportsAFailedMkdirAsItsPosixError) {
  try {
    RootJournal journal(parent + "/missing/dravik.compatibility");
    FAIL() << "construction succeeded";
  } catch (const std::system_error& error) {
    EXPECT_EQ(error.code(), std::error_code(ENOENT, std::generic_category()));
  }
}

TEST_F(RootJournalTest, ConstructionReportsInjectedMkdirErrors) {
  // 0 is no error code at all and is reported as EIO.
  for (int error : {EIO, EACCES, ENOSPC, 0}) {
    SCOPED_TRACE(error);
    ScriptedCalls calls;
    calls.fail("mkdir", error);
    try {
      RootJournal journal(path, calls);
      FAIL() << "construction succeeded";
    } catch (const std::system_error& thrown) {
      EXPECT_EQ(thrown.code(), std::error_code(error ? error : EIO, std::generic_category()));
    }
  }
}

TEST_F(RootJournalTest, ConstructionClosesTheDirectoryItRefuses) {
  ScriptedCalls calls;
  calls.fail("fstat", EIO);
  EXPECT_EQ(failureOf([&] { RootJournal journal(path, calls); }), kDirectoryInvalid);
  EXPECT_THAT(calls.calls, ElementsAre("geteuid", "mkdir", "open", "fstat", "close"));
  EXPECT_THAT(calls.openDescriptors, IsEmpty());

  ScriptedCalls failingOpen;
  failingOpen.fail("open", EACCES);
  EXPECT_EQ(failureOf([&] { RootJournal journal(path, failingOpen); }), kDirectoryInvalid);
  EXPECT_THAT(failingOpen.calls, ElementsAre("geteuid", "mkdir", "open"));
}

TEST_F(RootJournalTest, ConstructionRefusesAnyoneButRootBeforeTouchingTheDisk) {
  ScriptedCalls calls;
  calls.euid = 501;
  EXPECT_EQ(failureOf([&] { RootJournal journal(path, calls); }), kNeedsRoot);
  EXPECT_THAT(calls.calls, ElementsAre("geteuid"));
  EXPECT_FALSE(fs::exists(path));
}

// The same with a real non-root user, in a child process that reports through its status.
TEST_F(RootJournalTest, ConstructionRefusesARealNonRootUser) {
  const pid_t child = ::fork();
  ASSERT_GE(child, 0);
  if (child == 0) {
    int status = 1;
    if (::setresgid(65534, 65534, 65534) != 0 || ::setresuid(65534, 65534, 65534) != 0) {
      ::_exit(3);
    }
    try {
      RootJournal journal(path);
    } catch (const ServiceFailure& failure) {
      status = std::string(failure.what()) == kNeedsRoot ? 0 : 2;
    } catch (...) {
      status = 4;
    }
    ::_exit(status);
  }
  int status = 0;
  ASSERT_EQ(::waitpid(child, &status, 0), child);
  ASSERT_TRUE(WIFEXITED(status));
  EXPECT_EQ(WEXITSTATUS(status), 0) << "1: constructed, 2: other message, 3: setresuid, 4: "
                                       "other error";
  EXPECT_FALSE(fs::exists(path));
}

TEST_F(RootJournalTest, NoJournalLoadsAsNothingAndClears) {
  RootJournal journal(path);
  EXPECT_EQ(journal.load(), std::nullopt);
  journal.clear();
  EXPECT_THAT(entries(), IsEmpty());
}

TEST_F(RootJournalTest, SaveWritesExactlyTheCompactRecord) {
  RootJournal journal(path);
  journal.save(SleepJournal(false));
  EXPECT_EQ(contents(), kFalseRecord);
  EXPECT_EQ(contents().size(), 37u);
  EXPECT_THAT(entries(), ElementsAre("recovery.json"));
  const struct stat status = lstatOf(file());
  EXPECT_TRUE(S_ISREG(status.st_mode));
  EXPECT_EQ(status.st_mode & 0777, 0600u);
  EXPECT_EQ(status.st_uid, 0u);
  EXPECT_EQ(status.st_nlink, 1u);
  EXPECT_EQ(journal.load(), SleepJournal(false));
}

TEST_F(RootJournalTest, SaveTwiceKeepsOnlyTheSecondRecord) {
  RootJournal journal(path);
  journal.save(SleepJournal(false));
  journal.save(SleepJournal(2, true));
  EXPECT_EQ(contents(), R"({"schema":2,"originalDisabled":true})");
  EXPECT_THAT(entries(), ElementsAre("recovery.json"));
  EXPECT_EQ(journal.load(), SleepJournal(2, true));
}

TEST_F(RootJournalTest, ClearTwiceSucceedsBothTimes) {
  RootJournal journal(path);
  journal.save(SleepJournal(false));
  journal.clear();
  EXPECT_THAT(entries(), IsEmpty());
  journal.clear();
  EXPECT_EQ(journal.load(), std::nullopt);
}

TEST_F(RootJournalTest, LoadReadsUpTo4096Bytes) {
  RootJournal journal(path);
  put("recovery.json", padded(4096));
  EXPECT_EQ(journal.load(), SleepJournal(true));
  put("recovery.json", "1");  // one byte passes the checks and then fails to decode
  EXPECT_THROW(journal.load(), nlohmann::json::type_error);
}

TEST_F(RootJournalTest, LoadRefusesFilesThatAreNotPlainPrivateAndSmall) {
  struct Case {
    const char* name;
    std::function<void()> make;
  };
  const Case cases[] = {
      {"empty", [&] { put("recovery.json", ""); }},
      {"4097 bytes", [&] { put("recovery.json", padded(4097)); }},
      {"mode 0644", [&] { put("recovery.json", kTrueRecord, 0644); }},
      {"mode 0400", [&] { put("recovery.json", kTrueRecord, 0400); }},
      {"mode 0700", [&] { put("recovery.json", kTrueRecord, 0700); }},
      {"another owner", [&] { put("recovery.json", kTrueRecord, 0600, 1000); }},
      {"second hard link",
       [&] {
         put("recovery.json", kTrueRecord);
         ASSERT_EQ(::link(file().c_str(), file("copy").c_str()), 0);
       }},
      {"directory", [&] { ASSERT_EQ(::mkdir(file().c_str(), 0600), 0); }},
      {"FIFO", [&] { ASSERT_EQ(::mkfifo(file().c_str(), 0600), 0); }},
  };
  RootJournal journal(path);
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    for (const std::string& name : entries()) fs::remove_all(file(name));
    c.make();
    // A FIFO would block a plain open for a writer forever; never wait that long.
    ::alarm(60);
    EXPECT_EQ(failureOf([&] { journal.load(); }), kFileInvalid);
    ::alarm(0);
    EXPECT_TRUE(fs::exists(fs::symlink_status(file()))) << "refused files stay";
  }
}

TEST_F(RootJournalTest, LoadRefusesADeviceNode) {
  RootJournal journal(path);
  if (::mknod(file().c_str(), S_IFCHR | 0600, makedev(1, 3)) != 0) {
    GTEST_SKIP() << "cannot make device nodes here: " << std::strerror(errno);
  }
  EXPECT_EQ(failureOf([&] { journal.load(); }), kFileInvalid);
}

TEST_F(RootJournalTest, LoadNeverFollowsASymbolicLink) {
  RootJournal journal(path);
  put("target.json", kTrueRecord);
  for (const std::string& target : {std::string("target.json"), file("target.json")}) {
    SCOPED_TRACE(target);
    fs::remove(file());
    ASSERT_EQ(::symlink(target.c_str(), file().c_str()), 0);
    EXPECT_EQ(failureOf([&] { journal.load(); }), kCannotRead);
  }
}

TEST_F(RootJournalTest, LoadPassesDecodingErrorsThrough) {
  RootJournal journal(path);
  put("recovery.json", "not JSON");
  EXPECT_THROW(journal.load(), nlohmann::json::parse_error);
  put("recovery.json", R"({"originalDisabled":false})");
  EXPECT_THROW(journal.load(), nlohmann::json::out_of_range);
}

TEST_F(RootJournalTest, LoadTakesUnknownVersionsAndIgnoresExtraMembers) {
  RootJournal journal(path);
  put("recovery.json", R"({"schema":2,"originalDisabled":false})");
  EXPECT_EQ(journal.load(), SleepJournal(2, false));
  put("recovery.json", R"({"note":"x","originalDisabled":true,"schema":1,"more":[1,{}]})");
  EXPECT_EQ(journal.load(), SleepJournal(true));
}

TEST(JournalCodingTest, EncodesCompactlyWithTheSchemaFirst) {
  EXPECT_EQ(encodeJournal(SleepJournal(false)), kFalseRecord);
  EXPECT_EQ(encodeJournal(SleepJournal(true)), kTrueRecord);
  EXPECT_EQ(encodeJournal(SleepJournal(-3, false)), R"({"schema":-3,"originalDisabled":false})");
}

TEST(JournalCodingTest, DecodesRecords) {
  struct Case {
    const char* bytes;
    SleepJournal record;
  };
  const Case cases[] = {
      {R"({"schema":1,"originalDisabled":false})", SleepJournal(false)},
      {R"({"originalDisabled":true,"schema":1})", SleepJournal(true)},
      {" {\"schema\" : 2, \"originalDisabled\" : false}\n", SleepJournal(2, false)},
      {R"({"schema":1,"originalDisabled":false,"schema2":"x"})", SleepJournal(false)},
      {R"({"schema":-7,"originalDisabled":true})", SleepJournal(-7, true)},
      {R"({"schema":1.0,"originalDisabled":false})", SleepJournal(false)},
      {R"({"schema":2e0,"originalDisabled":false})", SleepJournal(2, false)},
      {R"({"schema":-0.0,"originalDisabled":false})", SleepJournal(0, false)},
      {R"({"schema":9007199254740991.0,"originalDisabled":false})",
       SleepJournal(9007199254740991, false)},
      {R"({"schema":9223372036854775807,"originalDisabled":false})",
       SleepJournal(std::numeric_limits<std::int64_t>::max(), false)},
      {R"({"schema":-9223372036854775808,"originalDisabled":false})",
       SleepJournal(std::numeric_limits<std::int64_t>::min(), false)},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.bytes);
    EXPECT_EQ(decodeJournal(c.bytes), c.record);
  }
}

TEST(JournalCodingTest, RefusesAnythingElseWithTheLibrarysOwnErrors) {
  enum Kind { kParse, kType, kRange };
  struct Case {
    const char* bytes;
    Kind kind;
  };
  const Case cases[] = {
      {"not JSON", kParse},
      {"", kParse},
      {R"({"schema":1,"originalDisabled":false}x)", kParse},
      {R"({"schema":1e400,"originalDisabled":false})", kRange},
      {R"({"originalDisabled":false})", kRange},
      {R"({"schema":1})", kRange},
      {"{}", kRange},
      {R"([1,false])", kType},
      {R"("text")", kType},
      {R"({"schema":"1","originalDisabled":false})", kType},
      {R"({"schema":true,"originalDisabled":false})", kType},
      {R"({"schema":null,"originalDisabled":false})", kType},
      {R"({"schema":1,"originalDisabled":0})", kType},
      {R"({"schema":1,"originalDisabled":"false"})", kType},
      {R"({"schema":1,"originalDisabled":null})", kType},
      {R"({"schema":1.5,"originalDisabled":false})", kType},
      {R"({"schema":-0.25,"originalDisabled":false})", kType},
      {R"({"schema":9223372036854775808,"originalDisabled":false})", kRange},
      {R"({"schema":18446744073709551615,"originalDisabled":false})", kRange},
      {R"({"schema":100000000000000000000,"originalDisabled":false})", kRange},
      {R"({"schema":-9223372036854775809,"originalDisabled":false})", kRange},
      {R"({"schema":9007199254740992.0,"originalDisabled":false})", kRange},
      {R"({"schema":9007199254740993.0,"originalDisabled":false})", kRange},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.bytes);
    switch (c.kind) {
      case kParse:
        EXPECT_THROW(decodeJournal(c.bytes), nlohmann::json::parse_error);
        break;
      case kType:
        EXPECT_THROW(decodeJournal(c.bytes), nlohmann::json::type_error);
        break;
      case kRange:
        EXPECT_THROW(decodeJournal(c.bytes), nlohmann::json::out_of_range);
        break;
    }
  }
}

TEST_F(RootJournalTest, EachOperationMakesItsCallsAndClosesWhatItOpens) {
  ScriptedCalls calls;
  {
    RootJournal journal(path, calls);
    EXPECT_THAT(calls.calls, ElementsAre("geteuid", "mkdir", "open", "fstat"));
    EXPECT_EQ(calls.openDescriptors.size(), 1u);

    calls.calls.clear();
    journal.save(SleepJournal(false));
    EXPECT_THAT(calls.calls, ElementsAre("openat", "write", "fsync", "fullFlush", "renameat",
                                         "fsync", "close", "unlinkat"));
    ASSERT_EQ(calls.openedNames.size(), 1u);
    const std::string& temporary = calls.openedNames[0];
    EXPECT_EQ(temporary.rfind(".recovery-", 0), 0u) << temporary;
    EXPECT_EQ(temporary.size(), 10u + 36u) << temporary;
    EXPECT_EQ(temporary.substr(10), upperCase(temporary.substr(10)));
    EXPECT_EQ(calls.openedFlags[0] & (O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC),
              O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC);

    calls.calls.clear();
    EXPECT_EQ(journal.load(), SleepJournal(false));
    EXPECT_THAT(calls.calls, ElementsAre("openat", "fstat", "read", "close"));
    EXPECT_EQ(calls.openedNames[1], "recovery.json");
    EXPECT_EQ(calls.openedFlags[1] & (O_NOFOLLOW | O_NONBLOCK | O_CLOEXEC),
              O_NOFOLLOW | O_NONBLOCK | O_CLOEXEC);

    calls.calls.clear();
    journal.clear();
    EXPECT_THAT(calls.calls, ElementsAre("unlinkat", "fsync"));
    EXPECT_EQ(calls.openDescriptors.size(), 1u);
  }
  EXPECT_THAT(calls.openDescriptors, IsEmpty());
}

TEST_F(RootJournalTest, FailedSaveLeavesTheOldJournalAndNoTemporaryFile) {
  struct Case {
    const char* call;
    int error;
    int nth;
    const char* message;
  };
  const Case cases[] = {
      {"openat", EACCES, 1, kCannotSave},
      {"write", ENOSPC, 1, kCannotSaveSafely},
      {"write", ScriptedCalls::kShort, 1, kCannotSaveSafely},
      {"fsync", EIO, 1, kCannotSaveSafely},
      {"fullFlush", EIO, 1, kCannotSaveSafely},
      {"renameat", EIO, 1, kCannotSaveSafely},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(testing::Message() << c.call << " " << c.error);
    ScriptedCalls calls;
    RootJournal journal(path, calls);
    journal.save(SleepJournal(true));
    calls.fail(c.call, c.error, c.nth);
    EXPECT_EQ(failureOf([&] { journal.save(SleepJournal(false)); }), c.message);
    EXPECT_EQ(contents(), kTrueRecord);
    EXPECT_THAT(entries(), ElementsAre("recovery.json"));
    EXPECT_EQ(calls.openDescriptors.size(), 1u);
  }
}

TEST_F(RootJournalTest, FailedDirectoryFlushAfterTheRenameIsAFailedSave) {
  ScriptedCalls calls;
  RootJournal journal(path, calls);
  journal.save(SleepJournal(true));
  calls.fail("fsync", EIO, 2);
  EXPECT_EQ(failureOf([&] { journal.save(SleepJournal(false)); }), kCannotSaveSafely);
  // The rename happened: the new record is whole, but its durability is not promised.
  EXPECT_EQ(contents(), kFalseRecord);
  EXPECT_THAT(entries(), ElementsAre("recovery.json"));
}

TEST_F(RootJournalTest, FailedClearReportsItself) {
  for (const char* call : {"unlinkat", "fsync"}) {
    SCOPED_TRACE(call);
    ScriptedCalls calls;
    RootJournal journal(path, calls);
    journal.save(SleepJournal(false));
    calls.fail(call, EIO);
    EXPECT_EQ(failureOf([&] { journal.clear(); }), kCannotClear);
  }
  // The directory is flushed even when there was nothing to remove.
  ScriptedCalls calls;
  RootJournal journal(path, calls);
  journal.clear();
  calls.fail("fsync", EIO);
  EXPECT_EQ(failureOf([&] { journal.clear(); }), kCannotClear);
}

TEST_F(RootJournalTest, FailedLoadCallsReportThemselvesAndClose) {
  struct Case {
    const char* call;
    int error;
    const char* message;
  };
  const Case cases[] = {
      {"openat", EACCES, kCannotRead},
      {"openat", EIO, kCannotRead},
      {"fstat", EIO, kFileInvalid},
      {"read", EIO, kCannotRead},
      {"read", ScriptedCalls::kShort, kCannotRead},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(testing::Message() << c.call << " " << c.error);
    ScriptedCalls calls;
    RootJournal journal(path, calls);
    journal.save(SleepJournal(false));
    calls.fail(c.call, c.error);
    EXPECT_EQ(failureOf([&] { journal.load(); }), c.message);
    EXPECT_EQ(calls.openDescriptors.size(), 1u);
    EXPECT_EQ(contents(), kFalseRecord);
  }
}

}  // namespace
}  // namespace quellan
