// dravik-machine's service manager commands: install-app, service show|approve|revoke.

#include <gtest/gtest.h>
#include <sys/stat.h>

#include <fstream>
#include <sstream>

#include "MachineCommand.h"
#include "Platform/Sim/SimMachine.h"
#include "Platform/Sim/SimServiceManagement.h"

namespace dravik::platform::sim {
namespace {

constexpr const char* kPlist = "Q7TX2KM9RZ.dravik.sleep-service.plist";
constexpr const char* kUsageLine =
    "usage: dravik-machine [--root DIR] <command> (dravik-machine help lists the commands)\n";

class ServiceCommandTest : public ::testing::Test {
 protected:
  struct Result {
    int status;
    std::string out;
    std::string err;
  };

  Result run(std::vector<std::string> args) {
    args.insert(args.begin(), {"--root", machine_.root()});
    std::ostringstream out;
    std::ostringstream err;
    int status = runMachineCommand(args, "/nonexistent", out, err);
    return {status, out.str(), err.str()};
  }
  // Signed-looking programs by the names the build gives them.
  std::string buildDirectory() {
    const std::string bin = machine_.root() + "/bin";
    ::mkdir(bin.c_str(), 0755);
    for (const char* name : {"QuellanCompatibility", "QuellanSleepService", "quellan-compat-cli"}) {
      std::ofstream(bin + "/" + name) << "#!/bin/sh\n";
      std::ofstream(bin + "/" + name + ".sig") << "{}";
    }
    return bin;
  }

  TemporaryMachine machine_;
};

TEST_F(ServiceCommandTest, InstallRegisterApproveRevokeAndShow) {
  EXPECT_EQ(run({"service", "show"}).out, "no registered daemons\n");

  Result installed = run({"install-app", "--from", buildDirectory()});
  ASSERT_EQ(installed.status, 0) << installed.err;
  EXPECT_EQ(installed.out,
            "installed /Applications/Quellan Compatibility.app in " + machine_.root() + "\n");
  const std::string programs =
      machine_.root() + "/Applications/Quellan Compatibility.app/Contents/MacOS/";
  for (const char* name : {"QuellanCompatibility", "QuellanSleepService", "quellan-compat-cli"}) {
    struct stat info {};
    EXPECT_EQ(::stat((programs + name).c_str(), &info), 0) << name;
    EXPECT_EQ(::stat((programs + name + ".sig").c_str(), &info), 0) << name;
  }

  SimServiceManagement services(machine_.root(), "/Applications/Quellan Compatibility.app",
                                nullptr);
  EXPECT_EQ(services.daemon(kPlist)->status(), ServiceStatus::notRegistered);
  services.daemon(kPlist)->registerService();
  const std::string program =
      "  program /Applications/Quellan Compatibility.app/Contents/MacOS/QuellanSleepService\n";
  EXPECT_EQ(run({"service", "show"}).out,
            std::string(kPlist) + ": requires approval, not running\n" + program);

  EXPECT_EQ(run({"service", "approve", kPlist}).status, 0);
  EXPECT_EQ(services.daemon(kPlist)->status(), ServiceStatus::enabled);
  machine_.state().update([](Machine& m) {
    auto registration = findRegistration(m, kPlist);
    registration->pid = 4242;
    putRegistration(m, *registration);
    putLastExit(m, kPlist, {4141, "killed by signal 9"});
  });
  EXPECT_EQ(run({"service", "show"}).out, std::string(kPlist) + ": enabled, running (pid 4242)\n" +
                                              program + kPlist +
                                              ": last run (pid 4141) killed by signal 9\n");

  EXPECT_EQ(run({"service", "revoke", kPlist}).status, 0);
  EXPECT_EQ(services.daemon(kPlist)->status(), ServiceStatus::requiresApproval);
}

TEST_F(ServiceCommandTest, Refusals) {
  const struct {
    std::vector<std::string> args;
    int status;
    std::string err;
  } cases[] = {
      {{"service", "approve", "x.plist"},
       1,
       "dravik-machine: nothing is registered under \"x.plist\"\n"},
      {{"service", "revoke", "x.plist"},
       1,
       "dravik-machine: nothing is registered under \"x.plist\"\n"},
      {{"service"},
       2,
       "dravik-machine: expected: service show, or service approve|revoke PLIST\n" +
           std::string(kUsageLine)},
      {{"service", "approve"},
       2,
       "dravik-machine: expected: service show, or service approve|revoke PLIST\n" +
           std::string(kUsageLine)},
      {{"service", "enable", "x.plist"},
       2,
       "dravik-machine: expected: service show, or service approve|revoke PLIST\n" +
           std::string(kUsageLine)},
      {{"install-app"},
       2,
       "dravik-machine: expected: install-app --from DIR\n" + std::string(kUsageLine)},
      {{"install-app", "--from", "/nonexistent"},
       1,
       "dravik-machine: no program at /nonexistent/QuellanCompatibility\n"},
  };
  for (const auto& c : cases) {
    Result result = run(c.args);
    EXPECT_EQ(result.status, c.status) << c.args[0];
    EXPECT_EQ(result.err, c.err) << c.args[0];
  }
}

}  // namespace
}  // namespace dravik::platform::sim
