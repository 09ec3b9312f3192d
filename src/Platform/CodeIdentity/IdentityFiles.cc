#include "Platform/CodeIdentity/IdentityFiles.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <filesystem>
#include <stdexcept>
#include <system_error>

#include "Platform/UniqueFd.h"

namespace dravik::platform {

namespace {

[[noreturn]] void throwErrno(const std::string& what) {
  throw std::system_error(errno, std::generic_category(), what);
}

std::string parentOf(const std::string& path) {
  const auto slash = path.find_last_of('/');
  if (slash == std::string::npos) return ".";
  if (slash == 0) return "/";
  return path.substr(0, slash);
}

void makeDirectory(const std::string& dir, mode_t mode) {
  std::error_code error;
  std::filesystem::create_directories(dir, error);
  if (error) throw std::system_error(error, "cannot create directory " + dir);
  if (::chmod(dir.c_str(), mode) != 0) throwErrno("cannot set the mode of " + dir);
}

bool exists(const std::string& path) {
  struct stat st;
  return ::lstat(path.c_str(), &st) == 0;
}

// A fresh private directory beside `path`, for building a piece before renaming it in.
std::string makeTemporaryDirectory(const std::string& path) {
  std::string pattern = path + ".tmp.XXXXXX";
  if (::mkdtemp(pattern.data()) == nullptr) throwErrno("cannot create a directory beside " + path);
  return pattern;
}

// Renames `temporary` to `path` unless another maker got there first; removes the loser.
void renameDirectoryIntoPlace(const std::string& temporary, const std::string& path) {
  if (::rename(temporary.c_str(), path.c_str()) == 0) return;
  const int error = errno;
  std::error_code ignored;
  std::filesystem::remove_all(temporary, ignored);
  if ((error == EEXIST || error == ENOTEMPTY) && exists(path)) return;
  throw std::system_error(error, std::generic_category(), "cannot rename into " + path);
}

// Runs `build` to fill `temporary`; removes it when that fails, so nothing half-made stays.
template <typename Build>
void buildAside(const std::string& temporary, Build build) {
  try {
    build();
  } catch (...) {
    std::error_code ignored;
    std::filesystem::remove_all(temporary, ignored);
    throw;
  }
}

}  // namespace

std::string readSmallFile(const std::string& path, std::size_t maxBytes) {
  UniqueFd fd(::open(path.c_str(), O_RDONLY | O_CLOEXEC | O_NONBLOCK));
  if (!fd.valid()) throwErrno("cannot open " + path);
  struct stat st;
  if (::fstat(fd.get(), &st) != 0) throwErrno("cannot examine " + path);
  if (!S_ISREG(st.st_mode)) throw std::runtime_error(path + " is not a regular file");
  if (static_cast<std::size_t>(st.st_size) > maxBytes)
    throw std::runtime_error(path + " is too large");
  std::string contents;
  char buffer[4096];
  while (true) {
    const ssize_t n = ::read(fd.get(), buffer, sizeof buffer);
    if (n < 0) {
      if (errno == EINTR) continue;
      throwErrno("cannot read " + path);
    }
    if (n == 0) break;
    contents.append(buffer, static_cast<std::size_t>(n));
    if (contents.size() > maxBytes) throw std::runtime_error(path + " is too large");
  }
  return contents;
}

void writeFileAtomically(const std::string& path, const std::string& contents, unsigned mode) {
  std::string temporary = path + ".tmp.XXXXXX";
  UniqueFd fd(::mkstemp(temporary.data()));
  if (!fd.valid()) throwErrno("cannot create a file beside " + path);
  auto fail = [&](const std::string& what) {
    const int error = errno;
    ::unlink(temporary.c_str());
    throw std::system_error(error, std::generic_category(), what);
  };
  if (::fchmod(fd.get(), static_cast<mode_t>(mode)) != 0) fail("cannot set the mode of " + path);
  std::size_t written = 0;
  while (written < contents.size()) {
    const ssize_t n = ::write(fd.get(), contents.data() + written, contents.size() - written);
    if (n < 0) {
      if (errno == EINTR) continue;
      fail("cannot write " + path);
    }
    written += static_cast<std::size_t>(n);
  }
  if (::fsync(fd.get()) != 0) fail("cannot flush " + path);
  fd.reset();
  if (::rename(temporary.c_str(), path.c_str()) != 0) fail("cannot rename into " + path);
  UniqueFd dir(::open(parentOf(path).c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC));
  if (!dir.valid() || ::fsync(dir.get()) != 0) throwErrno("cannot flush the directory of " + path);
}

PublicKey readAnchorPublicKeyFile(const std::string& path) {
  auto key = decodeAnchorPublicKey(readSmallFile(path, kMaxIdentityFileBytes));
  if (!key) throw std::runtime_error(path + " is not an anchor public key");
  return *key;
}

KeyPair readSecretKeyFile(const std::string& path) {
  auto keys = decodeSecretKey(readSmallFile(path, kMaxIdentityFileBytes));
  if (!keys) throw std::runtime_error(path + " is not a secret key");
  return *keys;
}

Certificate readCertificateFile(const std::string& path) {
  auto certificate = decodeCertificate(readSmallFile(path, kMaxIdentityFileBytes));
  if (!certificate) throw std::runtime_error(path + " is not a certificate");
  if (!certificateVerifies(*certificate))
    throw std::runtime_error(path + ": the certificate's signature does not verify");
  return *certificate;
}

void createAnchorDirectory(const std::string& dir) {
  makeDirectory(dir, 0700);
  const std::string secretPath = dir + "/" + kAnchorSecretFile;
  const std::string publicPath = dir + "/" + kAnchorPublicFile;
  if (exists(secretPath) || exists(publicPath))
    throw std::runtime_error(dir + " already holds an anchor");
  const KeyPair keys = generateKeyPair();
  writeFileAtomically(secretPath, encodeSecretKey(keys), 0600);
  writeFileAtomically(publicPath, encodeAnchorPublicKey(keys.publicKey), 0644);
}

void issueCertificateDirectory(const std::string& anchorDir, const std::string& team,
                               const std::vector<std::string>& fields, const std::string& outDir) {
  const KeyPair anchor = readSecretKeyFile(anchorDir + "/" + kAnchorSecretFile);
  const KeyPair leaf = generateKeyPair();
  const Certificate certificate = issueCertificate(anchor, team, fields, leaf.publicKey);
  makeDirectory(outDir, 0700);
  const std::string secretPath = outDir + "/" + kLeafSecretFile;
  const std::string certificatePath = outDir + "/" + kCertificateFile;
  if (exists(secretPath) || exists(certificatePath))
    throw std::runtime_error(outDir + " already holds a certificate");
  writeFileAtomically(secretPath, encodeSecretKey(leaf), 0600);
  writeFileAtomically(certificatePath, encodeCertificate(certificate), 0644);
}

void signProgramFile(const std::string& certDir, const std::string& identifier,
                     const std::string& programPath) {
  const KeyPair leaf = readSecretKeyFile(certDir + "/" + kLeafSecretFile);
  const Certificate certificate = readCertificateFile(certDir + "/" + kCertificateFile);
  UniqueFd fd(::open(programPath.c_str(), O_RDONLY | O_CLOEXEC | O_NONBLOCK));
  if (!fd.valid()) throwErrno("cannot open " + programPath);
  struct stat st;
  if (::fstat(fd.get(), &st) != 0) throwErrno("cannot examine " + programPath);
  if (!S_ISREG(st.st_mode)) throw std::runtime_error(programPath + " is not a regular file");
  Cdhash cdhash;
  if (!hashProgram(fd.get(), &cdhash)) throwErrno("cannot read " + programPath);
  const DetachedSignature signature = signCdhash(leaf, certificate, identifier, cdhash);
  writeFileAtomically(programPath + ".sig", encodeSignature(signature), 0644);
}

void installAnchorPublicKey(const std::string& anchorDir, const std::string& machineRoot) {
  if (machineRoot.empty()) throw std::runtime_error("no machine root given");
  const PublicKey key = readAnchorPublicKeyFile(anchorDir + "/" + kAnchorPublicFile);
  const std::string path = machineRoot + kTrustedAnchorPath;
  makeDirectory(parentOf(path), 0755);
  writeFileAtomically(path, encodeAnchorPublicKey(key), 0644);
}

std::string ensureDevelopmentIdentity(const std::string& dir, const std::string& team) {
  if (!validTeam(team)) throw std::runtime_error("invalid team \"" + team + "\"");
  makeDirectory(dir, 0700);
  const std::string anchorDir = dir + "/anchor";
  if (!exists(anchorDir)) {
    const std::string temporary = makeTemporaryDirectory(anchorDir);
    buildAside(temporary, [&] { createAnchorDirectory(temporary); });
    renameDirectoryIntoPlace(temporary, anchorDir);
  }
  const std::string certDir = dir + "/team-" + team;
  if (!exists(certDir)) {
    const std::string temporary = makeTemporaryDirectory(certDir);
    buildAside(temporary, [&] { issueCertificateDirectory(anchorDir, team, {}, temporary); });
    renameDirectoryIntoPlace(temporary, certDir);
  }
  return certDir;
}

}  // namespace dravik::platform
