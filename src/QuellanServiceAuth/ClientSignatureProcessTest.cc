// Client authentication of real, signed, running programs through SodiumCodeSigning.
#include <gtest/gtest.h>
#include <sys/syscall.h>
#include <unistd.h>

#include <filesystem>
#include <fstream>
#include <optional>

#include "Platform/CodeIdentity/CodeSigningStatus.h"
#include "Platform/CodeIdentity/SodiumCodeSigning.h"
#include "Platform/CodeIdentity/TestIdentity.h"
#include "Platform/UniqueFd.h"
#include "QuellanServiceAuth/ClientSignature.h"

namespace quellan {
namespace {

using namespace dravik::platform;
using Kind = ClientSignatureError::Kind;

class ClientSignatureProcessTest : public ::testing::Test {
 protected:
  // The refusal of authenticating `program` while it runs, or nothing when accepted.
  struct Refusal {
    Kind kind;
    OSStatus status;
    bool operator==(const Refusal&) const = default;
  };
  std::optional<Refusal> refusalOf(const std::function<ClientSignature()>& call) {
    try {
      call();
      return std::nullopt;
    } catch (const ClientSignatureError& e) {
      return Refusal{e.kind(), e.status()};
    }
  }
  std::optional<Refusal> refusalRunning(const std::string& program) {
    RunningProgram running(program, {"wait"});
    return refusalOf([&] { return authentication.authenticate(running.pid()); });
  }

  TestIdentities ids;
  SodiumCodeSigning signing{ids.anchorPublicKey()};
  SleepServiceClientAuthentication authentication{signing};
};

TEST_F(ClientSignatureProcessTest, AcceptedClientIsPinnedToItsHash) {
  const std::string program = ids.signedProgram("client", "dravik");
  RunningProgram running(program, {"wait"});
  const ClientSignature signature = authentication.authenticate(running.pid());
  EXPECT_EQ(signature.identifier, "dravik");
  EXPECT_EQ(signature.team, "Q7TX2KM9RZ");
  ASSERT_EQ(signature.cdhash.size(), 40u);
  EXPECT_EQ(signature.cdhash.find_first_not_of("0123456789abcdef"), std::string::npos);
  EXPECT_NE(signature.connectionRequirement().find("cdhash H\"" + signature.cdhash + "\""),
            std::string::npos);

  // A second authentication of the same program (another run of it) agrees.
  RunningProgram second(program, {"wait"});
  EXPECT_EQ(authentication.authenticate(second.pid()), signature);
  EXPECT_EQ(authentication.inspectExecutable(program), signature);

  // Through the peer's pidfd, as the socket transport does.
  UniqueFd pidfd(static_cast<int>(::syscall(SYS_pidfd_open, running.pid(), 0)));
  ASSERT_TRUE(pidfd.valid());
  EXPECT_EQ(authentication.authenticatePidfd(pidfd.get()), signature);
}

TEST_F(ClientSignatureProcessTest, EachClientIdentifierIsAccepted) {
  for (const char* identifier : {"dravik", "dravik.agent", "dravik.compatibility"}) {
    const std::string program = ids.signedProgram(identifier, identifier);
    EXPECT_EQ(refusalRunning(program), std::nullopt) << identifier;
  }
}

TEST_F(ClientSignatureProcessTest, RefusedPrograms) {
  const std::string modified = ids.signedProgram("modified", "dravik");
  std::ofstream(modified, std::ios::app) << "patched";
  struct Case {
    const char* what;
    std::string program;
    Refusal refusal;
  } cases[] = {
      {"unsigned", ids.copyProgram("unsigned"), {Kind::security, kCodeSigningUnsigned}},
      {"signed under another anchor",
       ids.signedProgram("other-anchor", "dravik", TestSigner::ofOtherAnchor()),
       {Kind::security, kCodeSigningRequirementFailed}},
      {"signed by another team",
       ids.signedProgram("other-team", "dravik", TestSigner::ofTeam("OTHERTEAM1")),
       {Kind::security, kCodeSigningRequirementFailed}},
      {"another team with the distribution field",
       ids.signedProgram("distribution", "dravik",
                         TestSigner::ofTeam("OTHERTEAM1", {kAppleDistributionField})),
       {Kind::identity, 0}},
      {"the daemon's identifier",
       ids.signedProgram("daemon", "dravik.sleep-service"),
       {Kind::identity, 0}},
      {"changed after signing", modified, {Kind::security, kCodeSigningCodeModified}},
  };
  for (const auto& c : cases) {
    EXPECT_EQ(refusalRunning(c.program), c.refusal) << c.what;
    EXPECT_EQ(refusalOf([&] { return authentication.inspectExecutable(c.program); }), c.refusal)
        << c.what;
  }
}

TEST_F(ClientSignatureProcessTest, EndedProcessIsRefused) {
  const std::string program = ids.signedProgram("client", "dravik");
  RunningProgram running(program, {"wait"});
  const pid_t pid = running.pid();
  running.closeInput();
  running.reap();
  const auto refusal = refusalOf([&] { return authentication.authenticate(pid); });
  ASSERT_TRUE(refusal);
  EXPECT_EQ(refusal->kind, Kind::security);
}

TEST_F(ClientSignatureProcessTest, ClientThatExecsAnotherProgramLosesItsPin) {
  const std::string other = ids.signedProgram("other", "dravik", {}, "other");
  const std::string program = ids.signedProgram("client", "dravik");
  RunningProgram running(program, {"wait-exec", other});
  const ClientSignature signature = authentication.authenticate(running.pid());

  // What the transport does for every message of a pinned connection.
  std::shared_ptr<Code> code;
  ASSERT_EQ(signing.copyGuestWithPid(running.pid(), &code), kCodeSigningOk);
  std::shared_ptr<const Requirement> pinned;
  ASSERT_EQ(signing.createRequirement(signature.connectionRequirement(), &pinned), kCodeSigningOk);
  EXPECT_EQ(signing.checkValidity(*code, 0, pinned.get()), kCodeSigningOk);

  running.send('x');
  const std::string link = "/proc/" + std::to_string(running.pid()) + "/exe";
  ASSERT_TRUE(waitUntil([&] {
    std::error_code error;
    return std::filesystem::read_symlink(link, error).string() == other;
  }));
  EXPECT_EQ(signing.checkValidity(*code, 0, pinned.get()), kCodeSigningRequirementFailed);
  // Judged afresh, the new program is a client in its own right, with another hash.
  EXPECT_NE(authentication.authenticate(running.pid()).cdhash, signature.cdhash);
}

}  // namespace
}  // namespace quellan
