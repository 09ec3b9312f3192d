#include "Platform/Sim/SimMachine.h"

#include <fcntl.h>
#include <stdlib.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <filesystem>
#include <system_error>

#include "Platform/Sim/Posix.h"

namespace dravik::platform::sim {
namespace {

void makeDirectories(const std::string& path) {
  std::error_code error;
  std::filesystem::create_directories(path, error);
  if (error) throw std::system_error(error, "mkdir " + path);
}

std::string makeTemporaryDirectory() {
  const char* base = std::getenv("TMPDIR");
  std::string pattern =
      std::string(base != nullptr && *base != '\0' ? base : "/tmp") + "/dravik-machine.XXXXXX";
  if (::mkdtemp(pattern.data()) == nullptr) throwPosixError("mkdtemp " + pattern);
  if (::chmod(pattern.c_str(), 0755) != 0) throwPosixError("chmod " + pattern);
  return pattern;
}

}  // namespace

void installPmset(const std::string& root, const std::string& program) {
  const std::string directory = root + "/usr/bin";
  makeDirectories(directory);
  const std::string target = directory + "/pmset";
  const std::string temporary = target + ".tmp." + std::to_string(::getpid());
  try {
    UniqueFd in(::open(program.c_str(), O_RDONLY | O_CLOEXEC));
    if (!in) throwPosixError("open " + program);
    UniqueFd out(::open(temporary.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0700));
    if (!out) throwPosixError("open " + temporary);
    char buffer[65536];
    for (;;) {
      ssize_t n = ::read(in.get(), buffer, sizeof buffer);
      if (n < 0 && errno == EINTR) continue;
      if (n < 0) throwPosixError("read " + program);
      if (n == 0) break;
      for (ssize_t done = 0; done < n;) {
        ssize_t w = ::write(out.get(), buffer + done, static_cast<std::size_t>(n - done));
        if (w < 0 && errno == EINTR) continue;
        if (w < 0) throwPosixError("write " + temporary);
        done += w;
      }
    }
    if (::fchmod(out.get(), 0755) != 0) throwPosixError("fchmod " + temporary);
    if (::fsync(out.get()) != 0) throwPosixError("fsync " + temporary);
    out.reset();
    // rename() replaces a running binary safely, where rewriting it in place would fail.
    if (::rename(temporary.c_str(), target.c_str()) != 0) throwPosixError("rename " + temporary);
  } catch (...) {
    ::unlink(temporary.c_str());
    throw;
  }
}

void createMachine(const std::string& root, const MachineOptions& options) {
  makeDirectories(root);
  MachineState state(root);
  struct stat info {};
  if (!options.replace && ::stat(state.statePath().c_str(), &info) == 0) {
    throw std::system_error(EEXIST, std::generic_category(), "a machine already exists at " + root);
  }
  makeDirectories(root + "/var/db");
  // Present on every Mac; the daemon makes its own folder inside it.
  makeDirectories(root + "/Library/Application Support");
  state.write(options.machine);
  if (!options.pmsetProgram.empty()) installPmset(root, options.pmsetProgram);
}

TemporaryMachine::TemporaryMachine(const MachineOptions& options)
    : root_(makeTemporaryDirectory()), state_(root_) {
  try {
    createMachine(root_, options);
  } catch (...) {
    std::error_code ignored;
    std::filesystem::remove_all(root_, ignored);
    throw;
  }
}

TemporaryMachine::~TemporaryMachine() {
  std::error_code ignored;
  std::filesystem::remove_all(root_, ignored);
}

}  // namespace dravik::platform::sim
