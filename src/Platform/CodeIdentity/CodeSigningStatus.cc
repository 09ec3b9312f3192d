#include "Platform/CodeIdentity/CodeSigningStatus.h"

namespace dravik::platform {

const char* codeSigningStatusName(OSStatus status) {
  switch (status) {
    case kCodeSigningOk:
      return "ok";
    case kCodeSigningRequirementSyntax:
      return "requirement syntax error";
    case kCodeSigningUnsigned:
      return "code is not signed";
    case kCodeSigningSignatureInvalid:
      return "signature invalid";
    case kCodeSigningCodeModified:
      return "code modified after signing";
    case kCodeSigningRequirementFailed:
      return "requirement failed";
    case kCodeSigningNoSuchProcess:
      return "no such process";
    case kCodeSigningProcessGone:
      return "process gone";
    case kCodeSigningIoError:
      return "i/o error";
    case kCodeSigningAnchorUnavailable:
      return "trusted anchor unavailable";
    case kCodeSigningInvalidFlags:
      return "invalid flags";
    case kCodeSigningInvalidObject:
      return "invalid object";
    case kCodeSigningStrictValidationFailed:
      return "strict validation failed";
    default:
      return "unknown status";
  }
}

}  // namespace dravik::platform
