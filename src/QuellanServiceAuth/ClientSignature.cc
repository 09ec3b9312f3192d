#include "QuellanServiceAuth/ClientSignature.h"

#include <cstdio>

#include "QuellanServiceProtocol/ServiceProtocol.h"

namespace quellan {

using dravik::platform::Code;
using dravik::platform::CodeSigning;
using dravik::platform::OSStatus;
using dravik::platform::Requirement;
using dravik::platform::SigningInformation;
using dravik::platform::StaticCode;

namespace {

constexpr std::size_t kCdhashBytes = 20;

std::string pinningRequirement(const std::string& identifier, const std::string& cdhash) {
  return "anchor apple generic and identifier \"" + identifier + "\" and cdhash H\"" + cdhash +
         "\"";
}

}  // namespace

std::string ClientSignature::connectionRequirement() const {
  return pinningRequirement(identifier, cdhash);
}

ClientSignatureError::ClientSignatureError(Kind kind, OSStatus status)
    : kind_(kind), status_(status) {
  switch (kind) {
    case Kind::security:
      what_ = "client signature: security (" + std::to_string(status) + ")";
      break;
    case Kind::identity:
      what_ = "client signature: identity";
      break;
    case Kind::hash:
      what_ = "client signature: hash";
      break;
  }
}

ClientSignatureError ClientSignatureError::security(OSStatus status) {
  return ClientSignatureError(Kind::security, status);
}
ClientSignatureError ClientSignatureError::identity() {
  return ClientSignatureError(Kind::identity, 0);
}
ClientSignatureError ClientSignatureError::hash() { return ClientSignatureError(Kind::hash, 0); }

SleepServiceClientAuthentication::SleepServiceClientAuthentication(CodeSigning& codeSigning)
    : codeSigning_(codeSigning) {}

const std::string& SleepServiceClientAuthentication::provenance() {
  // A function-local static: built once, on first use, thread-safely.
  static const std::string text =
      std::string("anchor apple generic and (\n") + "  certificate leaf[subject.OU] = \"" +
      CompatibilityService::team + "\" or\n" +
      "  certificate leaf[field.1.2.840.113635.100.6.1.9] exists or\n" +
      "  certificate leaf[field.1.2.840.113635.100.6.1.25.1] exists\n" + ")";
  return text;
}

std::shared_ptr<const Requirement> SleepServiceClientAuthentication::compile(
    const std::string& text) const {
  std::shared_ptr<const Requirement> requirement;
  if (OSStatus status = codeSigning_.createRequirement(text, &requirement))
    throw ClientSignatureError::security(status);
  if (!requirement) throw ClientSignatureError::identity();
  return requirement;
}

ClientSignature SleepServiceClientAuthentication::authenticate(
    std::int32_t processIdentifier) const {
  if (processIdentifier < 1) throw ClientSignatureError::identity();
  std::shared_ptr<Code> code;
  const OSStatus status = codeSigning_.copyGuestWithPid(processIdentifier, &code);
  return authenticateCode(status, code);
}

ClientSignature SleepServiceClientAuthentication::authenticatePidfd(int pidfd) const {
  if (pidfd < 0) throw ClientSignatureError::identity();
  std::shared_ptr<Code> code;
  const OSStatus status = codeSigning_.copyGuestWithPidfd(pidfd, &code);
  return authenticateCode(status, code);
}

ClientSignature SleepServiceClientAuthentication::authenticateCode(
    OSStatus status, const std::shared_ptr<Code>& code) const {
  if (status != 0) throw ClientSignatureError::security(status);
  if (!code) throw ClientSignatureError::identity();
  const auto requirement = compile(provenance());
  if (OSStatus checked = codeSigning_.checkValidity(*code, 0, requirement.get()))
    throw ClientSignatureError::security(checked);
  std::shared_ptr<StaticCode> staticCode;
  if (OSStatus copied = codeSigning_.copyStaticCode(*code, 0, &staticCode))
    throw ClientSignatureError::security(copied);
  if (!staticCode) throw ClientSignatureError::identity();
  return validate(*staticCode, CompatibilityService::team);
}

ClientSignature SleepServiceClientAuthentication::validate(const StaticCode& staticCode,
                                                           const std::string& expectedTeam) const {
  const auto requirement = compile(provenance());
  if (OSStatus status = codeSigning_.checkStaticValidity(staticCode, CodeSigning::kStrictValidate,
                                                         requirement.get()))
    throw ClientSignatureError::security(status);

  SigningInformation information;
  if (OSStatus status = codeSigning_.copySigningInformation(
          staticCode, CodeSigning::kSigningInformation, &information))
    throw ClientSignatureError::security(status);

  if (!information.identifier) throw ClientSignatureError::identity();
  const std::string identifier = *information.identifier;
  if (!CompatibilityService::clientIdentifiers().count(identifier))
    throw ClientSignatureError::identity();

  if (!information.teamIdentifier) throw ClientSignatureError::identity();
  const std::string team = *information.teamIdentifier;
  if (team != expectedTeam) throw ClientSignatureError::identity();

  if (!information.unique) throw ClientSignatureError::hash();
  const auto& unique = *information.unique;
  if (unique.size() != kCdhashBytes) throw ClientSignatureError::hash();

  std::string cdhash;
  for (std::uint8_t byte : unique) {
    char digits[3];
    std::snprintf(digits, sizeof digits, "%02x", byte);
    cdhash += digits;
  }

  const auto pinning = compile(pinningRequirement(identifier, cdhash));
  if (OSStatus status = codeSigning_.checkStaticValidity(staticCode, 0, pinning.get()))
    throw ClientSignatureError::security(status);

  return ClientSignature{identifier, team, cdhash};
}

ClientSignature SleepServiceClientAuthentication::inspectExecutable(const std::string& path) const {
  std::shared_ptr<StaticCode> staticCode;
  if (OSStatus status = codeSigning_.createStaticCodeWithPath(path, &staticCode))
    throw ClientSignatureError::security(status);
  if (!staticCode) throw ClientSignatureError::identity();
  return validate(*staticCode, CompatibilityService::team);
}

}  // namespace quellan
