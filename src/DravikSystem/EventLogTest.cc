#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <map>
#include <sstream>

#include "DravikSystem/EventLog.h"

namespace dravik {
namespace {

namespace fs = std::filesystem;

std::string slurp(const fs::path& path) {
  std::ifstream in(path, std::ios::binary);
  std::stringstream text;
  text << in.rdbuf();
  return text.str();
}

unsigned mode(const fs::path& path) {
  struct stat status {};
  EXPECT_EQ(::stat(path.c_str(), &status), 0) << path;
  return status.st_mode & 07777;
}

class EventLogTest : public ::testing::Test {
 protected:
  void SetUp() override {
    char pattern[] = "/tmp/eventlog-XXXXXX";
    ASSERT_NE(::mkdtemp(pattern), nullptr);
    temp = pattern;
    variables["XDG_DATA_HOME"] = (temp / "data").string();
    variables["HOME"] = (temp / "home").string();
  }
  void TearDown() override { fs::remove_all(temp); }

  EventLogContext context() {
    return EventLogContext{
        [this](const std::string& name) -> std::optional<std::string> {
          auto found = variables.find(name);
          if (found == variables.end()) return std::nullopt;
          return found->second;
        },
        [this] { return now; },
        [] { return std::int64_t{4242}; },
    };
  }
  fs::path logDir() { return temp / "data" / "Dravik"; }
  fs::path logFile() { return logDir() / "events.log"; }
  void fill(const fs::path& path, std::size_t bytes) {
    std::ofstream(path, std::ios::binary) << std::string(bytes, 'x');
  }

  fs::path temp;
  std::map<std::string, std::string> variables;
  std::int64_t now = 1740816309;  // 2025-03-01T08:05:09Z
};

TEST_F(EventLogTest, FirstCallCreatesAPrivateDirectoryAndFileWithOneLine) {
  ::umask(022);
  EventLog::write("lid closed", context());
  EXPECT_EQ(mode(logDir()), 0700u);
  EXPECT_EQ(mode(logFile()), 0600u);
  EXPECT_EQ(slurp(logFile()), "2025-03-01T08:05:09Z pid=4242 lid closed\n");
}

TEST_F(EventLogTest, ExistingDirectoryAndFileKeepTheirPermissions) {
  fs::create_directories(logDir());
  ::chmod(logDir().c_str(), 0755);
  fill(logFile(), 3);
  ::chmod(logFile().c_str(), 0644);
  EventLog::write("m", context());
  EXPECT_EQ(mode(logDir()), 0755u);
  EXPECT_EQ(mode(logFile()), 0644u);
  EXPECT_EQ(slurp(logFile()), "xxx2025-03-01T08:05:09Z pid=4242 m\n");
}

TEST_F(EventLogTest, LinesAreAppendedAndMessagesKeptUnchanged) {
  EventLog::write("", context());
  now += 61;
  EventLog::write("two\nlines", context());
  EventLog::write("中文：消息 \t%s", context());
  EXPECT_EQ(slurp(logFile()),
            "2025-03-01T08:05:09Z pid=4242 \n"
            "2025-03-01T08:06:10Z pid=4242 two\n"
            "lines\n"
            "2025-03-01T08:06:10Z pid=4242 中文：消息 \t%s\n");
}

TEST_F(EventLogTest, RotatesOnlyPastTheThreshold) {
  fs::create_directories(logDir());
  fill(logFile(), 512000);
  EventLog::write("kept", context());
  EXPECT_EQ(fs::file_size(logFile()), 512000u + 35u);
  EXPECT_FALSE(fs::exists(logDir() / "events-1740816309.log"));

  fill(logFile(), 512001);
  EventLog::write("fresh", context());
  EXPECT_EQ(fs::file_size(logDir() / "events-1740816309.log"), 512001u);
  EXPECT_EQ(slurp(logFile()), "2025-03-01T08:05:09Z pid=4242 fresh\n");
  EXPECT_EQ(mode(logFile()), 0600u);
}

TEST_F(EventLogTest, SecondRotationInTheSameSecondNeverOverwritesTheFirst) {
  fs::create_directories(logDir());
  fill(logFile(), 600000);
  EventLog::write("one", context());
  fill(logFile(), 700000);
  EventLog::write("two", context());
  EXPECT_EQ(fs::file_size(logDir() / "events-1740816309.log"), 600000u);
  EXPECT_EQ(fs::file_size(logFile()), 700000u + 34u);
  // A later second rotates it.
  now += 1;
  EventLog::write("three", context());
  EXPECT_EQ(fs::file_size(logDir() / "events-1740816310.log"), 700034u);
  EXPECT_EQ(slurp(logFile()), "2025-03-01T08:05:10Z pid=4242 three\n");
}

TEST_F(EventLogTest, DirectoryComesFromXdgDataHomeOrHome) {
  EXPECT_EQ(EventLog::directory(context()), (temp / "data" / "Dravik").string());
  variables["XDG_DATA_HOME"] = "relative/path";  // not absolute: ignored
  EXPECT_EQ(EventLog::directory(context()), (temp / "home" / ".local/share/Dravik").string());
  variables.erase("XDG_DATA_HOME");
  EXPECT_EQ(EventLog::directory(context()), (temp / "home" / ".local/share/Dravik").string());
  variables["XDG_DATA_HOME"] = "";
  EXPECT_EQ(EventLog::directory(context()), (temp / "home" / ".local/share/Dravik").string());
  variables.erase("HOME");
  EXPECT_EQ(EventLog::directory(context()), std::nullopt);
  variables["XDG_DATA_HOME"] = "/x/";
  EXPECT_EQ(EventLog::directory(context()), "/x/Dravik");
}

TEST_F(EventLogTest, MissingIntermediateDirectoriesAreMade) {
  variables.erase("XDG_DATA_HOME");
  EventLog::write("m", context());
  const fs::path file = temp / "home" / ".local" / "share" / "Dravik" / "events.log";
  EXPECT_EQ(slurp(file), "2025-03-01T08:05:09Z pid=4242 m\n");
  EXPECT_EQ(mode(temp / "home" / ".local"), 0700u);
}

TEST_F(EventLogTest, UnusableDirectoryLosesTheRecordQuietly) {
  // A file where the data directory should be: nothing can be made under it.
  fill(temp / "data", 1);
  EventLog::write("lost", context());
  EXPECT_EQ(slurp(temp / "data"), "x");
  variables.clear();
  EventLog::write("lost", context());  // no directory at all
}

TEST_F(EventLogTest, ProcessContextWritesARealLine) {
  const char* saved = std::getenv("XDG_DATA_HOME");
  const std::optional<std::string> previous =
      saved ? std::optional<std::string>(saved) : std::nullopt;
  ::setenv("XDG_DATA_HOME", (temp / "data").c_str(), 1);
  EventLog::write("real");
  if (previous) {
    ::setenv("XDG_DATA_HOME", previous->c_str(), 1);
  } else {
    ::unsetenv("XDG_DATA_HOME");
  }
  const std::string text = slurp(logFile());
  // "YYYY-MM-DDTHH:MM:SSZ pid=<pid> real\n", digits where the pattern has 9.
  const std::string shape = "9999-99-99T99:99:99Z pid=";
  ASSERT_GT(text.size(), shape.size()) << text;
  for (std::size_t i = 0; i < shape.size(); ++i) {
    if (shape[i] == '9') {
      EXPECT_TRUE(text[i] >= '0' && text[i] <= '9') << text;
    } else {
      EXPECT_EQ(text[i], shape[i]) << text;
    }
  }
  EXPECT_EQ(text.substr(shape.size()), std::to_string(::getpid()) + " real\n");
}

TEST(EventLogTimestampTest, FormatsUtc) {
  EXPECT_EQ(EventLog::timestamp(0), "1970-01-01T00:00:00Z");
  EXPECT_EQ(EventLog::timestamp(1740816309), "2025-03-01T08:05:09Z");
  EXPECT_EQ(EventLog::timestamp(951782400), "2000-02-29T00:00:00Z");
}

}  // namespace
}  // namespace dravik
