#pragma once
// Signing identities kept as directories, for the signing tool, the build and tests:
//
//   <anchor dir>/anchor.key        the anchor's secret key (mode 0600)
//   <anchor dir>/anchor.pub        the anchor's public key
//   <cert dir>/leaf.key            a leaf secret key (mode 0600)
//   <cert dir>/certificate.json    the leaf's certificate, issued by an anchor
//   <program>.sig                  a program's detached signature
//   <machine root>/System/Library/Security/dravik-anchor.pub   the trusted anchor
//
// Every operation throws std::runtime_error with a message naming the file and the fault
// (std::system_error for a failed system call). Files are written atomically (temporary
// file, fsync, rename) and existing keys are never overwritten.

#include <string>
#include <vector>

#include "Platform/CodeIdentity/CodeIdentity.h"

namespace dravik::platform {

// Where the trusted anchor's public key lives, as an absolute path of the machine.
inline constexpr const char* kTrustedAnchorPath = "/System/Library/Security/dravik-anchor.pub";

inline constexpr const char* kAnchorSecretFile = "anchor.key";
inline constexpr const char* kAnchorPublicFile = "anchor.pub";
inline constexpr const char* kLeafSecretFile = "leaf.key";
inline constexpr const char* kCertificateFile = "certificate.json";

// Makes `dir` (mode 0700) if needed and a new anchor in it. Refuses when keys are there.
void createAnchorDirectory(const std::string& dir);
// A new leaf key and its certificate, issued by the anchor in `anchorDir`, in `outDir`.
void issueCertificateDirectory(const std::string& anchorDir, const std::string& team,
                               const std::vector<std::string>& fields, const std::string& outDir);
// Hashes `programPath` and writes `programPath` + ".sig", signed by the identity in `certDir`.
void signProgramFile(const std::string& certDir, const std::string& identifier,
                     const std::string& programPath);
// Copies the anchor's public key to kTrustedAnchorPath inside `machineRoot`.
void installAnchorPublicKey(const std::string& anchorDir, const std::string& machineRoot);
// Makes `dir`/anchor and `dir`/team-<team> unless they are there, so that many build steps
// may ask at once: each piece is made aside and renamed into place, the first one winning.
// Returns the certificate directory.
std::string ensureDevelopmentIdentity(const std::string& dir, const std::string& team);

PublicKey readAnchorPublicKeyFile(const std::string& path);
KeyPair readSecretKeyFile(const std::string& path);
Certificate readCertificateFile(const std::string& path);

// Reads a regular file of at most `maxBytes`; throws otherwise.
std::string readSmallFile(const std::string& path, std::size_t maxBytes);
// Temporary file beside `path`, write, fsync, rename, fsync the directory.
void writeFileAtomically(const std::string& path, const std::string& contents, unsigned mode);

}  // namespace dravik::platform
