#include <gtest/gtest.h>

#include "Platform/CodeIdentity/CodeSigningStatus.h"
#include "Platform/CodeIdentity/FakeCodeSigning.h"

namespace dravik::platform {
namespace {

TEST(FakeCodeSigningTest, JudgesRegisteredProgramsAndFollowsExec) {
  FakeCodeSigning signing;
  signing.addProgram("/a", FakeCodeSigning::signedProgram("dravik", "Q7TX2KM9RZ", Cdhash{1}));
  signing.addProgram("/b", FakeCodeSigning::signedProgram("dravik", "Q7TX2KM9RZ", Cdhash{2}));
  signing.addProcess(42, "/a");
  signing.addPidfd(7, 42);

  std::shared_ptr<const Requirement> pinned;
  ASSERT_EQ(signing.createRequirement(
                "identifier \"dravik\" and cdhash H\"0100000000000000000000000000000000000000\"",
                &pinned),
            kCodeSigningOk);
  std::shared_ptr<Code> code;
  ASSERT_EQ(signing.copyGuestWithPidfd(7, &code), kCodeSigningOk);
  EXPECT_EQ(signing.checkValidity(*code, 0, pinned.get()), kCodeSigningOk);
  signing.execProcess(42, "/b");
  EXPECT_EQ(signing.checkValidity(*code, 0, pinned.get()), kCodeSigningRequirementFailed);
  signing.endProcess(42);
  EXPECT_EQ(signing.checkValidity(*code, 0, pinned.get()), kCodeSigningProcessGone);
  EXPECT_EQ(signing.copyGuestWithPid(42, &code), kCodeSigningNoSuchProcess);
}

TEST(FakeCodeSigningTest, SwitchesAndRecords) {
  FakeCodeSigning signing;
  signing.addProgram("/a", FakeCodeSigning::signedProgram("dravik", "Q7TX2KM9RZ", Cdhash{}));
  signing.setStatus(FakeCodeSigning::Operation::kCheckStaticValidity, -1);
  std::shared_ptr<StaticCode> code;
  ASSERT_EQ(signing.createStaticCodeWithPath("/a", &code), kCodeSigningOk);
  EXPECT_EQ(signing.checkStaticValidity(*code, 16, nullptr), -1);
  signing.setStatus(FakeCodeSigning::Operation::kCheckStaticValidity, 0);
  EXPECT_EQ(signing.checkStaticValidity(*code, 16, nullptr), kCodeSigningOk);
  signing.setYieldsNothing(FakeCodeSigning::Operation::kCreateStaticCodeWithPath, true);
  EXPECT_EQ(signing.createStaticCodeWithPath("/a", &code), kCodeSigningOk);
  EXPECT_EQ(code, nullptr);
  EXPECT_EQ(signing.calls(),
            (std::vector<std::string>{
                "createStaticCodeWithPath flags=0", "checkStaticValidity flags=16",
                "checkStaticValidity flags=16", "createStaticCodeWithPath flags=0"}));
}

}  // namespace
}  // namespace dravik::platform
