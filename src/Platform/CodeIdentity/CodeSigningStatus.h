#pragma once
// The status codes of the code identity layer. 0 is success; every failure is a negative
// code of our own, kept clear of 0 and of small values so that it never reads as a count.

#include "Platform/CodeSigning.h"

namespace dravik::platform {

inline constexpr OSStatus kCodeSigningOk = 0;
// The requirement text does not follow the requirement grammar.
inline constexpr OSStatus kCodeSigningRequirementSyntax = -70001;
// No signature file beside the program.
inline constexpr OSStatus kCodeSigningUnsigned = -70002;
// The signature or its certificate is malformed, or one of their signatures does not verify.
inline constexpr OSStatus kCodeSigningSignatureInvalid = -70003;
// The program's hash differs from the one that was signed (changed after signing).
inline constexpr OSStatus kCodeSigningCodeModified = -70004;
// The code is validly signed but does not satisfy the requirement.
inline constexpr OSStatus kCodeSigningRequirementFailed = -70005;
// No process with that identifier (or it lives in another pid namespace).
inline constexpr OSStatus kCodeSigningNoSuchProcess = -70006;
// The process ended (or became a zombie) while or after it was looked at.
inline constexpr OSStatus kCodeSigningProcessGone = -70007;
// A file could not be opened, read or examined.
inline constexpr OSStatus kCodeSigningIoError = -70008;
// The trusted anchor's public key is missing or malformed.
inline constexpr OSStatus kCodeSigningAnchorUnavailable = -70009;
// Flags this operation does not know.
inline constexpr OSStatus kCodeSigningInvalidFlags = -70010;
// An object not made by this implementation, or a descriptor that is not a pidfd.
inline constexpr OSStatus kCodeSigningInvalidObject = -70011;
// Strict validation only: the program or its signature is not a regular file, or is
// writable by group or others.
inline constexpr OSStatus kCodeSigningStrictValidationFailed = -70012;

// A short English name for a status ("requirement failed"); "unknown status" otherwise.
const char* codeSigningStatusName(OSStatus status);

}  // namespace dravik::platform
