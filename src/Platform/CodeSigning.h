#pragma once
// Code identity: who signed a program, under which identifier, and whether a program on
// disk or a running process satisfies a requirement. Shaped like the calls client
// authentication makes (guest lookup, validity checks, signing information), so that logic
// reads the same on every platform. Every operation returns a status: 0 for success, a
// negative code of our own otherwise (named in CodeSigningStatus.h).

#include <cstdint>
#include <memory>
#include <optional>
#include <string>
#include <vector>

namespace dravik::platform {

using OSStatus = std::int32_t;

// A compiled requirement. Opaque to callers.
class Requirement {
 public:
  virtual ~Requirement() = default;
};

// A program file on disk.
class StaticCode {
 public:
  virtual ~StaticCode() = default;
};

// A running process, held by pidfd (never by bare pid).
class Code {
 public:
  virtual ~Code() = default;
};

struct SigningInformation {
  std::optional<std::string> identifier;
  std::optional<std::string> teamIdentifier;
  // The code directory hash (20 bytes for a good signature).
  std::optional<std::vector<std::uint8_t>> unique;
};

class CodeSigning {
 public:
  static constexpr std::uint32_t kStrictValidate = 16;
  static constexpr std::uint32_t kSigningInformation = 2;

  CodeSigning() = default;
  CodeSigning(const CodeSigning&) = delete;
  CodeSigning& operator=(const CodeSigning&) = delete;
  virtual ~CodeSigning() = default;

  virtual OSStatus createRequirement(const std::string& text,
                                     std::shared_ptr<const Requirement>* requirement) = 0;
  // The running process with this pid. Takes a pidfd and re-checks that it is alive after
  // its executable has been read.
  virtual OSStatus copyGuestWithPid(std::int32_t pid, std::shared_ptr<Code>* code) = 0;
  // The running process behind an already-open pidfd (borrowed, not closed).
  virtual OSStatus copyGuestWithPidfd(int pidfd, std::shared_ptr<Code>* code) = 0;
  virtual OSStatus checkValidity(const Code& code, std::uint32_t flags,
                                 const Requirement* requirement) = 0;
  virtual OSStatus copyStaticCode(const Code& code, std::uint32_t flags,
                                  std::shared_ptr<StaticCode>* staticCode) = 0;
  virtual OSStatus createStaticCodeWithPath(const std::string& path,
                                            std::shared_ptr<StaticCode>* staticCode) = 0;
  virtual OSStatus checkStaticValidity(const StaticCode& code, std::uint32_t flags,
                                       const Requirement* requirement) = 0;
  virtual OSStatus copySigningInformation(const StaticCode& code, std::uint32_t flags,
                                          SigningInformation* information) = 0;
};

}  // namespace dravik::platform
