#pragma once
// Test-only code identity: every process carries one identity whose validity a test
// switches on and off. Records what was asked of it.

#include <atomic>
#include <mutex>
#include <string>
#include <vector>

#include "Platform/CodeSigning.h"

namespace dravik::platform {

class FakeCodeSigning : public CodeSigning {
 public:
  static constexpr OSStatus kRefused = -67050;

  struct FakeRequirement : Requirement {
    explicit FakeRequirement(std::string text) : text(std::move(text)) {}
    std::string text;
  };
  struct FakeCode : Code {};

  // Switches.
  std::atomic<bool> holds{true};
  std::atomic<bool> guestLookupFails{false};

  // Records.
  std::atomic<int> checks{0};
  std::vector<std::string> requirementsChecked() {
    std::lock_guard lock(mutex_);
    return requirements_;
  }

  OSStatus createRequirement(const std::string& text,
                             std::shared_ptr<const Requirement>* requirement) override {
    *requirement = std::make_shared<FakeRequirement>(text);
    return 0;
  }
  OSStatus copyGuestWithPid(std::int32_t, std::shared_ptr<Code>* code) override {
    return copyGuestWithPidfd(0, code);
  }
  OSStatus copyGuestWithPidfd(int pidfd, std::shared_ptr<Code>* code) override {
    if (guestLookupFails || pidfd < 0) return kRefused;
    *code = std::make_shared<FakeCode>();
    return 0;
  }
  OSStatus checkValidity(const Code&, std::uint32_t, const Requirement* requirement) override {
    ++checks;
    if (const auto* fake = dynamic_cast<const FakeRequirement*>(requirement)) {
      std::lock_guard lock(mutex_);
      requirements_.push_back(fake->text);
    }
    return holds ? 0 : kRefused;
  }
  OSStatus copyStaticCode(const Code&, std::uint32_t, std::shared_ptr<StaticCode>*) override {
    return kRefused;
  }
  OSStatus createStaticCodeWithPath(const std::string&, std::shared_ptr<StaticCode>*) override {
    return kRefused;
  }
  OSStatus checkStaticValidity(const StaticCode&, std::uint32_t, const Requirement*) override {
    return kRefused;
  }
  OSStatus copySigningInformation(const StaticCode&, std::uint32_t, SigningInformation*) override {
    return kRefused;
  }

 private:
  std::mutex mutex_;
  std::vector<std::string> requirements_;
};

}  // namespace dravik::platform
