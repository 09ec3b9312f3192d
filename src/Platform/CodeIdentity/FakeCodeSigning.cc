#include "Platform/CodeIdentity/FakeCodeSigning.h"

#include "Platform/CodeIdentity/CodeSigningStatus.h"

namespace dravik::platform {

namespace {

class FakeCode final : public Code {
 public:
  explicit FakeCode(std::int32_t pid) : pid(pid) {}
  const std::int32_t pid;
};

class FakeStaticCode final : public StaticCode {
 public:
  explicit FakeStaticCode(std::string path) : path(std::move(path)) {}
  const std::string path;
};

}  // namespace

FakeCodeSigning::Program FakeCodeSigning::signedProgram(const std::string& identifier,
                                                        const std::string& team,
                                                        const Cdhash& cdhash, bool anchorTrusted,
                                                        std::vector<std::string> fields) {
  Program program;
  program.facts = CodeFacts{anchorTrusted, identifier, cdhash, team, std::move(fields)};
  program.information.identifier = identifier;
  program.information.teamIdentifier = team;
  program.information.unique = std::vector<std::uint8_t>(cdhash.begin(), cdhash.end());
  return program;
}

void FakeCodeSigning::addProgram(const std::string& path, Program program) {
  std::lock_guard lock(mutex_);
  programs_[path] = std::move(program);
}

void FakeCodeSigning::addProcess(std::int32_t pid, const std::string& path) {
  std::lock_guard lock(mutex_);
  processes_[pid] = path;
}

void FakeCodeSigning::addPidfd(int pidfd, std::int32_t pid) {
  std::lock_guard lock(mutex_);
  pidfds_[pidfd] = pid;
}

void FakeCodeSigning::execProcess(std::int32_t pid, const std::string& path) {
  addProcess(pid, path);
}

void FakeCodeSigning::endProcess(std::int32_t pid) {
  std::lock_guard lock(mutex_);
  processes_.erase(pid);
}

void FakeCodeSigning::setStatus(Operation operation, OSStatus status) {
  std::lock_guard lock(mutex_);
  statuses_[operation] = status;
}

void FakeCodeSigning::setYieldsNothing(Operation operation, bool yieldsNothing) {
  std::lock_guard lock(mutex_);
  if (yieldsNothing) {
    yieldsNothing_.insert(operation);
  } else {
    yieldsNothing_.erase(operation);
  }
}

std::vector<std::string> FakeCodeSigning::calls() const {
  std::lock_guard lock(mutex_);
  return calls_;
}

OSStatus FakeCodeSigning::enter(Operation operation, const std::string& name, std::uint32_t flags,
                                const Requirement* requirement) {
  std::string call = name + " flags=" + std::to_string(flags);
  if (const auto* compiled = dynamic_cast<const CompiledRequirement*>(requirement))
    call += " " + compiled->text();
  calls_.push_back(std::move(call));
  auto it = statuses_.find(operation);
  return it == statuses_.end() ? kCodeSigningOk : it->second;
}

OSStatus FakeCodeSigning::judge(const std::string& path, const Requirement* requirement) const {
  auto program = programs_.find(path);
  if (program == programs_.end()) return kCodeSigningUnsigned;
  if (requirement == nullptr) return kCodeSigningOk;
  const auto* compiled = dynamic_cast<const CompiledRequirement*>(requirement);
  if (compiled == nullptr) return kCodeSigningInvalidObject;
  return compiled->evaluate(program->second.facts) ? kCodeSigningOk : kCodeSigningRequirementFailed;
}

OSStatus FakeCodeSigning::createRequirement(const std::string& text,
                                            std::shared_ptr<const Requirement>* requirement) {
  std::lock_guard lock(mutex_);
  requirement->reset();
  calls_.push_back("createRequirement " + text);
  auto it = statuses_.find(Operation::kCreateRequirement);
  if (it != statuses_.end() && it->second != kCodeSigningOk) return it->second;
  if (yieldsNothing_.count(Operation::kCreateRequirement)) return kCodeSigningOk;
  std::shared_ptr<const CompiledRequirement> compiled;
  const OSStatus status = CompiledRequirement::compile(text, &compiled);
  *requirement = std::move(compiled);
  return status;
}

OSStatus FakeCodeSigning::guest(std::int32_t pid, std::shared_ptr<Code>* code) {
  if (yieldsNothing_.count(Operation::kCopyGuest)) return kCodeSigningOk;
  if (!processes_.count(pid)) return kCodeSigningNoSuchProcess;
  *code = std::make_shared<FakeCode>(pid);
  return kCodeSigningOk;
}

OSStatus FakeCodeSigning::copyGuestWithPid(std::int32_t pid, std::shared_ptr<Code>* code) {
  std::lock_guard lock(mutex_);
  code->reset();
  if (OSStatus status = enter(Operation::kCopyGuest, "copyGuestWithPid", 0, nullptr)) return status;
  return guest(pid, code);
}

OSStatus FakeCodeSigning::copyGuestWithPidfd(int pidfd, std::shared_ptr<Code>* code) {
  std::lock_guard lock(mutex_);
  code->reset();
  if (OSStatus status = enter(Operation::kCopyGuest, "copyGuestWithPidfd", 0, nullptr))
    return status;
  auto it = pidfds_.find(pidfd);
  if (it == pidfds_.end()) return kCodeSigningInvalidObject;
  return guest(it->second, code);
}

OSStatus FakeCodeSigning::checkValidity(const Code& code, std::uint32_t flags,
                                        const Requirement* requirement) {
  std::lock_guard lock(mutex_);
  if (OSStatus status = enter(Operation::kCheckValidity, "checkValidity", flags, requirement))
    return status;
  const auto* fake = dynamic_cast<const FakeCode*>(&code);
  if (fake == nullptr) return kCodeSigningInvalidObject;
  auto process = processes_.find(fake->pid);
  if (process == processes_.end()) return kCodeSigningProcessGone;
  return judge(process->second, requirement);
}

OSStatus FakeCodeSigning::copyStaticCode(const Code& code, std::uint32_t flags,
                                         std::shared_ptr<StaticCode>* staticCode) {
  std::lock_guard lock(mutex_);
  staticCode->reset();
  if (OSStatus status = enter(Operation::kCopyStaticCode, "copyStaticCode", flags, nullptr))
    return status;
  if (yieldsNothing_.count(Operation::kCopyStaticCode)) return kCodeSigningOk;
  const auto* fake = dynamic_cast<const FakeCode*>(&code);
  if (fake == nullptr) return kCodeSigningInvalidObject;
  auto process = processes_.find(fake->pid);
  if (process == processes_.end()) return kCodeSigningProcessGone;
  *staticCode = std::make_shared<FakeStaticCode>(process->second);
  return kCodeSigningOk;
}

OSStatus FakeCodeSigning::createStaticCodeWithPath(const std::string& path,
                                                   std::shared_ptr<StaticCode>* staticCode) {
  std::lock_guard lock(mutex_);
  staticCode->reset();
  if (OSStatus status =
          enter(Operation::kCreateStaticCodeWithPath, "createStaticCodeWithPath", 0, nullptr))
    return status;
  if (yieldsNothing_.count(Operation::kCreateStaticCodeWithPath)) return kCodeSigningOk;
  *staticCode = std::make_shared<FakeStaticCode>(path);
  return kCodeSigningOk;
}

OSStatus FakeCodeSigning::checkStaticValidity(const StaticCode& code, std::uint32_t flags,
                                              const Requirement* requirement) {
  std::lock_guard lock(mutex_);
  if (OSStatus status =
          enter(Operation::kCheckStaticValidity, "checkStaticValidity", flags, requirement))
    return status;
  const auto* fake = dynamic_cast<const FakeStaticCode*>(&code);
  if (fake == nullptr) return kCodeSigningInvalidObject;
  return judge(fake->path, requirement);
}

OSStatus FakeCodeSigning::copySigningInformation(const StaticCode& code, std::uint32_t flags,
                                                 SigningInformation* information) {
  std::lock_guard lock(mutex_);
  *information = {};
  if (OSStatus status =
          enter(Operation::kCopySigningInformation, "copySigningInformation", flags, nullptr))
    return status;
  const auto* fake = dynamic_cast<const FakeStaticCode*>(&code);
  if (fake == nullptr) return kCodeSigningInvalidObject;
  auto program = programs_.find(fake->path);
  if (program == programs_.end()) return kCodeSigningUnsigned;
  *information = program->second.information;
  return kCodeSigningOk;
}

}  // namespace dravik::platform
