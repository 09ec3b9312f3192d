#include "Platform/CodeIdentity/SodiumCodeSigning.h"

#include <fcntl.h>
#include <poll.h>
#include <sys/stat.h>
#include <sys/syscall.h>
#include <unistd.h>

#include <cerrno>
#include <charconv>
#include <climits>
#include <exception>
#include <optional>
#include <sstream>
#include <string>

#include "Platform/CodeIdentity/CodeSigningStatus.h"
#include "Platform/CodeIdentity/IdentityFiles.h"
#include "Platform/UniqueFd.h"
#include "Platform/MachineRoot.h"

namespace dravik::platform {

namespace {

using SharedFd = std::shared_ptr<const UniqueFd>;

// The file a process runs cannot be written while it runs (ETXTBSY), so the same inode,
// size and modification time mean the same contents. The path is left out: a running
// file renamed or replaced on disk is still the code that runs.
bool sameFile(const struct stat& a, const struct stat& b) {
  return a.st_dev == b.st_dev && a.st_ino == b.st_ino && a.st_size == b.st_size &&
         a.st_mtim.tv_sec == b.st_mtim.tv_sec && a.st_mtim.tv_nsec == b.st_mtim.tv_nsec;
}

bool writableByOthers(const struct stat& st) { return (st.st_mode & (S_IWGRP | S_IWOTH)) != 0; }

// A pidfd polls readable once its process has ended; until then the pid cannot be reused.
bool processAlive(int pidfd) {
  struct pollfd p = {pidfd, POLLIN, 0};
  while (true) {
    const int n = ::poll(&p, 1, 0);
    if (n < 0 && errno == EINTR) continue;
    return n == 0;
  }
}

// A program file held open, so that every read is of the same inode.
struct OpenProgram {
  std::string path;  // where its signature is looked for
  SharedFd fd;
  struct stat st {};
};

class SodiumStaticCode final : public StaticCode {
 public:
  SodiumStaticCode(std::string path, SharedFd fd) : path(std::move(path)), fd(std::move(fd)) {}
  const std::string path;
  const SharedFd fd;  // null: the path is opened at each check
};

class SodiumCode final : public Code {
 public:
  SodiumCode(std::int32_t pid, UniqueFd pidfd) : pid(pid), pidfd(std::move(pidfd)) {}
  const std::int32_t pid;
  const UniqueFd pidfd;

  // What the process was last seen to run; a check refreshes it, hence mutable.
  mutable std::mutex mutex;  // guards everything below
  mutable OpenProgram executable;
  mutable Cdhash hash{};
  mutable std::optional<DetachedSignature> signature;  // verified against `hash`, once checked
};

OSStatus openStatic(const SodiumStaticCode& code, OpenProgram* program) {
  program->path = code.path;
  if (code.fd) {
    program->fd = code.fd;
  } else {
    UniqueFd fd(::open(code.path.c_str(), O_RDONLY | O_CLOEXEC | O_NONBLOCK));
    if (!fd.valid()) return kCodeSigningIoError;
    program->fd = std::make_shared<const UniqueFd>(std::move(fd));
  }
  if (::fstat(program->fd->get(), &program->st) != 0) return kCodeSigningIoError;
  if (!S_ISREG(program->st.st_mode)) return kCodeSigningIoError;
  return kCodeSigningOk;
}

// True when every uid of the process (real, effective, saved, file system) is 0.
bool runsAsRoot(std::int32_t pid) {
  std::string status;
  try {
    status = readSmallFile("/proc/" + std::to_string(pid) + "/status", 64 * 1024);
  } catch (const std::exception&) {
    return false;
  }
  const std::string::size_type at = status.find("\nUid:");
  if (at == std::string::npos) return false;
  std::istringstream fields(status.substr(at + 5, status.find('\n', at + 1) - at - 5));
  int count = 0;
  for (long uid = -1; fields >> uid; ++count) {
    if (uid != 0) return false;
  }
  return count == 4;
}

// The program a root process was started as: its argv[0], which only root can have set.
// An unprivileged caller may not read a root process's /proc/<pid>/exe; this is how a
// client checks the daemon it talks to. Only absolute paths are taken.
std::optional<std::string> rootProgramPath(std::int32_t pid) {
  if (!runsAsRoot(pid)) return std::nullopt;
  std::string cmdline;
  try {
    cmdline = readSmallFile("/proc/" + std::to_string(pid) + "/cmdline", 64 * 1024);
  } catch (const std::exception&) {
    return std::nullopt;
  }
  std::string first = cmdline.substr(0, cmdline.find('\0'));
  if (first.empty() || first.front() != '/') return std::nullopt;
  return first;
}

// The executable a process runs now. Refuses once the process has ended.
OSStatus openExecutable(std::int32_t pid, int pidfd, OpenProgram* program) {
  const std::string link = "/proc/" + std::to_string(pid) + "/exe";
  auto failure = [&] {
    return processAlive(pidfd) ? kCodeSigningIoError : kCodeSigningProcessGone;
  };
  UniqueFd fd(::open(link.c_str(), O_RDONLY | O_CLOEXEC));
  if (!fd.valid() && (errno == EACCES || errno == EPERM) && ::geteuid() != 0) {
    if (std::optional<std::string> path = rootProgramPath(pid)) {
      UniqueFd file(::open(path->c_str(), O_RDONLY | O_CLOEXEC | O_NONBLOCK));
      if (!file.valid()) return failure();
      if (::fstat(file.get(), &program->st) != 0 || !S_ISREG(program->st.st_mode))
        return kCodeSigningIoError;
      program->path = *path;
      program->fd = std::make_shared<const UniqueFd>(std::move(file));
      if (!processAlive(pidfd)) return kCodeSigningProcessGone;
      return kCodeSigningOk;
    }
  }
  if (!fd.valid()) return failure();
  if (::fstat(fd.get(), &program->st) != 0 || !S_ISREG(program->st.st_mode))
    return kCodeSigningIoError;
  char buffer[PATH_MAX];
  const ssize_t n = ::readlink(link.c_str(), buffer, sizeof buffer);
  if (n <= 0 || static_cast<std::size_t>(n) >= sizeof buffer) return failure();
  program->path.assign(buffer, static_cast<std::size_t>(n));
  program->fd = std::make_shared<const UniqueFd>(std::move(fd));
  if (!processAlive(pidfd)) return kCodeSigningProcessGone;
  return kCodeSigningOk;
}

// Reads and verifies `<program>.sig`.
OSStatus readSignature(const std::string& programPath, bool strict, DetachedSignature* signature) {
  const std::string path = programPath + ".sig";
  UniqueFd fd(::open(path.c_str(), O_RDONLY | O_CLOEXEC | O_NONBLOCK | (strict ? O_NOFOLLOW : 0)));
  if (!fd.valid()) {
    if (errno == ENOENT || errno == ENOTDIR) return kCodeSigningUnsigned;
    if (errno == ELOOP) return kCodeSigningStrictValidationFailed;
    return kCodeSigningIoError;
  }
  struct stat st;
  if (::fstat(fd.get(), &st) != 0) return kCodeSigningIoError;
  if (!S_ISREG(st.st_mode) || static_cast<std::size_t>(st.st_size) > kMaxIdentityFileBytes)
    return kCodeSigningSignatureInvalid;
  if (strict && writableByOthers(st)) return kCodeSigningStrictValidationFailed;
  std::string text;
  char buffer[4096];
  while (true) {
    const ssize_t n = ::read(fd.get(), buffer, sizeof buffer);
    if (n < 0) {
      if (errno == EINTR) continue;
      return kCodeSigningIoError;
    }
    if (n == 0) break;
    text.append(buffer, static_cast<std::size_t>(n));
    if (text.size() > kMaxIdentityFileBytes) return kCodeSigningSignatureInvalid;
  }
  auto decoded = decodeSignature(text);
  if (!decoded || !signatureVerifies(*decoded)) return kCodeSigningSignatureInvalid;
  *signature = std::move(*decoded);
  return kCodeSigningOk;
}

// The signature beside `program`, checked against the program's hash.
OSStatus checkProgram(const OpenProgram& program, const Cdhash& hash, bool strict,
                      DetachedSignature* signature) {
  if (strict && writableByOthers(program.st)) return kCodeSigningStrictValidationFailed;
  if (OSStatus status = readSignature(program.path, strict, signature)) return status;
  if (signature->cdhash != hash) return kCodeSigningCodeModified;
  return kCodeSigningOk;
}

OSStatus hashOpenProgram(const OpenProgram& program, Cdhash* hash) {
  return hashProgram(program.fd->get(), hash) ? kCodeSigningOk : kCodeSigningIoError;
}

// The pid behind a pidfd, from the "Pid:" line of its fdinfo.
OSStatus pidOfPidfd(int pidfd, std::int32_t* pid) {
  std::string info;
  try {
    info = readSmallFile("/proc/self/fdinfo/" + std::to_string(pidfd), 16 * 1024);
  } catch (const std::exception&) {
    return kCodeSigningInvalidObject;
  }
  std::size_t at = 0;
  while (at < info.size()) {
    std::size_t end = info.find('\n', at);
    if (end == std::string::npos) end = info.size();
    std::string_view line(info.data() + at, end - at);
    at = end + 1;
    if (line.rfind("Pid:", 0) != 0) continue;
    line.remove_prefix(4);
    while (!line.empty() && (line.front() == '\t' || line.front() == ' ')) line.remove_prefix(1);
    std::int32_t value = 0;
    auto [rest, error] = std::from_chars(line.data(), line.data() + line.size(), value);
    if (error != std::errc() || rest != line.data() + line.size()) return kCodeSigningInvalidObject;
    // -1: the process has ended; 0: it lives in a pid namespace we cannot see into.
    if (value == -1) return kCodeSigningProcessGone;
    if (value <= 0) return kCodeSigningNoSuchProcess;
    *pid = value;
    return kCodeSigningOk;
  }
  return kCodeSigningInvalidObject;
}

}  // namespace

SodiumCodeSigning::SodiumCodeSigning() : SodiumCodeSigning(machinePath(kTrustedAnchorPath)) {}

SodiumCodeSigning::SodiumCodeSigning(std::string anchorPublicKeyPath)
    : anchorPath_(std::move(anchorPublicKeyPath)) {}

OSStatus SodiumCodeSigning::trustedAnchor(PublicKey* key) {
  std::lock_guard lock(anchorMutex_);
  if (!anchor_) {
    try {
      anchor_ = readAnchorPublicKeyFile(anchorPath_);
    } catch (const std::exception&) {
      return kCodeSigningAnchorUnavailable;
    }
  }
  *key = *anchor_;
  return kCodeSigningOk;
}

OSStatus SodiumCodeSigning::judge(const DetachedSignature& signature,
                                  const Requirement* requirement) {
  if (requirement == nullptr) return kCodeSigningOk;
  const auto* compiled = dynamic_cast<const CompiledRequirement*>(requirement);
  if (compiled == nullptr) return kCodeSigningInvalidObject;
  CodeFacts facts;
  facts.identifier = signature.identifier;
  facts.cdhash = signature.cdhash;
  facts.leafTeam = signature.certificate.team;
  facts.leafFields = signature.certificate.fields;
  if (compiled->usesAnchor()) {
    PublicKey anchor;
    if (OSStatus status = trustedAnchor(&anchor)) return status;
    facts.anchorTrusted = signature.certificate.anchorKey == anchor;
  }
  return compiled->evaluate(facts) ? kCodeSigningOk : kCodeSigningRequirementFailed;
}

OSStatus SodiumCodeSigning::createRequirement(const std::string& text,
                                              std::shared_ptr<const Requirement>* requirement) {
  std::shared_ptr<const CompiledRequirement> compiled;
  const OSStatus status = CompiledRequirement::compile(text, &compiled);
  *requirement = std::move(compiled);
  return status;
}

OSStatus SodiumCodeSigning::copyGuestWithPid(std::int32_t pid, std::shared_ptr<Code>* code) {
  code->reset();
  if (pid < 1) return kCodeSigningNoSuchProcess;
  const long pidfd = ::syscall(SYS_pidfd_open, pid, 0);
  if (pidfd < 0) return errno == ESRCH ? kCodeSigningNoSuchProcess : kCodeSigningIoError;
  return makeCode(pid, static_cast<int>(pidfd), code);
}

OSStatus SodiumCodeSigning::copyGuestWithPidfd(int pidfd, std::shared_ptr<Code>* code) {
  code->reset();
  if (pidfd < 0) return kCodeSigningInvalidObject;
  std::int32_t pid = 0;
  if (OSStatus status = pidOfPidfd(pidfd, &pid)) return status;
  const int owned = ::fcntl(pidfd, F_DUPFD_CLOEXEC, 0);
  if (owned < 0) return kCodeSigningIoError;
  return makeCode(pid, owned, code);
}

OSStatus SodiumCodeSigning::makeCode(std::int32_t pid, int ownedPidfd,
                                     std::shared_ptr<Code>* code) {
  auto made = std::make_shared<SodiumCode>(pid, UniqueFd(ownedPidfd));
  if (OSStatus status = openExecutable(pid, made->pidfd.get(), &made->executable)) return status;
  if (OSStatus status = hashOpenProgram(made->executable, &made->hash)) return status;
  if (!processAlive(made->pidfd.get())) return kCodeSigningProcessGone;
  *code = std::move(made);
  return kCodeSigningOk;
}

OSStatus SodiumCodeSigning::checkValidity(const Code& code, std::uint32_t flags,
                                          const Requirement* requirement) {
  if (flags != 0) return kCodeSigningInvalidFlags;
  const auto* running = dynamic_cast<const SodiumCode*>(&code);
  if (running == nullptr) return kCodeSigningInvalidObject;
  std::lock_guard lock(running->mutex);
  OpenProgram now;
  if (OSStatus status = openExecutable(running->pid, running->pidfd.get(), &now)) return status;
  if (!sameFile(now.st, running->executable.st)) {
    // The process runs another file than before (it exec'ed, or its file was replaced).
    Cdhash hash;
    if (OSStatus status = hashOpenProgram(now, &hash)) return status;
    if (!processAlive(running->pidfd.get())) return kCodeSigningProcessGone;
    running->executable = std::move(now);
    running->hash = hash;
    running->signature.reset();
  }
  if (!running->signature) {
    DetachedSignature signature;
    if (OSStatus status = checkProgram(running->executable, running->hash, false, &signature))
      return status;
    running->signature = std::move(signature);
  }
  return judge(*running->signature, requirement);
}

OSStatus SodiumCodeSigning::copyStaticCode(const Code& code, std::uint32_t flags,
                                           std::shared_ptr<StaticCode>* staticCode) {
  staticCode->reset();
  if (flags != 0) return kCodeSigningInvalidFlags;
  const auto* running = dynamic_cast<const SodiumCode*>(&code);
  if (running == nullptr) return kCodeSigningInvalidObject;
  std::lock_guard lock(running->mutex);
  *staticCode =
      std::make_shared<SodiumStaticCode>(running->executable.path, running->executable.fd);
  return kCodeSigningOk;
}

OSStatus SodiumCodeSigning::createStaticCodeWithPath(const std::string& path,
                                                     std::shared_ptr<StaticCode>* staticCode) {
  staticCode->reset();
  struct stat st;
  if (path.empty() || ::stat(path.c_str(), &st) != 0) return kCodeSigningIoError;
  *staticCode = std::make_shared<SodiumStaticCode>(path, nullptr);
  return kCodeSigningOk;
}

OSStatus SodiumCodeSigning::checkStaticValidity(const StaticCode& code, std::uint32_t flags,
                                                const Requirement* requirement) {
  if ((flags & ~kStrictValidate) != 0) return kCodeSigningInvalidFlags;
  const auto* onDisk = dynamic_cast<const SodiumStaticCode*>(&code);
  if (onDisk == nullptr) return kCodeSigningInvalidObject;
  OpenProgram program;
  if (OSStatus status = openStatic(*onDisk, &program)) return status;
  Cdhash hash;
  if (OSStatus status = hashOpenProgram(program, &hash)) return status;
  DetachedSignature signature;
  const bool strict = (flags & kStrictValidate) != 0;
  if (OSStatus status = checkProgram(program, hash, strict, &signature)) return status;
  return judge(signature, requirement);
}

OSStatus SodiumCodeSigning::copySigningInformation(const StaticCode& code, std::uint32_t flags,
                                                   SigningInformation* information) {
  *information = {};
  if ((flags & ~kSigningInformation) != 0) return kCodeSigningInvalidFlags;
  const auto* onDisk = dynamic_cast<const SodiumStaticCode*>(&code);
  if (onDisk == nullptr) return kCodeSigningInvalidObject;
  OpenProgram program;
  if (OSStatus status = openStatic(*onDisk, &program)) return status;
  Cdhash hash;
  if (OSStatus status = hashOpenProgram(program, &hash)) return status;
  DetachedSignature signature;
  if (OSStatus status = checkProgram(program, hash, false, &signature)) return status;
  information->identifier = signature.identifier;
  information->teamIdentifier = signature.certificate.team;
  information->unique = std::vector<std::uint8_t>(signature.cdhash.begin(), signature.cdhash.end());
  return kCodeSigningOk;
}

}  // namespace dravik::platform
