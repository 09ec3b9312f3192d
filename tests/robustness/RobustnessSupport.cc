#include "tests/robustness/RobustnessSupport.h"

#include <dirent.h>
#include <unistd.h>

#include <climits>
#include <fstream>

namespace quellan::e2e {

std::string rawClientProgram() { return DRAVIK_RAW_CLIENT_PROGRAM; }

std::optional<std::size_t> socketCount(pid_t pid) {
  std::string directory = "/proc/" + std::to_string(pid) + "/fd";
  DIR* fds = ::opendir(directory.c_str());
  if (fds == nullptr) return std::nullopt;
  std::size_t sockets = 0;
  while (dirent* entry = ::readdir(fds)) {
    char target[PATH_MAX];
    std::string link = directory + "/" + entry->d_name;
    ssize_t n = ::readlink(link.c_str(), target, sizeof target - 1);
    if (n > 0 && std::string(target, static_cast<std::size_t>(n)).rfind("socket:", 0) == 0) {
      ++sockets;
    }
  }
  ::closedir(fds);
  return sockets;
}

namespace {

std::optional<std::string> statusField(pid_t pid, const std::string& name) {
  std::ifstream status("/proc/" + std::to_string(pid) + "/status");
  if (!status) return std::nullopt;
  std::string line;
  while (std::getline(status, line)) {
    if (line.rfind(name + ":", 0) == 0) return line.substr(name.size() + 1);
  }
  return std::nullopt;
}

}  // namespace

std::optional<std::size_t> residentKiB(pid_t pid) {
  auto field = statusField(pid, "VmRSS");  // "   1234 kB"
  if (!field) return std::nullopt;
  return std::stoull(*field);
}

bool running(pid_t pid) {
  auto state = statusField(pid, "State");  // "\tR (running)"
  return state && state->find('Z') == std::string::npos && state->find('X') == std::string::npos;
}

}  // namespace quellan::e2e
