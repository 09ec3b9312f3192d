#include <gtest/gtest.h>
#include <stdlib.h>
#include <sys/stat.h>

#include <sstream>

#include "MachineCommand.h"
#include "Platform/Sim/SimMachine.h"
#include "Platform/Sim/SimPrograms.h"

namespace dravik::platform::sim {
namespace {

constexpr const char* kUsageLine =
    "usage: dravik-machine [--root DIR] <command> (dravik-machine help lists the commands)\n";

std::string directoryOf(const std::string& path) { return path.substr(0, path.rfind('/')); }

class MachineCommandTest : public ::testing::Test {
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
    int status = runMachineCommand(args, directoryOf(kBuiltMachineProgram), out, err);
    return {status, out.str(), err.str()};
  }
  Machine state() { return machine_.state().read(); }

  TemporaryMachine machine_;
};

TEST_F(MachineCommandTest, CreateInstallsPmsetFromBesideTheTool) {
  const std::string root = machine_.root() + "/new";
  std::ostringstream out;
  std::ostringstream err;
  ASSERT_EQ(
      runMachineCommand({"--root", root, "create"}, directoryOf(kBuiltMachineProgram), out, err), 0)
      << err.str();
  EXPECT_EQ(out.str(), "created a machine at " + root + "\n");
  struct stat info {};
  ASSERT_EQ(::stat((root + "/usr/bin/pmset").c_str(), &info), 0);
  EXPECT_EQ(info.st_mode & 07777, 0755u);
  EXPECT_EQ(toJson(MachineState(root).read()), toJson(defaultMachine()));

  std::ostringstream again;
  EXPECT_EQ(runMachineCommand({"--root", root, "create"}, directoryOf(kBuiltMachineProgram), again,
                              again),
            1);
  EXPECT_EQ(again.str(), "dravik-machine: a machine already exists at " + root + ": File exists\n");
  EXPECT_EQ(runMachineCommand({"--root", root, "create", "--force"},
                              directoryOf(kBuiltMachineProgram), again, again),
            0);

  std::ostringstream missing;
  EXPECT_EQ(runMachineCommand({"--root", root + "2", "create"}, "/nonexistent", missing, missing),
            1);
  EXPECT_EQ(missing.str(),
            "dravik-machine: no pmset stand-in at /nonexistent/pmset; pass --pmset PATH\n");
}

TEST_F(MachineCommandTest, ReadingsChange) {
  ASSERT_EQ(run({"battery", "9", "--on-battery"}).status, 0);
  EXPECT_EQ(state().powerSources.providingType, "Battery Power");
  EXPECT_EQ(state().powerSources.sources->at(0)->at("Current Capacity"),
            SourceValue(std::int64_t{9}));
  ASSERT_EQ(run({"battery", "50"}).status, 0);
  EXPECT_EQ(state().powerSources.providingType, "Battery Power");
  ASSERT_EQ(run({"battery", "none"}).status, 0);
  EXPECT_EQ(state().powerSources.providingType, "AC Power");
  EXPECT_TRUE(state().powerSources.sources->empty());

  EXPECT_EQ(run({"display", "add"}).out, "display 2 added\n");
  EXPECT_EQ(run({"display", "add"}).out, "display 3 added\n");
  ASSERT_EQ(run({"display", "remove"}).status, 0);
  ASSERT_EQ(state().displays.size(), 2u);
  EXPECT_EQ(state().displays[1].id, 2u);
  ASSERT_EQ(run({"display", "none"}).status, 0);
  EXPECT_TRUE(state().displays.empty());
  Result none = run({"display", "remove"});
  EXPECT_EQ(none.status, 1);
  EXPECT_EQ(none.err, "dravik-machine: no external display to remove\n");

  ASSERT_EQ(run({"thermal", "2"}).status, 0);
  ASSERT_EQ(run({"console", "0"}).status, 0);
  ASSERT_EQ(run({"app", "run", "com.example.clamshell"}).status, 0);
  EXPECT_EQ(state().thermalState, 2);
  EXPECT_EQ(state().consoleUid, 0u);
  EXPECT_EQ(state().runningApplications, std::vector<std::string>{"com.example.clamshell"});
  ASSERT_EQ(run({"app", "quit", "com.example.clamshell"}).status, 0);
  EXPECT_TRUE(state().runningApplications.empty());

  ASSERT_EQ(run({"property", "SleepDisabled", "int", "1"}).status, 0);
  EXPECT_EQ(state().rootDomain.at("SleepDisabled"), PropertyValue(std::int64_t{1}));
  ASSERT_EQ(run({"property", "SleepDisabled", "unset"}).status, 0);
  EXPECT_FALSE(state().rootDomain.contains("SleepDisabled"));
  ASSERT_EQ(run({"sleep-disabled", "1"}).status, 0);
  EXPECT_TRUE(rootDomainSleepDisabled(state()));
  EXPECT_TRUE(state().pmsetSleepDisabled);
}

TEST_F(MachineCommandTest, ShowTellsWhatTheMacDoes) {
  EXPECT_NE(run({"show"}).out.find("the Mac now: awake\n"), std::string::npos);
  run({"sleep-disabled", "1"});
  run({"lid", "close"});
  EXPECT_NE(run({"show"}).out.find("the Mac now: awake, lid closed\n"), std::string::npos);
  run({"sleep-disabled", "0"});
  EXPECT_NE(run({"show"}).out.find("the Mac now: awake, lid closed\n"), std::string::npos);
  run({"sleep-now"});
  EXPECT_NE(run({"show"}).out.find("the Mac now: asleep\n"), std::string::npos);
  run({"lid", "open"});
  const std::string shown = run({"show"}).out;
  EXPECT_NE(shown.find("the Mac now: awake\n"), std::string::npos);
  EXPECT_NE(shown.find("root domain: AppleClamshellState = false, SleepDisabled = false\n"),
            std::string::npos)
      << shown;
  EXPECT_NE(shown.find("faults: none\n"), std::string::npos);
  EXPECT_EQ(nlohmann::json::parse(run({"json"}).out).at("lid"), "open");
}

TEST_F(MachineCommandTest, FaultsAreSetAndCleared) {
  ASSERT_EQ(run({"fault", "open-returns", "0xe00002c1"}).status, 0);
  ASSERT_EQ(run({"fault", "pmset-fork-child"}).status, 0);
  ASSERT_EQ(run({"fault", "root-domain-lag", "0.3"}).status, 0);
  ASSERT_EQ(run({"fault", "pmset-hang"}).status, 0);
  Faults faults = state().faults;
  EXPECT_EQ(faults.openReturns, -536870207);
  EXPECT_EQ(faults.pmsetForkChild, 60.0);
  EXPECT_EQ(faults.rootDomainLag, 0.3);
  EXPECT_TRUE(faults.pmsetHang);
  EXPECT_NE(
      run({"show"}).out.find("faults: open-returns 0xe00002c1, root-domain-lag 0.3 s, pmset-hang, "
                             "pmset-fork-child 60 s\n"),
      std::string::npos);
  ASSERT_EQ(run({"fault", "clear", "pmset-hang"}).status, 0);
  EXPECT_FALSE(state().faults.pmsetHang);
  EXPECT_EQ(state().faults.openReturns, -536870207);
  ASSERT_EQ(run({"fault", "clear"}).status, 0);
  EXPECT_EQ(state().faults, Faults{});
}

TEST_F(MachineCommandTest, ClockAdvances) {
  ASSERT_EQ(run({"clock", "freeze"}).status, 0);
  const double before = continuousNow(state());
  ASSERT_EQ(run({"clock", "advance", "30"}).status, 0);
  EXPECT_EQ(continuousNow(state()), before + 30);
  ASSERT_EQ(run({"clock", "run"}).status, 0);
  EXPECT_GE(continuousNow(state()), before + 30);
}

TEST_F(MachineCommandTest, BadInputIsRefusedWithTheUsageLine) {
  struct Case {
    std::vector<std::string> args;
    std::string message;
  };
  const std::vector<Case> cases = {
      {{}, "no command"},
      {{"fly"}, "unknown command \"fly\""},
      {{"lid"}, "expected: lid open|close"},
      {{"lid", "ajar"}, "expected: lid open|close"},
      {{"battery", "-1"}, "the charge must be a whole number from 0 to 1000, not \"-1\""},
      {{"battery", "eighty"}, "the charge must be a whole number from 0 to 1000, not \"eighty\""},
      {{"battery", "80", "--on-mains"},
       "expected: battery N [--on-battery|--on-ac], or battery none"},
      {{"display", "add", "--external"}, "expected: display add [--builtin] | remove [ID] | none"},
      {{"thermal", "1.5"},
       "the thermal state must be a whole number from -2147483648 to 2147483647, not \"1.5\""},
      {{"console", "-3"}, "the uid must be a whole number from 0 to 4294967295, not \"-3\""},
      {{"app", "launch", "x"}, "expected: app run|quit BUNDLE-ID"},
      {{"sleep-disabled", "yes"}, "the setting must be 0 or 1, not \"yes\""},
      {{"property", "X", "float", "1"},
       "unknown property type \"float\" (bool, int, double, string, unset)"},
      {{"property", "X", "bool", "maybe"}, "a bool must be true, false, 1 or 0, not \"maybe\""},
      {{"clock", "advance", "-5"},
       "the time to advance must be a number of seconds, 0 or more, not \"-5\""},
      {{"clock", "back", "5"}, "expected: clock advance SECONDS | freeze | run"},
      {{"fault", "gremlins"}, "unknown fault \"gremlins\""},
      {{"fault", "pmset-exit"}, "expected: fault pmset-exit STATUS"},
      {{"fault", "pmset-exit", "256"},
       "the exit status must be a whole number from 0 to 255, not \"256\""},
      {{"fault", "pmset-hang", "1"}, "fault pmset-hang takes no value"},
      {{"fault", "open-returns", "0xZZ"},
       "a code must be a 32-bit number (decimal or 0x...), not \"0xZZ\""},
      {{"show", "all"}, "expected: show"},
  };
  const std::string before = nlohmann::json(toJson(state())).dump();
  for (const auto& c : cases) {
    Result result = run(c.args);
    EXPECT_EQ(result.status, 2) << c.message;
    EXPECT_EQ(result.err, "dravik-machine: " + c.message + "\n" + kUsageLine);
    EXPECT_EQ(result.out, "");
  }
  EXPECT_EQ(nlohmann::json(toJson(state())).dump(), before);
}

TEST_F(MachineCommandTest, RootComesFromTheOptionOrTheEnvironment) {
  std::ostringstream out;
  std::ostringstream err;
  ::unsetenv("DRAVIK_MACHINE");
  EXPECT_EQ(runMachineCommand({"show"}, ".", out, err), 2);
  EXPECT_EQ(err.str(), std::string("dravik-machine: no machine root: pass --root DIR or set "
                                   "DRAVIK_MACHINE\n") +
                           kUsageLine);
  ::setenv("DRAVIK_MACHINE", machine_.root().c_str(), 1);
  EXPECT_EQ(runMachineCommand({"thermal", "1"}, ".", out, err), 0);
  ::unsetenv("DRAVIK_MACHINE");
  EXPECT_EQ(state().thermalState, 1);

  std::ostringstream missing;
  EXPECT_EQ(runMachineCommand({"--root", machine_.root() + "/none", "show"}, ".", missing, missing),
            1);
  EXPECT_EQ(missing.str(),
            "dravik-machine: open " + machine_.root() +
                "/none/var/db/dravik-machine/state.json: No such file or directory\n");
}

}  // namespace
}  // namespace dravik::platform::sim
