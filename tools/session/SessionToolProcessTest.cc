// The dravik-session program itself against a stand-in daemon served by this test process
// (signed as the daemon by the build) over the real transport: its wiring of the event
// loop, the renewal timer and the stop signals.

#include <fcntl.h>
#include <gtest/gtest.h>
#include <poll.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cstdlib>
#include <filesystem>
#include <mutex>
#include <optional>
#include <string>
#include <vector>

#include "Platform/CodeIdentity/IdentityFiles.h"
#include "Platform/CodeIdentity/SodiumCodeSigning.h"
#include "Platform/LocalService/ServiceListener.h"
#include "QuellanServiceProtocol/ServiceProtocol.h"

namespace dravik {
namespace {

using quellan::CompatibilityService;
using quellan::QuellanSleepServiceProtocol;

// Generous: a renewal comes 5 s after the begin, and CI machines are slow.
constexpr auto kBound = std::chrono::seconds(30);

// Answers every command with ok and records what was asked.
class StandInDaemon : public QuellanSleepServiceProtocol {
 public:
  void status(StatusReply reply) override {
    record("status");
    reply(CompatibilityService::version, true, false);
  }
  void beginSession(std::int64_t minutes, CommandReply reply) override {
    record("beginSession " + std::to_string(minutes));
    reply(true, std::nullopt);
  }
  void renewSession(CommandReply reply) override {
    record("renewSession");
    reply(true, std::nullopt);
  }
  void endSession(CommandReply reply) override {
    record("endSession");
    reply(true, std::nullopt);
  }
  void prepareForRemoval(CommandReply reply) override {
    record("prepareForRemoval");
    reply(false, "兼容组件正在移除，请重新安装后再试");
  }

  std::vector<std::string> calls() {
    std::lock_guard lock(mutex_);
    return calls_;
  }

 private:
  void record(std::string call) {
    std::lock_guard lock(mutex_);
    calls_.push_back(std::move(call));
  }
  std::mutex mutex_;
  std::vector<std::string> calls_;
};

class AcceptEveryone : public platform::ServiceListenerDelegate {
 public:
  explicit AcceptEveryone(std::shared_ptr<StandInDaemon> daemon) : daemon_(std::move(daemon)) {}
  bool shouldAcceptNewConnection(platform::IncomingConnection& connection) override {
    connection.setExportedObject(daemon_);
    connection.resume();
    return true;
  }

 private:
  std::shared_ptr<StandInDaemon> daemon_;
};

// A running dravik-session whose standard output is read line by line.
class Session {
 public:
  explicit Session(const std::vector<std::string>& arguments) {
    int out[2];
    if (::pipe2(out, O_CLOEXEC) != 0) throw std::runtime_error("pipe2");
    std::vector<std::string> argv{DRAVIK_SESSION_PROGRAM};
    argv.insert(argv.end(), arguments.begin(), arguments.end());
    pid_ = ::fork();
    if (pid_ == 0) {
      ::dup2(out[1], STDOUT_FILENO);
      std::vector<char*> raw;
      for (auto& a : argv) raw.push_back(a.data());
      raw.push_back(nullptr);
      ::execv(raw[0], raw.data());
      ::_exit(127);
    }
    ::close(out[1]);
    out_ = out[0];
  }
  ~Session() {
    if (pid_ > 0 && !status_) {
      ::kill(pid_, SIGKILL);
      ::waitpid(pid_, nullptr, 0);
    }
    ::close(out_);
  }

  // The next whole line of output; absent at the end of output or after kBound.
  std::optional<std::string> line() {
    auto deadline = std::chrono::steady_clock::now() + kBound;
    for (;;) {
      if (auto newline = buffer_.find('\n'); newline != std::string::npos) {
        std::string line = buffer_.substr(0, newline);
        buffer_.erase(0, newline + 1);
        return line;
      }
      auto left = std::chrono::duration_cast<std::chrono::milliseconds>(
          deadline - std::chrono::steady_clock::now());
      pollfd p{out_, POLLIN, 0};
      if (left.count() <= 0 || ::poll(&p, 1, static_cast<int>(left.count())) != 1) {
        return std::nullopt;
      }
      char chunk[512];
      ssize_t n = ::read(out_, chunk, sizeof chunk);
      if (n <= 0) return std::nullopt;
      buffer_.append(chunk, static_cast<std::size_t>(n));
    }
  }
  void signal(int number) { ::kill(pid_, number); }
  // The exit status; -1 when it did not exit normally.
  int wait() {
    int status = 0;
    ::waitpid(pid_, &status, 0);
    status_ = status;
    return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
  }

 private:
  pid_t pid_ = -1;
  int out_ = -1;
  std::string buffer_;
  std::optional<int> status_;
};

class SessionToolProcessTest : public ::testing::Test {
 protected:
  void SetUp() override {
    // The tool insists on a daemon running as root, as the real one does.
    if (::geteuid() != 0) GTEST_SKIP() << "needs root";
    char pattern[] = "/tmp/dravik-session-XXXXXX";
    root_ = ::mkdtemp(pattern);
    ::setenv("DRAVIK_MACHINE", root_.c_str(), 1);
    platform::installAnchorPublicKey(DRAVIK_DEV_ANCHOR_DIR, root_);
    listener_.emplace(CompatibilityService::name(), delegate_, signing_);
    listener_->resume();
  }
  void TearDown() override {
    listener_.reset();
    if (!root_.empty()) {
      ::unsetenv("DRAVIK_MACHINE");
      std::filesystem::remove_all(root_);
    }
  }

  std::string root_;
  std::shared_ptr<StandInDaemon> daemon_ = std::make_shared<StandInDaemon>();
  AcceptEveryone delegate_{daemon_};
  platform::SodiumCodeSigning signing_{DRAVIK_DEV_ANCHOR_DIR "/anchor.pub"};
  std::optional<platform::ServiceListener> listener_;
};

TEST_F(SessionToolProcessTest, BeginRenewsOnTheTimerThenEndsAfterTheRenewalLimit) {
  Session session({"--language", "en", "begin", "--minutes", "30", "--renewals", "1"});
  EXPECT_EQ(session.line(), "Closed-lid session began. Time limit: 30 minutes");
  EXPECT_EQ(session.line(), "Renewed (1)");
  EXPECT_EQ(session.line(), "Session ended. Normal sleep restored.");
  EXPECT_EQ(session.line(), std::nullopt);
  EXPECT_EQ(session.wait(), 0);
  EXPECT_EQ(daemon_->calls(),
            (std::vector<std::string>{"beginSession 30", "renewSession", "endSession"}));
}

TEST_F(SessionToolProcessTest, StopSignalsEndTheSession) {
  for (int number : {SIGTERM, SIGINT}) {
    Session session({"--language", "zh-Hans", "begin"});
    EXPECT_EQ(session.line(), "合盖会话已开始。最长保持：直到开盖");
    session.signal(number);
    EXPECT_EQ(session.line(), "会话已结束，恢复正常睡眠") << number;
    EXPECT_EQ(session.wait(), 0) << number;
  }
  EXPECT_EQ(daemon_->calls(), (std::vector<std::string>{"beginSession 0", "endSession",
                                                        "beginSession 0", "endSession"}));
}

TEST_F(SessionToolProcessTest, OneShotCommands) {
  {
    Session session({"--language", "en", "status"});
    EXPECT_EQ(session.line(), "Compatibility component ready");
    EXPECT_EQ(session.line(), "Closed-lid session: running");
    EXPECT_EQ(session.wait(), 0);
  }
  {
    Session session({"--language", "en", "remove"});
    EXPECT_EQ(session.line(),
              "Compatibility service is being removed. Reinstall it before trying again.");
    EXPECT_EQ(session.wait(), 1);
  }
  EXPECT_EQ(daemon_->calls(), (std::vector<std::string>{"status", "prepareForRemoval"}));
}

}  // namespace
}  // namespace dravik
