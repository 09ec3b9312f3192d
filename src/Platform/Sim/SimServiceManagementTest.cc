// Registration states, the approval step, the shipped property list and installing an app.

#include <gmock/gmock.h>
#include <gtest/gtest.h>
#include <sys/stat.h>

#include <fstream>
#include <nlohmann/json.hpp>
#include <sstream>

#include "Platform/Sim/SimMachine.h"
#include "Platform/Sim/SimServiceManagement.h"

namespace dravik::platform::sim {
namespace {

constexpr const char* kPlist = "test.daemon.plist";
constexpr const char* kBundle = "/Applications/Test.app";

void writeFile(const std::string& path, const std::string& text, mode_t mode) {
  std::ofstream(path) << text;
  ::chmod(path.c_str(), mode);
}

std::string readFile(const std::string& path) {
  std::ifstream in(path);
  std::ostringstream text;
  text << in.rdbuf();
  return text.str();
}

mode_t modeOf(const std::string& path) {
  struct stat info {};
  EXPECT_EQ(::stat(path.c_str(), &info), 0) << path;
  return info.st_mode & 07777;
}

class SimServiceManagementTest : public ::testing::Test {
 protected:
  // Builds a program and its signature in the machine's /tmp and installs them as Test.app.
  void installTestApp() {
    const std::string built = machine_.root() + "/build";
    ::mkdir(built.c_str(), 0755);
    writeFile(built + "/daemon", "#!/bin/sh\nexit 0\n", 0755);
    writeFile(built + "/daemon.sig", "{}", 0644);
    EXPECT_EQ(installApp(machine_.root(),
                         {"Test.app", {built + "/daemon"}, {{kPlist, "daemon", "test.daemon"}}}),
              kBundle);
  }
  std::string plistPath() {
    return machine_.root() + kBundle + "/Contents/Library/LaunchDaemons/" + kPlist;
  }
  std::unique_ptr<DaemonService> daemon() { return services_.daemon(kPlist); }
  std::optional<std::string> unregister() {
    std::optional<std::string> outcome = "not called";
    int calls = 0;
    daemon()->unregister([&](std::optional<std::string> error) {
      outcome = std::move(error);
      ++calls;
    });
    EXPECT_EQ(calls, 1);
    return outcome;
  }
  void approve(bool approved = true) {
    machine_.state().update([&](Machine& m) { setApproved(m, kPlist, approved); });
  }

  TemporaryMachine machine_;
  std::ostringstream settings_;
  SimServiceManagement services_{machine_.root(), kBundle, &settings_};
};

TEST_F(SimServiceManagementTest, WalksThroughTheFourStates) {
  EXPECT_EQ(daemon()->status(), ServiceStatus::notFound);
  installTestApp();
  EXPECT_EQ(daemon()->status(), ServiceStatus::notRegistered);

  daemon()->registerService();
  EXPECT_EQ(daemon()->status(), ServiceStatus::requiresApproval);
  auto registration = findRegistration(machine_.state().read(), kPlist);
  ASSERT_TRUE(registration);
  EXPECT_EQ(registration->bundle, kBundle);
  EXPECT_EQ(registration->program, "/Applications/Test.app/Contents/MacOS/daemon");
  EXPECT_FALSE(registration->approved);
  EXPECT_FALSE(registration->pid);

  // Registering again before the user has decided is refused, and changes nothing.
  try {
    daemon()->registerService();
    ADD_FAILURE() << "registered twice while awaiting approval";
  } catch (const std::runtime_error& error) {
    EXPECT_STREQ(error.what(),
                 "Operation not permitted: \"test.daemon.plist\" awaits the user's approval in "
                 "Login Items.");
  }
  EXPECT_EQ(daemon()->status(), ServiceStatus::requiresApproval);

  approve();
  EXPECT_EQ(daemon()->status(), ServiceStatus::enabled);
  daemon()->registerService();  // once approved, registering again keeps it enabled
  EXPECT_EQ(daemon()->status(), ServiceStatus::enabled);

  approve(false);  // the user switches it off again
  EXPECT_EQ(daemon()->status(), ServiceStatus::requiresApproval);

  EXPECT_EQ(unregister(), std::nullopt);
  EXPECT_EQ(daemon()->status(), ServiceStatus::notRegistered);
  EXPECT_FALSE(findRegistration(machine_.state().read(), kPlist));
  EXPECT_EQ(unregister(), "The launch daemon \"test.daemon.plist\" is not registered.");

  // A new registration needs a new approval.
  daemon()->registerService();
  EXPECT_EQ(daemon()->status(), ServiceStatus::requiresApproval);
}

TEST_F(SimServiceManagementTest, RegisteringWhatCannotBeRegisteredFailsWithADescription) {
  try {
    daemon()->registerService();
    ADD_FAILURE() << "registered a daemon that does not ship";
  } catch (const std::runtime_error& error) {
    EXPECT_STREQ(error.what(),
                 "No launch daemon named \"test.daemon.plist\" ships in "
                 "/Applications/Test.app/Contents/Library/LaunchDaemons.");
  }

  installTestApp();
  const std::string invalid =
      "The launch daemon property list "
      "/Applications/Test.app/Contents/Library/LaunchDaemons/test.daemon.plist is invalid: ";
  const struct {
    const char* content;
    std::string expected;
  } cases[] = {
      {"<plist/>", invalid + "not a JSON object."},
      {"[]", invalid + "not a JSON object."},
      {"{}", invalid + "\"BundleProgram\" must name a file inside the bundle."},
      {R"({"BundleProgram": "/bin/sh"})",
       invalid + "\"BundleProgram\" must name a file inside the bundle."},
      {R"({"BundleProgram": "Contents/../../../bin/sh"})",
       invalid + "\"BundleProgram\" must name a file inside the bundle."},
      {R"({"BundleProgram": "Contents//MacOS/daemon"})",
       invalid + "\"BundleProgram\" must name a file inside the bundle."},
      {R"({"BundleProgram": 7})",
       invalid + "\"BundleProgram\" must name a file inside the bundle."},
      {R"({"BundleProgram": "Contents/MacOS/daemon", "ProgramArguments": [1]})",
       invalid + "\"ProgramArguments\" must be a list of strings."},
      {R"({"BundleProgram": "Contents/MacOS/missing"})",
       "The program /Applications/Test.app/Contents/MacOS/missing that \"test.daemon.plist\" "
       "names does not exist."},
  };
  for (const auto& c : cases) {
    writeFile(plistPath(), c.content, 0644);
    try {
      daemon()->registerService();
      ADD_FAILURE() << "registered with " << c.content;
    } catch (const std::runtime_error& error) {
      EXPECT_EQ(error.what(), c.expected) << c.content;
    }
    EXPECT_EQ(daemon()->status(), ServiceStatus::notRegistered) << c.content;
  }

  writeFile(plistPath(),
            R"({"BundleProgram": "Contents/MacOS/daemon", "ProgramArguments": ["--a", "b"]})",
            0644);
  daemon()->registerService();
  auto registration = findRegistration(machine_.state().read(), kPlist);
  ASSERT_TRUE(registration);
  EXPECT_EQ(registration->arguments, (std::vector<std::string>{"--a", "b"}));
}

TEST_F(SimServiceManagementTest, AnotherBundleOrANameWithAPathFindsNothing) {
  installTestApp();
  SimServiceManagement elsewhere(machine_.root(), "/Users/me/Downloads/Test.app", nullptr);
  EXPECT_EQ(elsewhere.daemon(kPlist)->status(), ServiceStatus::notFound);
  EXPECT_EQ(services_.daemon("../LaunchDaemons/test.daemon.plist")->status(),
            ServiceStatus::notFound);
  EXPECT_EQ(services_.daemon("")->status(), ServiceStatus::notFound);
}

TEST_F(SimServiceManagementTest, ApprovingNeedsARegistration) {
  try {
    approve();
    ADD_FAILURE() << "approved nothing";
  } catch (const std::runtime_error& error) {
    EXPECT_STREQ(error.what(), "nothing is registered under \"test.daemon.plist\"");
  }
}

TEST_F(SimServiceManagementTest, TheSettingsPageNamesTheApprovalStep) {
  installTestApp();
  services_.openSystemSettingsLoginItems();
  daemon()->registerService();
  services_.openSystemSettingsLoginItems();
  EXPECT_EQ(settings_.str(),
            "System Settings > General > Login Items: on this machine, approve with\n"
            "  (nothing awaits approval)\n"
            "System Settings > General > Login Items: on this machine, approve with\n"
            "  dravik-machine --root " +
                machine_.root() + " service approve test.daemon.plist\n");
}

TEST_F(SimServiceManagementTest, OtherSectionsAndRecordsAreKept) {
  machine_.state().update([](Machine& m) { m.sections["elsewhere"] = {{"kept", true}}; });
  installTestApp();
  daemon()->registerService();
  machine_.state().update([](Machine& m) { putLastExit(m, kPlist, {42, "exited with status 0"}); });
  EXPECT_EQ(unregister(), std::nullopt);
  Machine m = machine_.state().read();
  EXPECT_EQ(m.sections["elsewhere"]["kept"], true);
  auto exit = lastExit(m, kPlist);
  ASSERT_TRUE(exit);
  EXPECT_EQ(exit->pid, 42);
  EXPECT_EQ(exit->status, "exited with status 0");
}

TEST_F(SimServiceManagementTest, InstallingAnAppCopiesSignedProgramsAndWritesThePropertyList) {
  installTestApp();
  const std::string programs = machine_.root() + kBundle + "/Contents/MacOS/";
  EXPECT_EQ(readFile(programs + "daemon"), "#!/bin/sh\nexit 0\n");
  EXPECT_EQ(modeOf(programs + "daemon"), 0755u);
  EXPECT_EQ(readFile(programs + "daemon.sig"), "{}");
  EXPECT_EQ(modeOf(programs + "daemon.sig"), 0644u);
  EXPECT_EQ(modeOf(machine_.root() + kBundle), 0755u);
  EXPECT_EQ(nlohmann::json::parse(readFile(plistPath())),
            nlohmann::json::parse(R"({"Label": "test.daemon",
                                      "BundleProgram": "Contents/MacOS/daemon",
                                      "MachServices": {"test.daemon": true}})"));
  auto shipped = readShippedDaemon(machine_.root(), kBundle, kPlist);
  ASSERT_TRUE(shipped);
  EXPECT_EQ(shipped->program, "/Applications/Test.app/Contents/MacOS/daemon");

  // A program without its signature is refused.
  const std::string unsigned_ = machine_.root() + "/build/unsigned";
  writeFile(unsigned_, "x", 0755);
  try {
    installApp(machine_.root(), {"Test.app", {unsigned_}, {}});
    ADD_FAILURE() << "installed an unsigned program";
  } catch (const std::runtime_error& error) {
    EXPECT_EQ(error.what(), unsigned_ + " is not signed: " + unsigned_ + ".sig is missing");
  }
}

}  // namespace
}  // namespace dravik::platform::sim
