#pragma once
// Throw-away code identities and running signed programs, for tests.
//
//   TestIdentities ids;                               // a temporary directory and an anchor
//   auto program = ids.signedProgram("client", "dravik");   // a signed copy of the test program
//   SodiumCodeSigning signing(ids.anchorPublicKey());  // trusts that anchor
//   RunningProgram running(program, {"wait"});         // runs until destroyed
//
// Everything lives in the temporary directory, removed when the object goes.

#include <sys/types.h>

#include <functional>
#include <map>
#include <string>
#include <vector>

namespace dravik::platform {

// The test program built beside the tests (see identity_test_program.cc).
inline constexpr const char* kIdentityTestProgram = DRAVIK_IDENTITY_TEST_PROGRAM;
inline constexpr const char* kTestTeam = "Q7TX2KM9RZ";
inline constexpr const char* kAppleDistributionField = "1.2.840.113635.100.6.1.9";

// Who signs a test program.
struct TestSigner {
  std::string team = kTestTeam;
  std::vector<std::string> fields;
  bool otherAnchor = false;  // issued by an anchor nobody trusts

  static TestSigner ofTeam(std::string team, std::vector<std::string> fields = {}) {
    TestSigner signer;
    signer.team = std::move(team);
    signer.fields = std::move(fields);
    return signer;
  }
  static TestSigner ofOtherAnchor() {
    TestSigner signer;
    signer.otherAnchor = true;
    return signer;
  }
};

class TestIdentities {
 public:
  using Signer = TestSigner;

  TestIdentities();
  ~TestIdentities();
  TestIdentities(const TestIdentities&) = delete;
  TestIdentities& operator=(const TestIdentities&) = delete;

  const std::string& dir() const { return dir_; }
  // The trusted anchor's public key file (hand it to SodiumCodeSigning).
  std::string anchorPublicKey() const;
  std::string anchorDir() const { return dir_ + "/anchor"; }
  // A certificate directory for `signer`, made on first use.
  std::string certificate(const Signer& signer);
  // A copy of the test program at dir/<name> (mode 0755), with `extra` appended so that
  // copies can differ in their hash.
  std::string copyProgram(const std::string& name, const std::string& extra = "");
  // copyProgram, then signed under `identifier` by `signer`.
  std::string signedProgram(const std::string& name, const std::string& identifier,
                            const Signer& signer = {}, const std::string& extra = "");

 private:
  std::string dir_;
  std::map<std::string, std::string> certificates_;
};

// A child process running `program args...` with its standard input on a pipe. Killed and
// reaped when destroyed, unless reaped before.
class RunningProgram {
 public:
  RunningProgram(const std::string& program, const std::vector<std::string>& args);
  ~RunningProgram();
  RunningProgram(const RunningProgram&) = delete;
  RunningProgram& operator=(const RunningProgram&) = delete;

  pid_t pid() const { return pid_; }
  void send(char byte);
  void closeInput();
  // Waits for the process to end and reaps it; returns its wait status.
  int reap();

 private:
  pid_t pid_ = -1;
  int input_ = -1;
};

// Polls `condition` every few milliseconds for up to `seconds`; true once it holds.
bool waitUntil(const std::function<bool()>& condition, double seconds = 20);

}  // namespace dravik::platform
