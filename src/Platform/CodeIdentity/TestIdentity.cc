#include "Platform/CodeIdentity/TestIdentity.h"

#include <fcntl.h>
#include <signal.h>
#include <spawn.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <stdexcept>
#include <system_error>
#include <thread>

#include "Platform/CodeIdentity/IdentityFiles.h"

extern char** environ;

namespace dravik::platform {

TestIdentities::TestIdentities() {
  std::string pattern = std::filesystem::temp_directory_path().string() + "/identity.XXXXXX";
  if (::mkdtemp(pattern.data()) == nullptr)
    throw std::system_error(errno, std::generic_category(), "mkdtemp");
  dir_ = pattern;
  createAnchorDirectory(anchorDir());
}

TestIdentities::~TestIdentities() {
  std::error_code ignored;
  std::filesystem::remove_all(dir_, ignored);
}

std::string TestIdentities::anchorPublicKey() const {
  return anchorDir() + "/" + kAnchorPublicFile;
}

std::string TestIdentities::certificate(const Signer& signer) {
  std::string key = signer.team + (signer.otherAnchor ? "-other" : "");
  for (const auto& field : signer.fields) key += "-" + field;
  auto it = certificates_.find(key);
  if (it != certificates_.end()) return it->second;
  std::string anchor = anchorDir();
  if (signer.otherAnchor) {
    anchor = dir_ + "/untrusted-anchor";
    if (!std::filesystem::exists(anchor)) createAnchorDirectory(anchor);
  }
  const std::string certDir = dir_ + "/cert-" + key;
  issueCertificateDirectory(anchor, signer.team, signer.fields, certDir);
  certificates_[key] = certDir;
  return certDir;
}

std::string TestIdentities::copyProgram(const std::string& name, const std::string& extra) {
  const std::string path = dir_ + "/" + name;
  std::filesystem::copy_file(kIdentityTestProgram, path,
                             std::filesystem::copy_options::overwrite_existing);
  if (!extra.empty()) {
    std::ofstream out(path, std::ios::binary | std::ios::app);
    out << extra;
    if (!out) throw std::runtime_error("cannot append to " + path);
  }
  if (::chmod(path.c_str(), 0755) != 0)
    throw std::system_error(errno, std::generic_category(), "chmod " + path);
  return path;
}

std::string TestIdentities::signedProgram(const std::string& name, const std::string& identifier,
                                          const Signer& signer, const std::string& extra) {
  const std::string path = copyProgram(name, extra);
  signProgramFile(certificate(signer), identifier, path);
  return path;
}

RunningProgram::RunningProgram(const std::string& program, const std::vector<std::string>& args) {
  int fds[2];
  if (::pipe2(fds, O_CLOEXEC) != 0) throw std::system_error(errno, std::generic_category(), "pipe");
  posix_spawn_file_actions_t actions;
  posix_spawn_file_actions_init(&actions);
  posix_spawn_file_actions_adddup2(&actions, fds[0], 0);
  std::vector<std::string> storage{program};
  storage.insert(storage.end(), args.begin(), args.end());
  std::vector<char*> argv;
  for (auto& arg : storage) argv.push_back(arg.data());
  argv.push_back(nullptr);
  const int error = ::posix_spawn(&pid_, program.c_str(), &actions, nullptr, argv.data(), environ);
  posix_spawn_file_actions_destroy(&actions);
  ::close(fds[0]);
  if (error != 0) {
    ::close(fds[1]);
    throw std::system_error(error, std::generic_category(), "posix_spawn " + program);
  }
  input_ = fds[1];
}

RunningProgram::~RunningProgram() {
  if (input_ >= 0) ::close(input_);
  if (pid_ > 0) {
    ::kill(pid_, SIGKILL);
    int status;
    while (::waitpid(pid_, &status, 0) < 0 && errno == EINTR) {
    }
  }
}

void RunningProgram::send(char byte) {
  if (::write(input_, &byte, 1) != 1)
    throw std::system_error(errno, std::generic_category(), "write to the program");
}

void RunningProgram::closeInput() {
  if (input_ >= 0) ::close(input_);
  input_ = -1;
}

int RunningProgram::reap() {
  int status = 0;
  while (::waitpid(pid_, &status, 0) < 0) {
    if (errno != EINTR) throw std::system_error(errno, std::generic_category(), "waitpid");
  }
  pid_ = -1;
  return status;
}

bool waitUntil(const std::function<bool()>& condition, double seconds) {
  const auto deadline = std::chrono::steady_clock::now() + std::chrono::duration<double>(seconds);
  while (!condition()) {
    if (std::chrono::steady_clock::now() > deadline) return false;
    std::this_thread::sleep_for(std::chrono::milliseconds(5));
  }
  return true;
}

}  // namespace dravik::platform
