#include <gtest/gtest.h>

#include <optional>
#include <set>
#include <thread>

#include "Platform/CodeIdentity/CodeSigningStatus.h"
#include "Platform/CodeIdentity/FakeCodeSigning.h"
#include "QuellanServiceAuth/ClientSignature.h"

namespace quellan {
namespace {

using dravik::platform::Cdhash;
using dravik::platform::FakeCodeSigning;
using dravik::platform::SigningInformation;
using Operation = FakeCodeSigning::Operation;
using Kind = ClientSignatureError::Kind;

constexpr const char* kProvenance =
    "anchor apple generic and (\n"
    "  certificate leaf[subject.OU] = \"Q7TX2KM9RZ\" or\n"
    "  certificate leaf[field.1.2.840.113635.100.6.1.9] exists or\n"
    "  certificate leaf[field.1.2.840.113635.100.6.1.25.1] exists\n"
    ")";
constexpr const char* kHashHex = "0a0b0c0d0e0f101112131415161718191a1b1cff";
constexpr Cdhash kHash = {0x0a, 0x0b, 0x0c, 0x0d, 0x0e, 0x0f, 0x10, 0x11, 0x12, 0x13,
                          0x14, 0x15, 0x16, 0x17, 0x18, 0x19, 0x1a, 0x1b, 0x1c, 0xff};
constexpr std::int32_t kPid = 4242;
constexpr const char* kPath = "/Applications/Dravik.app/Contents/MacOS/Dravik";

// What authenticate() yielded: a signature or the refusal.
struct Outcome {
  std::optional<ClientSignature> signature;
  std::optional<Kind> kind;
  dravik::platform::OSStatus status = 0;
};

template <typename Call>
Outcome outcomeOf(Call call) {
  Outcome outcome;
  try {
    outcome.signature = call();
  } catch (const ClientSignatureError& e) {
    outcome.kind = e.kind();
    outcome.status = e.status();
  }
  return outcome;
}

class ClientSignatureTest : public ::testing::Test {
 protected:
  ClientSignatureTest() {
    signing.addProgram(kPath, FakeCodeSigning::signedProgram("dravik", "Q7TX2KM9RZ", kHash));
    signing.addProcess(kPid, kPath);
  }
  Outcome authenticate(std::int32_t pid = kPid) {
    return outcomeOf([&] { return authentication.authenticate(pid); });
  }
  // Makes the program report `information` while its requirements still hold.
  void reportInformation(SigningInformation information) {
    auto program = FakeCodeSigning::signedProgram("dravik", "Q7TX2KM9RZ", kHash);
    program.information = std::move(information);
    signing.addProgram(kPath, program);
  }

  FakeCodeSigning signing;
  SleepServiceClientAuthentication authentication{signing};
};

TEST_F(ClientSignatureTest, AcceptedClientFollowsEveryStepWithItsFlags) {
  const Outcome outcome = authenticate();
  ASSERT_TRUE(outcome.signature);
  EXPECT_EQ(*outcome.signature, (ClientSignature{"dravik", "Q7TX2KM9RZ", kHashHex}));
  const std::string pinned = std::string("anchor apple generic and identifier \"dravik\" and ") +
                             "cdhash H\"" + kHashHex + "\"";
  EXPECT_EQ(outcome.signature->connectionRequirement(), pinned);
  EXPECT_EQ(signing.calls(), (std::vector<std::string>{
                                 "copyGuestWithPid flags=0",
                                 std::string("createRequirement ") + kProvenance,
                                 std::string("checkValidity flags=0 ") + kProvenance,
                                 "copyStaticCode flags=0",
                                 std::string("createRequirement ") + kProvenance,
                                 std::string("checkStaticValidity flags=16 ") + kProvenance,
                                 "copySigningInformation flags=2",
                                 "createRequirement " + pinned,
                                 "checkStaticValidity flags=0 " + pinned,
                             }));
}

TEST_F(ClientSignatureTest, ProvenanceIsTheFiveLineText) {
  EXPECT_EQ(SleepServiceClientAuthentication::provenance(), kProvenance);
  std::set<const std::string*> seen;
  std::mutex mutex;
  std::vector<std::thread> threads;
  for (int i = 0; i < 4; ++i) {
    threads.emplace_back([&] {
      const std::string* text = &SleepServiceClientAuthentication::provenance();
      std::lock_guard lock(mutex);
      seen.insert(text);
    });
  }
  for (auto& thread : threads) thread.join();
  EXPECT_EQ(seen.size(), 1u);
}

TEST_F(ClientSignatureTest, ProcessIdentifiersBelowOneAreRefusedUnlooked) {
  for (std::int32_t pid : {0, -1, INT32_MIN}) {
    const Outcome outcome = authenticate(pid);
    EXPECT_EQ(outcome.kind, Kind::identity) << pid;
  }
  EXPECT_TRUE(signing.calls().empty());
  EXPECT_EQ(outcomeOf([&] { return authentication.authenticatePidfd(-1); }).kind, Kind::identity);
}

TEST_F(ClientSignatureTest, FailedCallsAreSecurityRefusals) {
  for (Operation operation :
       {Operation::kCopyGuest, Operation::kCreateRequirement, Operation::kCheckValidity,
        Operation::kCopyStaticCode, Operation::kCheckStaticValidity,
        Operation::kCopySigningInformation}) {
    FakeCodeSigning failing;
    failing.addProgram(kPath, FakeCodeSigning::signedProgram("dravik", "Q7TX2KM9RZ", kHash));
    failing.addProcess(kPid, kPath);
    failing.setStatus(operation, -67050);
    SleepServiceClientAuthentication refusing(failing);
    const Outcome outcome = outcomeOf([&] { return refusing.authenticate(kPid); });
    EXPECT_EQ(outcome.kind, Kind::security) << static_cast<int>(operation);
    EXPECT_EQ(outcome.status, -67050) << static_cast<int>(operation);
  }
}

TEST_F(ClientSignatureTest, MissingObjectsAreIdentityRefusals) {
  for (Operation operation :
       {Operation::kCopyGuest, Operation::kCreateRequirement, Operation::kCopyStaticCode}) {
    FakeCodeSigning empty;
    empty.addProgram(kPath, FakeCodeSigning::signedProgram("dravik", "Q7TX2KM9RZ", kHash));
    empty.addProcess(kPid, kPath);
    empty.setYieldsNothing(operation, true);
    SleepServiceClientAuthentication refusing(empty);
    const Outcome outcome = outcomeOf([&] { return refusing.authenticate(kPid); });
    EXPECT_EQ(outcome.kind, Kind::identity) << static_cast<int>(operation);
  }
}

TEST_F(ClientSignatureTest, UnknownProcessIsASecurityRefusal) {
  const Outcome outcome = authenticate(999);
  EXPECT_EQ(outcome.kind, Kind::security);
  EXPECT_EQ(outcome.status, dravik::platform::kCodeSigningNoSuchProcess);
}

TEST_F(ClientSignatureTest, RequirementsDecideProvenance) {
  struct Case {
    const char* what;
    FakeCodeSigning::Program program;
    std::optional<Kind> kind;
  } cases[] = {
      {"companion app", FakeCodeSigning::signedProgram("dravik.compatibility", "Q7TX2KM9RZ", kHash),
       std::nullopt},
      {"agent", FakeCodeSigning::signedProgram("dravik.agent", "Q7TX2KM9RZ", kHash), std::nullopt},
      {"the daemon's own identifier",
       FakeCodeSigning::signedProgram("dravik.sleep-service", "Q7TX2KM9RZ", kHash), Kind::identity},
      {"untrusted anchor",
       FakeCodeSigning::signedProgram("dravik", "Q7TX2KM9RZ", kHash, /*anchorTrusted=*/false),
       Kind::security},
      {"another team", FakeCodeSigning::signedProgram("dravik", "OTHERTEAM1", kHash),
       Kind::security},
      {"another team with the distribution field",
       FakeCodeSigning::signedProgram("dravik", "OTHERTEAM1", kHash, true,
                                      {"1.2.840.113635.100.6.1.9"}),
       Kind::identity},
      {"another team with the other distribution field",
       FakeCodeSigning::signedProgram("dravik", "OTHERTEAM1", kHash, true,
                                      {"1.2.840.113635.100.6.1.25.1"}),
       Kind::identity},
      {"our team with a distribution field",
       FakeCodeSigning::signedProgram("dravik", "Q7TX2KM9RZ", kHash, true,
                                      {"1.2.840.113635.100.6.1.9"}),
       std::nullopt},
  };
  for (const auto& c : cases) {
    signing.addProgram(kPath, c.program);
    const Outcome outcome = authenticate();
    EXPECT_EQ(outcome.kind, c.kind) << c.what;
    if (c.kind == Kind::security) {
      EXPECT_EQ(outcome.status, dravik::platform::kCodeSigningRequirementFailed) << c.what;
    }
  }
}

TEST_F(ClientSignatureTest, SigningInformationIsCheckedInOrder) {
  auto info = [](std::optional<std::string> identifier, std::optional<std::string> team,
                 std::optional<std::vector<std::uint8_t>> unique) {
    return SigningInformation{std::move(identifier), std::move(team), std::move(unique)};
  };
  const std::vector<std::uint8_t> good(kHash.begin(), kHash.end());
  struct Case {
    const char* what;
    SigningInformation information;
    Kind kind;
  } cases[] = {
      {"no identifier", info(std::nullopt, "Q7TX2KM9RZ", good), Kind::identity},
      {"identifier not a client", info("dravik.sleep-service", "Q7TX2KM9RZ", good), Kind::identity},
      {"identifier differing in case", info("Dravik", "Q7TX2KM9RZ", good), Kind::identity},
      {"no team", info("dravik", std::nullopt, good), Kind::identity},
      {"another team", info("dravik", "OTHERTEAM1", good), Kind::identity},
      {"team with a trailing space", info("dravik", "Q7TX2KM9RZ ", good), Kind::identity},
      {"no hash", info("dravik", "Q7TX2KM9RZ", std::nullopt), Kind::hash},
      {"empty hash", info("dravik", "Q7TX2KM9RZ", std::vector<std::uint8_t>{}), Kind::hash},
      {"19-byte hash", info("dravik", "Q7TX2KM9RZ", std::vector<std::uint8_t>(19, 1)), Kind::hash},
      {"32-byte hash", info("dravik", "Q7TX2KM9RZ", std::vector<std::uint8_t>(32, 1)), Kind::hash},
      // The identifier is judged before the hash.
      {"bad identifier and hash", info("nobody", "Q7TX2KM9RZ", std::nullopt), Kind::identity},
  };
  for (const auto& c : cases) {
    reportInformation(c.information);
    EXPECT_EQ(authenticate().kind, c.kind) << c.what;
  }
}

TEST_F(ClientSignatureTest, PinningRequirementMustHoldForTheReportedHash) {
  // The signature reports a hash that the code's own requirement facts do not have.
  std::vector<std::uint8_t> other(kHash.begin(), kHash.end());
  other[0] ^= 1;
  reportInformation(SigningInformation{"dravik", "Q7TX2KM9RZ", other});
  const Outcome outcome = authenticate();
  EXPECT_EQ(outcome.kind, Kind::security);
  EXPECT_EQ(outcome.status, dravik::platform::kCodeSigningRequirementFailed);
}

TEST_F(ClientSignatureTest, PidfdVariantLooksUpByPidfd) {
  signing.addPidfd(17, kPid);
  const Outcome outcome = outcomeOf([&] { return authentication.authenticatePidfd(17); });
  ASSERT_TRUE(outcome.signature);
  EXPECT_EQ(outcome.signature->cdhash, kHashHex);
  EXPECT_EQ(signing.calls().front(), "copyGuestWithPidfd flags=0");
}

TEST_F(ClientSignatureTest, InspectExecutableValidatesTheFile) {
  const Outcome accepted = outcomeOf([&] { return authentication.inspectExecutable(kPath); });
  ASSERT_TRUE(accepted.signature);
  EXPECT_EQ(accepted.signature->identifier, "dravik");
  EXPECT_EQ(signing.calls().front(), "createStaticCodeWithPath flags=0");

  signing.setStatus(Operation::kCreateStaticCodeWithPath, -70008);
  Outcome refused = outcomeOf([&] { return authentication.inspectExecutable(kPath); });
  EXPECT_EQ(refused.kind, Kind::security);
  EXPECT_EQ(refused.status, -70008);

  signing.setStatus(Operation::kCreateStaticCodeWithPath, 0);
  signing.setYieldsNothing(Operation::kCreateStaticCodeWithPath, true);
  refused = outcomeOf([&] { return authentication.inspectExecutable(kPath); });
  EXPECT_EQ(refused.kind, Kind::identity);
}

TEST_F(ClientSignatureTest, ValidateComparesTheExpectedTeam) {
  std::shared_ptr<dravik::platform::StaticCode> code;
  ASSERT_EQ(signing.createStaticCodeWithPath(kPath, &code), 0);
  EXPECT_EQ(authentication.validate(*code, "Q7TX2KM9RZ").team, "Q7TX2KM9RZ");
  EXPECT_EQ(outcomeOf([&] { return authentication.validate(*code, "Q7TX2KM9R"); }).kind,
            Kind::identity);
}

TEST(ClientSignatureErrorTest, DescriptionsNameTheKind) {
  EXPECT_STREQ(ClientSignatureError::security(-70005).what(),
               "client signature: security (-70005)");
  EXPECT_EQ(ClientSignatureError::security(-70005).status(), -70005);
  EXPECT_STREQ(ClientSignatureError::identity().what(), "client signature: identity");
  EXPECT_STREQ(ClientSignatureError::hash().what(), "client signature: hash");
  EXPECT_EQ(ClientSignatureError::hash().status(), 0);
}

}  // namespace
}  // namespace quellan
