#include <fcntl.h>
#include <gtest/gtest.h>
#include <poll.h>
#include <sys/stat.h>
#include <sys/syscall.h>
#include <unistd.h>

#include <filesystem>
#include <fstream>

#include "Platform/CodeIdentity/CodeSigningStatus.h"
#include "Platform/CodeIdentity/IdentityFiles.h"
#include "Platform/CodeIdentity/SodiumCodeSigning.h"
#include "Platform/CodeIdentity/TestIdentity.h"
#include "Platform/UniqueFd.h"

namespace dravik::platform {
namespace {

constexpr const char* kTeamRequirement =
    "anchor apple generic and certificate leaf[subject.OU] = \"Q7TX2KM9RZ\"";

class SodiumCodeSigningTest : public ::testing::Test {
 protected:
  std::shared_ptr<const Requirement> requirement(const std::string& text) {
    std::shared_ptr<const Requirement> compiled;
    EXPECT_EQ(signing.createRequirement(text, &compiled), kCodeSigningOk) << text;
    return compiled;
  }
  OSStatus checkPath(const std::string& path, const std::string& text,
                     std::uint32_t flags = CodeSigning::kStrictValidate) {
    std::shared_ptr<StaticCode> code;
    if (OSStatus status = signing.createStaticCodeWithPath(path, &code)) return status;
    return signing.checkStaticValidity(*code, flags, requirement(text).get());
  }
  std::shared_ptr<Code> guest(pid_t pid) {
    std::shared_ptr<Code> code;
    EXPECT_EQ(signing.copyGuestWithPid(pid, &code), kCodeSigningOk);
    return code;
  }
  static std::string hexOf(const std::vector<std::uint8_t>& bytes) {
    return toHex(bytes.data(), bytes.size());
  }

  TestIdentities ids;
  SodiumCodeSigning signing{ids.anchorPublicKey()};
};

TEST_F(SodiumCodeSigningTest, SignedProgramSatisfiesItsRequirements) {
  const std::string program = ids.signedProgram("client", "dravik");
  EXPECT_EQ(checkPath(program, kTeamRequirement), kCodeSigningOk);
  EXPECT_EQ(checkPath(program, "identifier \"dravik\""), kCodeSigningOk);
  EXPECT_EQ(checkPath(program, "identifier \"dravik.agent\""), kCodeSigningRequirementFailed);
  EXPECT_EQ(checkPath(program, "certificate leaf[field.1.2.840.113635.100.6.1.9] exists"),
            kCodeSigningRequirementFailed);

  std::shared_ptr<StaticCode> code;
  ASSERT_EQ(signing.createStaticCodeWithPath(program, &code), kCodeSigningOk);
  SigningInformation info;
  ASSERT_EQ(signing.copySigningInformation(*code, CodeSigning::kSigningInformation, &info),
            kCodeSigningOk);
  EXPECT_EQ(info.identifier, "dravik");
  EXPECT_EQ(info.teamIdentifier, "Q7TX2KM9RZ");
  ASSERT_TRUE(info.unique);
  ASSERT_EQ(info.unique->size(), 20u);
  // The pinning requirement built from the hash holds for exactly this program.
  EXPECT_EQ(checkPath(program, "cdhash H\"" + hexOf(*info.unique) + "\"", 0), kCodeSigningOk);
}

TEST_F(SodiumCodeSigningTest, RefusalsOfProgramsOnDisk) {
  const std::string unsignedProgram = ids.copyProgram("unsigned");
  EXPECT_EQ(checkPath(unsignedProgram, kTeamRequirement), kCodeSigningUnsigned);

  const std::string otherAnchor =
      ids.signedProgram("other-anchor", "dravik", TestSigner::ofOtherAnchor());
  EXPECT_EQ(checkPath(otherAnchor, kTeamRequirement), kCodeSigningRequirementFailed);
  EXPECT_EQ(checkPath(otherAnchor, "identifier \"dravik\""), kCodeSigningOk);

  const std::string otherTeam =
      ids.signedProgram("other-team", "dravik", TestSigner::ofTeam("OTHERTEAM1"));
  EXPECT_EQ(checkPath(otherTeam, kTeamRequirement), kCodeSigningRequirementFailed);

  const std::string changed = ids.signedProgram("changed", "dravik");
  std::ofstream(changed, std::ios::app) << "patched";
  EXPECT_EQ(checkPath(changed, kTeamRequirement), kCodeSigningCodeModified);
  std::shared_ptr<StaticCode> code;
  ASSERT_EQ(signing.createStaticCodeWithPath(changed, &code), kCodeSigningOk);
  SigningInformation info;
  EXPECT_EQ(signing.copySigningInformation(*code, 0, &info), kCodeSigningCodeModified);
  EXPECT_FALSE(info.identifier);

  const std::string garbled = ids.signedProgram("garbled", "dravik");
  std::ofstream(garbled + ".sig", std::ios::trunc) << "{\"format\":";
  EXPECT_EQ(checkPath(garbled, kTeamRequirement), kCodeSigningSignatureInvalid);

  // A signature moved to another program names the wrong hash.
  const std::string first = ids.signedProgram("first", "dravik", {}, "1");
  const std::string second = ids.signedProgram("second", "dravik", {}, "2");
  std::filesystem::copy_file(first + ".sig", second + ".sig",
                             std::filesystem::copy_options::overwrite_existing);
  EXPECT_EQ(checkPath(second, kTeamRequirement), kCodeSigningCodeModified);

  EXPECT_EQ(signing.createStaticCodeWithPath(ids.dir() + "/missing", &code), kCodeSigningIoError);
  EXPECT_EQ(checkPath(ids.dir(), kTeamRequirement), kCodeSigningIoError);
}

TEST_F(SodiumCodeSigningTest, StrictValidationRefusesLooseFiles) {
  const std::string program = ids.signedProgram("loose", "dravik");
  ASSERT_EQ(::chmod(program.c_str(), 0777), 0);
  EXPECT_EQ(checkPath(program, kTeamRequirement), kCodeSigningStrictValidationFailed);
  EXPECT_EQ(checkPath(program, kTeamRequirement, 0), kCodeSigningOk);
  ASSERT_EQ(::chmod(program.c_str(), 0755), 0);

  const std::string linked = ids.copyProgram("linked");
  std::filesystem::create_symlink(program + ".sig", linked + ".sig");
  EXPECT_EQ(checkPath(linked, kTeamRequirement), kCodeSigningStrictValidationFailed);
}

TEST_F(SodiumCodeSigningTest, AnchorComesFromTheMachineRoot) {
  const std::string program = ids.signedProgram("client", "dravik");
  SodiumCodeSigning missing(ids.dir() + "/no-anchor.pub");
  std::shared_ptr<StaticCode> code;
  ASSERT_EQ(missing.createStaticCodeWithPath(program, &code), kCodeSigningOk);
  std::shared_ptr<const Requirement> anchored = requirement(kTeamRequirement);
  EXPECT_EQ(missing.checkStaticValidity(*code, 0, anchored.get()), kCodeSigningAnchorUnavailable);
  EXPECT_EQ(missing.checkStaticValidity(*code, 0, requirement("identifier \"dravik\"").get()),
            kCodeSigningOk);

  const std::string root = ids.dir() + "/machine";
  installAnchorPublicKey(ids.anchorDir(), root);
  EXPECT_TRUE(std::filesystem::exists(root + "/System/Library/Security/dravik-anchor.pub"));
  ::setenv("DRAVIK_MACHINE", root.c_str(), 1);
  SodiumCodeSigning fromRoot;
  ::unsetenv("DRAVIK_MACHINE");
  EXPECT_EQ(fromRoot.anchorPublicKeyPath(), root + "/System/Library/Security/dravik-anchor.pub");
  EXPECT_EQ(fromRoot.checkStaticValidity(*code, 0, anchored.get()), kCodeSigningOk);
}

TEST_F(SodiumCodeSigningTest, BadArgumentsAreRefused) {
  const std::string program = ids.signedProgram("client", "dravik");
  std::shared_ptr<StaticCode> code;
  ASSERT_EQ(signing.createStaticCodeWithPath(program, &code), kCodeSigningOk);
  EXPECT_EQ(signing.checkStaticValidity(*code, 1, nullptr), kCodeSigningInvalidFlags);
  SigningInformation info;
  EXPECT_EQ(signing.copySigningInformation(*code, 16, &info), kCodeSigningInvalidFlags);
  std::shared_ptr<const Requirement> compiled;
  EXPECT_EQ(signing.createRequirement("anchor apple", &compiled), kCodeSigningRequirementSyntax);
  EXPECT_EQ(compiled, nullptr);
  std::shared_ptr<Code> running;
  EXPECT_EQ(signing.copyGuestWithPid(0, &running), kCodeSigningNoSuchProcess);
  EXPECT_EQ(signing.copyGuestWithPid(-5, &running), kCodeSigningNoSuchProcess);
  EXPECT_EQ(signing.copyGuestWithPidfd(-1, &running), kCodeSigningInvalidObject);
  UniqueFd notPidfd(::open("/dev/null", O_RDONLY | O_CLOEXEC));
  EXPECT_EQ(signing.copyGuestWithPidfd(notPidfd.get(), &running), kCodeSigningInvalidObject);
  EXPECT_EQ(running, nullptr);
}

TEST_F(SodiumCodeSigningTest, RunningProcessIsJudgedByItsExecutable) {
  const std::string program = ids.signedProgram("client", "dravik");
  RunningProgram running(program, {"wait"});
  auto code = guest(running.pid());
  ASSERT_TRUE(code);
  EXPECT_EQ(signing.checkValidity(*code, 0, requirement(kTeamRequirement).get()), kCodeSigningOk);
  EXPECT_EQ(signing.checkValidity(*code, 0, requirement("identifier \"x\"").get()),
            kCodeSigningRequirementFailed);
  EXPECT_EQ(signing.checkValidity(*code, 16, nullptr), kCodeSigningInvalidFlags);

  std::shared_ptr<StaticCode> onDisk;
  ASSERT_EQ(signing.copyStaticCode(*code, 0, &onDisk), kCodeSigningOk);
  EXPECT_EQ(signing.checkStaticValidity(*onDisk, CodeSigning::kStrictValidate,
                                        requirement(kTeamRequirement).get()),
            kCodeSigningOk);
}

TEST_F(SodiumCodeSigningTest, PidfdFindsTheSameProcess) {
  const std::string program = ids.signedProgram("client", "dravik");
  RunningProgram running(program, {"wait"});
  UniqueFd pidfd(static_cast<int>(::syscall(SYS_pidfd_open, running.pid(), 0)));
  ASSERT_TRUE(pidfd.valid());
  std::shared_ptr<Code> code;
  ASSERT_EQ(signing.copyGuestWithPidfd(pidfd.get(), &code), kCodeSigningOk);
  pidfd.reset();  // borrowed: the Code keeps its own
  EXPECT_EQ(signing.checkValidity(*code, 0, requirement(kTeamRequirement).get()), kCodeSigningOk);
}

TEST_F(SodiumCodeSigningTest, ProcessThatExecsAnotherProgramNoLongerHolds) {
  const std::string other = ids.signedProgram("other", "dravik", {}, "other");
  const std::string program = ids.signedProgram("client", "dravik");
  RunningProgram running(program, {"wait-exec", other});
  auto code = guest(running.pid());
  ASSERT_TRUE(code);
  std::shared_ptr<StaticCode> onDisk;
  ASSERT_EQ(signing.copyStaticCode(*code, 0, &onDisk), kCodeSigningOk);
  SigningInformation info;
  ASSERT_EQ(signing.copySigningInformation(*onDisk, 0, &info), kCodeSigningOk);
  auto pinned = requirement("anchor apple generic and identifier \"dravik\" and cdhash H\"" +
                            hexOf(*info.unique) + "\"");
  EXPECT_EQ(signing.checkValidity(*code, 0, pinned.get()), kCodeSigningOk);

  running.send('x');
  const std::string link = "/proc/" + std::to_string(running.pid()) + "/exe";
  ASSERT_TRUE(waitUntil([&] {
    std::error_code error;
    return std::filesystem::read_symlink(link, error).string() == other;
  }));
  // Same team, same identifier, validly signed: only the pinned hash tells them apart.
  EXPECT_EQ(signing.checkValidity(*code, 0, requirement(kTeamRequirement).get()), kCodeSigningOk);
  EXPECT_EQ(signing.checkValidity(*code, 0, pinned.get()), kCodeSigningRequirementFailed);
}

TEST_F(SodiumCodeSigningTest, ProcessThatExecsAnUnsignedProgramIsRefused) {
  const std::string other = ids.copyProgram("unsigned-other", "other");
  const std::string program = ids.signedProgram("client", "dravik");
  RunningProgram running(program, {"wait-exec", other});
  auto code = guest(running.pid());
  ASSERT_TRUE(code);
  EXPECT_EQ(signing.checkValidity(*code, 0, nullptr), kCodeSigningOk);
  running.send('x');
  const std::string link = "/proc/" + std::to_string(running.pid()) + "/exe";
  ASSERT_TRUE(waitUntil([&] {
    std::error_code error;
    return std::filesystem::read_symlink(link, error).string() == other;
  }));
  EXPECT_EQ(signing.checkValidity(*code, 0, nullptr), kCodeSigningUnsigned);
}

TEST_F(SodiumCodeSigningTest, ReplacingTheFileOnDiskDoesNotChangeTheRunningCode) {
  const std::string program = ids.signedProgram("client", "dravik");
  RunningProgram running(program, {"wait"});
  auto code = guest(running.pid());
  ASSERT_TRUE(code);
  auto team = requirement(kTeamRequirement);
  ASSERT_EQ(signing.checkValidity(*code, 0, team.get()), kCodeSigningOk);
  const std::string replacement = ids.copyProgram("replacement", "new");
  std::filesystem::rename(replacement, program);
  EXPECT_EQ(signing.checkValidity(*code, 0, team.get()), kCodeSigningOk);
  // Looked up afresh, the process runs a file that is no longer on disk: no signature.
  std::shared_ptr<Code> fresh = guest(running.pid());
  ASSERT_TRUE(fresh);
  EXPECT_EQ(signing.checkValidity(*fresh, 0, team.get()), kCodeSigningUnsigned);
}

TEST_F(SodiumCodeSigningTest, EndedProcessesAreRefused) {
  const std::string program = ids.signedProgram("client", "dravik");
  RunningProgram running(program, {"wait"});
  const pid_t pid = running.pid();
  auto code = guest(pid);
  ASSERT_TRUE(code);
  UniqueFd pidfd(static_cast<int>(::syscall(SYS_pidfd_open, pid, 0)));
  ASSERT_TRUE(pidfd.valid());
  running.closeInput();
  // Ended but not yet reaped (a zombie): its pidfd says it has ended.
  struct pollfd ended = {pidfd.get(), POLLIN, 0};
  ASSERT_EQ(::poll(&ended, 1, 20000), 1);
  EXPECT_EQ(signing.checkValidity(*code, 0, nullptr), kCodeSigningProcessGone);
  std::shared_ptr<Code> zombie;
  EXPECT_EQ(signing.copyGuestWithPid(pid, &zombie), kCodeSigningProcessGone);
  EXPECT_EQ(zombie, nullptr);

  running.reap();
  EXPECT_EQ(signing.checkValidity(*code, 0, nullptr), kCodeSigningProcessGone);
  std::shared_ptr<Code> reaped;
  EXPECT_EQ(signing.copyGuestWithPidfd(pidfd.get(), &reaped), kCodeSigningProcessGone);
  EXPECT_NE(signing.copyGuestWithPid(pid, &reaped), kCodeSigningOk);
  EXPECT_EQ(reaped, nullptr);
}

}  // namespace
}  // namespace dravik::platform
