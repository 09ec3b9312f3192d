#pragma once
// Code identity on the simulated MacBook (see CodeIdentity.h for the scheme).
//
// A program on disk is judged by hashing it and checking the detached signature beside it
// (`<program>.sig`); "anchor apple generic" holds when the certificate was issued by the
// trusted anchor, whose public key is read once, on first need, from kTrustedAnchorPath
// inside the machine root (or from the file given to the constructor).
//
// A running process is held by pidfd, never by bare pid: its executable is read through
// /proc/<pid>/exe and the pidfd is asked afterwards whether the process still lives, so a
// process that ended (and whose pid may have been handed to another) is refused. A Code
// remembers the executable it saw (device, inode, size, modification time), its hash and
// its verified signature; each check re-resolves /proc/<pid>/exe and re-reads only when
// the process now runs another file.
//
// Thread-safe: the anchor and each Code are guarded by their own locks.

#include <mutex>
#include <optional>
#include <string>

#include "Platform/CodeIdentity/CodeIdentity.h"
#include "Platform/CodeSigning.h"

namespace dravik::platform {

class SodiumCodeSigning final : public CodeSigning {
 public:
  // Trusts the anchor at kTrustedAnchorPath inside the machine root.
  SodiumCodeSigning();
  // Trusts the anchor public key in `anchorPublicKeyPath` (an anchor.pub file).
  explicit SodiumCodeSigning(std::string anchorPublicKeyPath);

  OSStatus createRequirement(const std::string& text,
                             std::shared_ptr<const Requirement>* requirement) override;
  OSStatus copyGuestWithPid(std::int32_t pid, std::shared_ptr<Code>* code) override;
  OSStatus copyGuestWithPidfd(int pidfd, std::shared_ptr<Code>* code) override;
  // Flags must be 0.
  OSStatus checkValidity(const Code& code, std::uint32_t flags,
                         const Requirement* requirement) override;
  // Flags must be 0. The static code reads the very file the process runs, even when its
  // path has since been replaced.
  OSStatus copyStaticCode(const Code& code, std::uint32_t flags,
                          std::shared_ptr<StaticCode>* staticCode) override;
  OSStatus createStaticCodeWithPath(const std::string& path,
                                    std::shared_ptr<StaticCode>* staticCode) override;
  // Flags: 0 or kStrictValidate. Strict validation also refuses a program or signature
  // that is writable by group or others, and a signature reached through a symbolic link.
  OSStatus checkStaticValidity(const StaticCode& code, std::uint32_t flags,
                               const Requirement* requirement) override;
  // Flags: 0 or kSigningInformation. Fails unless the signature is valid for the file.
  OSStatus copySigningInformation(const StaticCode& code, std::uint32_t flags,
                                  SigningInformation* information) override;

  const std::string& anchorPublicKeyPath() const { return anchorPath_; }

 private:
  OSStatus trustedAnchor(PublicKey* key);
  OSStatus judge(const DetachedSignature& signature, const Requirement* requirement);
  OSStatus makeCode(std::int32_t pid, int ownedPidfd, std::shared_ptr<Code>* code);

  const std::string anchorPath_;
  std::mutex anchorMutex_;
  std::optional<PublicKey> anchor_;  // guarded by anchorMutex_
};

}  // namespace dravik::platform
