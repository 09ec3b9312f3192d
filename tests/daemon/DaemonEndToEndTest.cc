// The daemon end to end: real processes as root on a temporary simulated MacBook, with
// clients running as the console user. Waits poll with generous bounds; the daemon ticks
// once a second.

#include <gtest/gtest.h>
#include <signal.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <filesystem>
#include <thread>

#include "Platform/Sim/Machine.h"
#include "tests/daemon/DaemonHarness.h"

namespace quellan::e2e {
namespace {

namespace sim = dravik::platform::sim;

constexpr const char* kNotReachable = "请先安装并授权Quellan兼容组件";
constexpr const char* kBeginRefusal = "请保持开盖，确认电量、温度和显示器状态后重试";

// Long enough for the daemon to tick at least twice.
void letTwoTicksPass() { std::this_thread::sleep_for(std::chrono::milliseconds(2300)); }

class DaemonEndToEndTest : public ::testing::Test {
 protected:
  void SetUp() override {
    if (::geteuid() != 0) GTEST_SKIP() << "needs root";
    machine = std::make_unique<TestMachine>();
    startDaemon();
  }

  void startDaemon() {
    daemon = std::make_unique<DaemonProcess>(*machine);
    ASSERT_TRUE(daemon->ready()) << daemon->log();
  }

  // The setting is back to the original, the journal is gone and nothing is left behind.
  void expectRestored(double seconds = 5.0) {
    EXPECT_TRUE(
        waitUntil([&] { return !machine->sleepDisabled() && !machine->journalExists(); }, seconds))
        << daemon->log();
    EXPECT_EQ(machine->temporaryFiles(), 0);
  }

  void beginSession(ClientProcess& client, const std::string& minutes = "0") {
    ASSERT_EQ(client.send("begin " + minutes), "ok") << daemon->log();
    ASSERT_TRUE(machine->sleepDisabled());
    ASSERT_TRUE(machine->journalExists());
  }

  std::unique_ptr<TestMachine> machine;
  std::unique_ptr<DaemonProcess> daemon;
};

TEST_F(DaemonEndToEndTest, SessionSurvivesClosingAndEndsOnReopening) {
  ClientProcess client(*machine);
  EXPECT_EQ(client.send("status"), "status 0 0");
  beginSession(client);
  EXPECT_EQ(client.send("status"), "status 1 0");

  machine->change([](sim::Machine& m) { sim::setLidClosed(m, true); });
  EXPECT_EQ(sim::macNow(machine->state().read()), sim::MacActivity::kAwakeLidClosed);
  letTwoTicksPass();
  EXPECT_EQ(client.send("renew"), "ok");
  EXPECT_TRUE(machine->sleepDisabled()) << "the closed lid must not end the session";

  machine->change([](sim::Machine& m) { sim::setLidClosed(m, false); });
  expectRestored();
  EXPECT_EQ(client.send("status"), "status 0 0");
  EXPECT_EQ(client.send("renew"), "fail 兼容组件会话已结束，请重新开启");
}

TEST_F(DaemonEndToEndTest, EveryOtherEndingRestoresTheSetting) {
  struct Case {
    const char* name;
    std::function<void(TestMachine&, ClientProcess&)> end;
  };
  const Case cases[] = {
      {"lease not renewed for 30 s",
       [](TestMachine& m, ClientProcess&) {
         m.change([](sim::Machine& s) { sim::advanceClock(s, 31); });
       }},
      {"battery at 10% on battery power",
       [](TestMachine& m, ClientProcess&) {
         m.change([](sim::Machine& s) { sim::setBattery(s, 10, true); });
       }},
      {"thermal state serious",
       [](TestMachine& m, ClientProcess&) {
         m.change([](sim::Machine& s) { s.thermalState = 2; });
       }},
      {"nobody at the console",
       [](TestMachine& m, ClientProcess&) { m.change([](sim::Machine& s) { s.consoleUid = 0; }); }},
      // The tick does not compare users; the owner's next renewal notices the change.
      {"console user changed",
       [](TestMachine& m, ClientProcess& c) {
         m.change([](sim::Machine& s) { s.consoleUid = 502; });
         EXPECT_EQ(c.send("renew"), "fail 电量、温度或用户状态改变，本次已结束");
       }},
      {"lid unreadable",
       [](TestMachine& m, ClientProcess&) {
         m.change([](sim::Machine& s) { s.rootDomain.erase("AppleClamshellState"); });
       }},
      {"endSession", [](TestMachine&, ClientProcess& c) { EXPECT_EQ(c.send("end"), "ok"); }},
      {"client killed", [](TestMachine&, ClientProcess& c) { c.kill(); }},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    daemon.reset();
    machine = std::make_unique<TestMachine>();
    startDaemon();
    ClientProcess client(*machine);
    beginSession(client);
    c.end(*machine, client);
    expectRestored();
  }
}

TEST_F(DaemonEndToEndTest, TimeLimitEndsTheSessionAtRenewal) {
  ClientProcess client(*machine);
  beginSession(client, "30");
  // Renew every 25 simulated seconds up to and past the 30-minute limit; the clock is
  // frozen between steps so the daemon's tick cannot race the lease.
  machine->change([](sim::Machine& m) { sim::freezeClock(m); });
  std::string answer;
  int renewals = 0;
  for (; renewals < 80; ++renewals) {
    machine->change([](sim::Machine& m) { sim::advanceClock(m, 25); });
    answer = client.send("renew");
    if (answer != "ok") break;
  }
  EXPECT_EQ(answer, "fail 兼容组件会话已结束，请重新开启");
  // 71 renewals pass; the 72nd comes at 1800 s (plus the moment before the clock froze).
  EXPECT_EQ(renewals, 1800 / 25 - 1) << "the session ends when 30 minutes have passed";
  machine->change([](sim::Machine& m) { sim::runClock(m); });
  expectRestored();
}

TEST_F(DaemonEndToEndTest, PrepareForRemovalEndsTheSessionAndRefusesLaterBegins) {
  ClientProcess owner(*machine);
  ClientProcess app(*machine);
  beginSession(owner);
  EXPECT_EQ(app.send("remove"), "ok");
  expectRestored(0.5);
  EXPECT_EQ(owner.send("begin 0"), "fail 兼容组件正在移除，请重新安装后再试");
  EXPECT_EQ(owner.send("status"), "status 0 0");
}

TEST_F(DaemonEndToEndTest, StopSignalsRestoreAndExitZero) {
  for (int signal : {SIGTERM, SIGINT}) {
    SCOPED_TRACE(signal);
    ClientProcess client(*machine);
    beginSession(client);
    daemon->signal(signal);
    int status = daemon->wait();
    ASSERT_TRUE(WIFEXITED(status)) << status;
    EXPECT_EQ(WEXITSTATUS(status), 0);
    EXPECT_FALSE(machine->sleepDisabled());
    EXPECT_FALSE(machine->journalExists());
    startDaemon();
  }
}

TEST_F(DaemonEndToEndTest, FailedShutdownRestorationKeepsTheJournalForTheNextStart) {
  ClientProcess client(*machine);
  beginSession(client);
  machine->change([](sim::Machine& m) { m.faults.pmsetExitStatus = 1; });
  daemon->signal(SIGTERM);
  int status = daemon->wait();
  ASSERT_TRUE(WIFEXITED(status));
  EXPECT_EQ(WEXITSTATUS(status), 1);
  EXPECT_TRUE(machine->sleepDisabled());
  EXPECT_TRUE(machine->journalExists());
  EXPECT_NE(
      daemon->log().find("<2>dravik.sleep-service[sleep]: Shutdown recovery retained on disk: "
                         "系统拒绝兼容组件的睡眠设置"),
      std::string::npos)
      << daemon->log();

  machine->change([](sim::Machine& m) { m.faults.pmsetExitStatus.reset(); });
  startDaemon();
  expectRestored();
}

TEST_F(DaemonEndToEndTest, CrashAtAnyStepIsRepairedAtTheNextStart) {
  // Points on the way to disabling sleep (reached by begin) and inside a restoration
  // (reached by end).
  struct Case {
    const char* point;
    bool duringRestore;
  };
  const Case cases[] = {{"after-journal-save", false}, {"before-disable", false},
                        {"after-disable", false},      {"before-restore", true},
                        {"after-restore", true},       {"before-journal-clear", true}};
  for (const Case& c : cases) {
    SCOPED_TRACE(c.point);
    ClientProcess client(*machine);
    if (c.duringRestore) beginSession(client);
    machine->armCrash(c.point);
    EXPECT_EQ(client.send(c.duringRestore ? "end" : "begin 0"),
              std::string("fail ") + kNotReachable);
    int status = daemon->wait();
    ASSERT_TRUE(WIFSIGNALED(status)) << status << daemon->log();
    EXPECT_EQ(WTERMSIG(status), SIGKILL);
    EXPECT_TRUE(machine->journalExists()) << "the journal must outlive the crash";

    machine->armCrash("");
    startDaemon();
    expectRestored();
  }
}

TEST_F(DaemonEndToEndTest, BeginRefusedOnUnsafeMachine) {
  struct Case {
    const char* name;
    std::function<void(sim::Machine&)> arrange;
  };
  const Case cases[] = {
      {"lid closed", [](sim::Machine& m) { sim::setLidClosed(m, true); }},
      {"lid unreadable", [](sim::Machine& m) { m.rootDomain.erase("AppleClamshellState"); }},
      {"external display",
       [](sim::Machine& m) {
         m.displays.push_back({m.nextDisplayId++, false});
       }},
      {"10% on battery power", [](sim::Machine& m) { sim::setBattery(m, 10, true); }},
      {"thermal serious", [](sim::Machine& m) { m.thermalState = 2; }},
  };
  ClientProcess client(*machine);
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    sim::Machine before = machine->state().read();
    machine->change(c.arrange);
    EXPECT_EQ(client.send("begin 0"), std::string("fail ") + kBeginRefusal);
    EXPECT_FALSE(machine->sleepDisabled());
    EXPECT_FALSE(machine->journalExists());
    machine->state().write(before);
  }
}

TEST_F(DaemonEndToEndTest, BeginRefusedWhenSleepIsAlreadyDisabledByAnotherProgram) {
  machine->change([](sim::Machine& m) { sim::setSleepDisabled(m, true); });
  ClientProcess client(*machine);
  EXPECT_EQ(client.send("begin 0"), "fail 其他程序正在接管睡眠，请先关闭它的防睡眠功能");
  EXPECT_TRUE(machine->sleepDisabled()) << "someone else's setting is left alone";
  EXPECT_FALSE(machine->journalExists());
}

// Connections the daemon refuses fail like an unreachable daemon, and change nothing.
class RefusedClientTest : public DaemonEndToEndTest {
 protected:
  // A copy of the probe client in a fresh world-readable directory.
  std::string copyOfProbe(const std::string& name) {
    std::string directory = machine->root() + "/clients";
    std::filesystem::create_directories(directory);
    std::string path = directory + "/" + name;
    std::filesystem::copy_file(probeProgram(), path,
                               std::filesystem::copy_options::overwrite_existing);
    ::chmod(path.c_str(), 0755);
    return path;
  }
  std::string signedCopy(const std::string& name, const std::string& identifier,
                         const std::string& certificate) {
    std::string path = copyOfProbe(name);
    EXPECT_EQ(
        run({codesignProgram(), "sign", "--cert", certificate, "--identifier", identifier, path}),
        0);
    return path;
  }
  std::string teamCertificate() { return devIdentityDirectory() + "/team-Q7TX2KM9RZ"; }

  void expectRefused(ClientProcess& client) {
    EXPECT_EQ(client.send("begin 0"), std::string("fail ") + kNotReachable);
    EXPECT_EQ(client.send("status"), std::string("fail ") + kNotReachable);
    EXPECT_FALSE(machine->sleepDisabled());
    EXPECT_FALSE(machine->journalExists());
  }
};

TEST_F(RefusedClientTest, RootClient) {
  ClientProcess client(*machine, "", 0);
  expectRefused(client);
}

TEST_F(RefusedClientTest, ClientThatIsNotTheConsoleUser) {
  machine->change([](sim::Machine& m) { m.consoleUid = 502; });
  ClientProcess client(*machine);
  expectRefused(client);
}

TEST_F(RefusedClientTest, NobodyAtTheConsole) {
  machine->change([](sim::Machine& m) { m.consoleUid = 0; });
  ClientProcess client(*machine);
  expectRefused(client);
}

TEST_F(RefusedClientTest, IdentityRefusals) {
  std::string scratch = machine->root() + "/identities";
  ASSERT_EQ(run({codesignProgram(), "cert", "issue", "--anchor", devIdentityDirectory() + "/anchor",
                 "--team", "OTHERTEAM1", "--out", scratch + "/other-team"}),
            0);
  ASSERT_EQ(run({codesignProgram(), "anchor", "new", "--out", scratch + "/other-anchor"}), 0);
  ASSERT_EQ(run({codesignProgram(), "cert", "issue", "--anchor", scratch + "/other-anchor",
                 "--team", "Q7TX2KM9RZ", "--out", scratch + "/other-anchor-team"}),
            0);

  struct Case {
    const char* name;
    std::string program;
  };
  const Case cases[] = {
      {"unsigned", copyOfProbe("unsigned")},
      {"identifier outside the clients",
       signedCopy("daemon-id", "dravik.sleep-service", teamCertificate())},
      {"another team", signedCopy("other-team", "dravik", scratch + "/other-team")},
      {"another anchor", signedCopy("other-anchor", "dravik", scratch + "/other-anchor-team")},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    ClientProcess client(*machine, c.program);
    expectRefused(client);
  }
  // The same copy signed properly is accepted: the refusals above are about identity.
  ClientProcess accepted(*machine, signedCopy("agent", "dravik.agent", teamCertificate()));
  EXPECT_EQ(accepted.send("status"), "status 0 0");
}

TEST_F(RefusedClientTest, ClientWhoseProgramChangedAfterSigning) {
  std::string program = signedCopy("changed", "dravik", teamCertificate());
  {
    std::FILE* file = std::fopen(program.c_str(), "ab");
    ASSERT_NE(file, nullptr);
    std::fputc(0, file);
    std::fclose(file);
  }
  ClientProcess client(*machine, program);
  expectRefused(client);
}

}  // namespace
}  // namespace quellan::e2e
