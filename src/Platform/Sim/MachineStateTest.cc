#include <gtest/gtest.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <fstream>
#include <sstream>

#include "Platform/Sim/MachineState.h"
#include "Platform/Sim/SimMachine.h"

namespace dravik::platform::sim {
namespace {

using nlohmann::json;

std::string fileText(const std::string& path) {
  std::ifstream in(path);
  std::stringstream text;
  text << in.rdbuf();
  return text.str();
}

TEST(MachineStateTest, CreateWritesTheDefaultStateAtTheKnownPath) {
  TemporaryMachine machine;
  EXPECT_EQ(machine.state().statePath(), machine.root() + "/var/db/dravik-machine/state.json");
  const json document = json::parse(fileText(machine.state().statePath()));
  EXPECT_EQ(document.at("lid"), "open");
  EXPECT_EQ(document.at("rootDomain").at("SleepDisabled"), false);
  EXPECT_EQ(toJson(machine.state().read()), toJson(defaultMachine()));

  struct stat info {};
  ASSERT_EQ(::stat(machine.state().directory().c_str(), &info), 0);
  EXPECT_EQ(info.st_mode & 07777, 0777u);
  ASSERT_EQ(::stat(machine.state().statePath().c_str(), &info), 0);
  EXPECT_EQ(info.st_mode & 07777, 0666u);
  ASSERT_EQ(::stat(machine.root().c_str(), &info), 0);
  EXPECT_EQ(info.st_mode & 07777, 0755u);
}

TEST(MachineStateTest, CreateRefusesAnExistingMachineUnlessReplacing) {
  TemporaryMachine machine;
  machine.state().update([](Machine& m) { m.thermalState = 2; });
  try {
    createMachine(machine.root());
    FAIL() << "created over an existing machine";
  } catch (const std::system_error& error) {
    EXPECT_EQ(error.code().value(), EEXIST);
  }
  EXPECT_EQ(machine.state().read().thermalState, 2);
  MachineOptions options;
  options.replace = true;
  createMachine(machine.root(), options);
  EXPECT_EQ(machine.state().read().thermalState, 0);
}

TEST(MachineStateTest, UpdateKeepsSectionsItDoesNotKnow) {
  TemporaryMachine machine;
  machine.state().update([](Machine& m) { m.sections["services"] = {{"registered", true}}; });
  machine.state().update([](Machine& m) { setLidClosed(m, true); });
  const Machine read = machine.state().read();
  EXPECT_TRUE(read.lidClosed);
  EXPECT_EQ(read.sections.at("services").at("registered"), true);
  EXPECT_EQ(json::parse(fileText(machine.state().statePath())).at("services").at("registered"),
            true);
}

TEST(MachineStateTest, AFailedChangeWritesNothing) {
  TemporaryMachine machine;
  const std::string before = fileText(machine.state().statePath());
  EXPECT_THROW(machine.state().update([](Machine& m) {
    m.thermalState = 3;
    throw std::runtime_error("no");
  }),
               std::runtime_error);
  EXPECT_EQ(fileText(machine.state().statePath()), before);
}

TEST(MachineStateTest, MissingOrBrokenStateIsAnError) {
  TemporaryMachine machine;
  MachineState nowhere(machine.root() + "/nothing");
  try {
    nowhere.read();
    FAIL() << "read a machine that does not exist";
  } catch (const std::system_error& error) {
    EXPECT_EQ(error.code().value(), ENOENT);
  }
  EXPECT_THROW(nowhere.update([](Machine&) {}), std::system_error);

  std::ofstream(machine.state().statePath()) << "{ not json";
  EXPECT_THROW(machine.state().read(), json::parse_error);
}

TEST(MachineStateTest, ConcurrentUpdatesFromManyProcessesLoseNothing) {
  TemporaryMachine machine;
  constexpr int kChildren = 4;
  constexpr int kIncrements = 25;
  machine.state().update([](Machine& m) { m.sections["counter"] = 0; });
  std::vector<pid_t> children;
  for (int i = 0; i < kChildren; ++i) {
    pid_t pid = ::fork();
    ASSERT_GE(pid, 0);
    if (pid == 0) {
      MachineState state(machine.root());
      for (int n = 0; n < kIncrements; ++n) {
        state.update(
            [](Machine& m) { m.sections["counter"] = m.sections["counter"].get<int>() + 1; });
      }
      ::_exit(0);
    }
    children.push_back(pid);
  }
  // Meanwhile every read must find a whole file.
  int torn = 0;
  for (int n = 0; n < 200; ++n) {
    try {
      machine.state().read();
    } catch (const json::exception&) {
      ++torn;
    }
  }
  for (pid_t pid : children) {
    int status = 0;
    ASSERT_EQ(::waitpid(pid, &status, 0), pid);
    EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0);
  }
  EXPECT_EQ(torn, 0);
  EXPECT_EQ(machine.state().read().sections.at("counter"), kChildren * kIncrements);
}

TEST(MachineStateTest, AnyUserCanChangeTheMachine) {
  TemporaryMachine machine;
  machine.state().update([](Machine& m) { m.thermalState = 1; });
  pid_t pid = ::fork();
  ASSERT_GE(pid, 0);
  if (pid == 0) {
    constexpr uid_t kNobody = 65534;
    if (::setgid(kNobody) != 0 || ::setuid(kNobody) != 0) ::_exit(3);
    try {
      MachineState(machine.root()).update([](Machine& m) { m.thermalState = 2; });
    } catch (const std::exception&) {
      ::_exit(4);
    }
    ::_exit(0);
  }
  int status = 0;
  ASSERT_EQ(::waitpid(pid, &status, 0), pid);
  EXPECT_TRUE(WIFEXITED(status));
  EXPECT_EQ(WEXITSTATUS(status), 0);
  EXPECT_EQ(machine.state().read().thermalState, 2);
  machine.state().update([](Machine& m) { m.thermalState = 3; });
  EXPECT_EQ(machine.state().read().thermalState, 3);
}

TEST(MachineStateTest, ReadSettlesDelayedChangesWithoutWriting) {
  TemporaryMachine machine;
  machine.state().update([](Machine& m) {
    freezeClock(m);
    m.faults.rootDomainLag = 10;
    pmsetSetSleepDisabled(m, true, continuousNow(m));
  });
  EXPECT_FALSE(rootDomainSleepDisabled(machine.state().read()));
  machine.state().update([](Machine& m) { advanceClock(m, 10); });
  EXPECT_TRUE(rootDomainSleepDisabled(machine.state().read()));
}

TEST(MachineStateTest, RootWithTrailingSlashNamesTheSameFiles) {
  MachineState state("/some/root/");
  EXPECT_EQ(state.statePath(), "/some/root/var/db/dravik-machine/state.json");
  EXPECT_EQ(state.lockPath(), "/some/root/var/db/dravik-machine/state.lock");
}

}  // namespace
}  // namespace dravik::platform::sim
