#pragma once
// Client authentication: decides from a process whether it is one of the sleep service's
// accepted clients, and yields its signing identity or the reason it is refused.
//
// A client is accepted when its running code and its code on disk both satisfy the
// provenance requirement (anchored signature whose leaf names our team, or carries one of
// the two distribution marker fields), its identifier is one of
// CompatibilityService::clientIdentifiers(), its team is CompatibilityService::team, and
// its code directory hash is 20 bytes, which its ClientSignature then pins.

#include <cstdint>
#include <exception>
#include <memory>
#include <string>

#include "Platform/CodeSigning.h"

namespace quellan {

// The signing identity of an accepted client.
struct ClientSignature {
  std::string identifier;
  std::string team;
  std::string cdhash;  // 40 lower-case hexadecimal digits

  // `anchor apple generic and identifier "<identifier>" and cdhash H"<cdhash>"`: holds for
  // exactly the code that was validated.
  std::string connectionRequirement() const;

  bool operator==(const ClientSignature&) const = default;
};

// Why a process was refused. Used only to refuse: never logged nor sent.
class ClientSignatureError : public std::exception {
 public:
  enum class Kind {
    security,  // a code signing call failed; status() holds its status
    identity,  // the process or its signature is missing, or is not an accepted client's
    hash,      // the code directory hash is missing or not 20 bytes
  };

  static ClientSignatureError security(dravik::platform::OSStatus status);
  static ClientSignatureError identity();
  static ClientSignatureError hash();

  Kind kind() const { return kind_; }
  // The failed call's status for `security`; 0 otherwise.
  dravik::platform::OSStatus status() const { return status_; }
  // "client signature: security (-70005)", "client signature: identity", "... hash".
  const char* what() const noexcept override { return what_.c_str(); }

 private:
  ClientSignatureError(Kind kind, dravik::platform::OSStatus status);

  Kind kind_;
  dravik::platform::OSStatus status_;
  std::string what_;
};

// The authentication steps, over a code signing service handed in (not owned; it must
// outlive this object). Holds no other state; safe to use from any thread as far as the
// code signing service is.
class SleepServiceClientAuthentication {
 public:
  explicit SleepServiceClientAuthentication(dravik::platform::CodeSigning& codeSigning);

  // The client behind a process identifier. Throws ClientSignatureError.
  ClientSignature authenticate(std::int32_t processIdentifier) const;
  // The same for a peer known by its pidfd (borrowed, not closed), as a socket reports it;
  // immune to the peer's pid being reused. Throws ClientSignatureError.
  ClientSignature authenticatePidfd(int pidfd) const;
  // Strict validation of a program on disk against the provenance requirement, then the
  // identifier, team and hash checks, then validation against the pinning requirement.
  ClientSignature validate(const dravik::platform::StaticCode& staticCode,
                           const std::string& expectedTeam) const;
  // validate() applied to the program at `path` with CompatibilityService::team.
  ClientSignature inspectExecutable(const std::string& path) const;

  // The provenance requirement text, built once on first use (thread-safe).
  static const std::string& provenance();

 private:
  ClientSignature authenticateCode(dravik::platform::OSStatus status,
                                   const std::shared_ptr<dravik::platform::Code>& code) const;
  std::shared_ptr<const dravik::platform::Requirement> compile(const std::string& text) const;

  dravik::platform::CodeSigning& codeSigning_;
};

}  // namespace quellan
