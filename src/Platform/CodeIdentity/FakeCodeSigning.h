#pragma once
// An in-memory CodeSigning for unit tests. Programs (by path) and processes (by pid or
// pidfd) are registered by hand; requirements are compiled and judged by the real
// requirement language against each program's facts. Switches make any operation return a
// status of its choosing, or succeed without yielding an object. Every call is recorded as
// "<operation> flags=<n>[ <requirement text>]" so tests can see what was asked, with which
// flags. Thread-safe.

#include <map>
#include <mutex>
#include <set>
#include <string>
#include <vector>

#include "Platform/CodeIdentity/RequirementLanguage.h"
#include "Platform/CodeSigning.h"

namespace dravik::platform {

class FakeCodeSigning final : public CodeSigning {
 public:
  enum class Operation {
    kCreateRequirement,
    kCopyGuest,  // both by pid and by pidfd
    kCheckValidity,
    kCopyStaticCode,
    kCreateStaticCodeWithPath,
    kCheckStaticValidity,
    kCopySigningInformation,
  };

  struct Program {
    CodeFacts facts;                 // what requirements are judged against
    SigningInformation information;  // what copySigningInformation reports
  };
  // A program signed by the trusted anchor (or not) whose facts and information agree.
  static Program signedProgram(const std::string& identifier, const std::string& team,
                               const Cdhash& cdhash, bool anchorTrusted = true,
                               std::vector<std::string> fields = {});

  void addProgram(const std::string& path, Program program);
  void addProcess(std::int32_t pid, const std::string& path);
  void addPidfd(int pidfd, std::int32_t pid);
  // The process now runs another program; Codes made before see it at their next check.
  void execProcess(std::int32_t pid, const std::string& path);
  void endProcess(std::int32_t pid);

  // The operation returns `status` from now on (0 restores normal behaviour).
  void setStatus(Operation operation, OSStatus status);
  // The operation returns 0 without yielding its object (requirement, code, static code).
  void setYieldsNothing(Operation operation, bool yieldsNothing);

  std::vector<std::string> calls() const;

  OSStatus createRequirement(const std::string& text,
                             std::shared_ptr<const Requirement>* requirement) override;
  OSStatus copyGuestWithPid(std::int32_t pid, std::shared_ptr<Code>* code) override;
  OSStatus copyGuestWithPidfd(int pidfd, std::shared_ptr<Code>* code) override;
  OSStatus checkValidity(const Code& code, std::uint32_t flags,
                         const Requirement* requirement) override;
  OSStatus copyStaticCode(const Code& code, std::uint32_t flags,
                          std::shared_ptr<StaticCode>* staticCode) override;
  OSStatus createStaticCodeWithPath(const std::string& path,
                                    std::shared_ptr<StaticCode>* staticCode) override;
  OSStatus checkStaticValidity(const StaticCode& code, std::uint32_t flags,
                               const Requirement* requirement) override;
  OSStatus copySigningInformation(const StaticCode& code, std::uint32_t flags,
                                  SigningInformation* information) override;

 private:
  // Records the call; returns the switched status, or 0 to go on.
  OSStatus enter(Operation operation, const std::string& name, std::uint32_t flags,
                 const Requirement* requirement);
  OSStatus judge(const std::string& path, const Requirement* requirement) const;
  OSStatus guest(std::int32_t pid, std::shared_ptr<Code>* code);

  mutable std::mutex mutex_;
  std::map<std::string, Program> programs_;
  std::map<std::int32_t, std::string> processes_;
  std::map<int, std::int32_t> pidfds_;
  std::map<Operation, OSStatus> statuses_;
  std::set<Operation> yieldsNothing_;
  std::vector<std::string> calls_;
};

}  // namespace dravik::platform
