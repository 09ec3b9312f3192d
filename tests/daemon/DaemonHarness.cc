#include "tests/daemon/DaemonHarness.h"

#include <dirent.h>
#include <fcntl.h>
#include <grp.h>
#include <poll.h>
#include <signal.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstring>
#include <fstream>
#include <sstream>
#include <stdexcept>
#include <thread>
#include <vector>

#include "Platform/Sim/Machine.h"
#include "Platform/Sim/SimPrograms.h"

namespace quellan::e2e {

namespace sim = dravik::platform::sim;

bool waitUntil(const std::function<bool()>& condition, double seconds) {
  auto deadline = std::chrono::steady_clock::now() + std::chrono::duration<double>(seconds);
  while (true) {
    if (condition()) return true;
    if (std::chrono::steady_clock::now() >= deadline) return false;
    std::this_thread::sleep_for(std::chrono::milliseconds(20));
  }
}

std::string probeProgram() { return DRAVIK_PROBE_PROGRAM; }
std::string codesignProgram() { return DRAVIK_CODESIGN_PROGRAM; }
std::string devIdentityDirectory() { return DRAVIK_DEV_IDENTITY; }

namespace {

sim::MachineOptions machineOptions() {
  sim::MachineOptions options;
  options.pmsetProgram = sim::kBuiltPmsetProgram;
  return options;
}

std::vector<char*> argv(std::vector<std::string>& arguments) {
  std::vector<char*> result;
  for (std::string& argument : arguments) result.push_back(argument.data());
  result.push_back(nullptr);
  return result;
}

}  // namespace

int run(const std::vector<std::string>& arguments) {
  std::vector<std::string> copy = arguments;
  pid_t pid = ::fork();
  if (pid == 0) {
    int null = ::open("/dev/null", O_WRONLY);
    ::dup2(null, STDOUT_FILENO);
    ::execv(copy[0].c_str(), argv(copy).data());
    ::_exit(127);
  }
  int status = 0;
  if (::waitpid(pid, &status, 0) != pid || !WIFEXITED(status)) return -1;
  return WEXITSTATUS(status);
}

TestMachine::TestMachine() : machine_(machineOptions()) {
  if (run({codesignProgram(), "install-anchor", "--anchor", devIdentityDirectory() + "/anchor",
           "--root", root()}) != 0) {
    throw std::runtime_error("cannot install the development anchor");
  }
}

bool TestMachine::sleepDisabled() {
  sim::Machine machine = state().read();
  bool domain = sim::rootDomainSleepDisabled(machine);
  if (domain != machine.pmsetSleepDisabled) throw std::runtime_error("pmset and domain disagree");
  return domain;
}

std::string TestMachine::journalPath() const {
  return root() + "/Library/Application Support/dravik.compatibility/recovery.json";
}

bool TestMachine::journalExists() const {
  struct stat info {};
  return ::lstat(journalPath().c_str(), &info) == 0;
}

int TestMachine::temporaryFiles() const {
  int count = 0;
  DIR* directory =
      ::opendir((root() + "/Library/Application Support/dravik.compatibility").c_str());
  if (directory == nullptr) return 0;
  while (dirent* entry = ::readdir(directory)) {
    if (std::strncmp(entry->d_name, ".recovery-", 10) == 0) ++count;
  }
  ::closedir(directory);
  return count;
}

void TestMachine::armCrash(const std::string& point) {
  std::ofstream(root() + "/var/db/dravik-daemon-crash-at", std::ios::trunc) << point;
}

DaemonProcess::DaemonProcess(TestMachine& machine)
    : machine_(machine), logPath_(machine.root() + "/var/db/daemon.log") {
  std::vector<std::string> arguments{DRAVIK_DAEMON_PROGRAM};
  std::string environment = "DRAVIK_MACHINE=" + machine.root();
  pid_ = ::fork();
  if (pid_ == 0) {
    int log = ::open(logPath_.c_str(), O_WRONLY | O_CREAT | O_APPEND, 0644);
    ::dup2(log, STDOUT_FILENO);
    ::dup2(log, STDERR_FILENO);
    char* env[] = {environment.data(), nullptr};
    ::execve(arguments[0].c_str(), argv(arguments).data(), env);
    ::_exit(127);
  }
}

DaemonProcess::~DaemonProcess() {
  if (pid_ > 0) {
    ::kill(pid_, SIGKILL);
    ::waitpid(pid_, nullptr, 0);
  }
}

bool DaemonProcess::ready() {
  std::string socket = machine_.root() + "/var/run/Q7TX2KM9RZ.dravik.sleep-service.sock";
  return waitUntil([&] {
    struct stat info {};
    return ::stat(socket.c_str(), &info) == 0;
  });
}

void DaemonProcess::signal(int signal) { ::kill(pid_, signal); }

int DaemonProcess::wait(double seconds) {
  int status = -1;
  bool ended = waitUntil([&] { return ::waitpid(pid_, &status, WNOHANG) == pid_; }, seconds);
  if (!ended) return -1;
  pid_ = -1;
  return status;
}

std::string DaemonProcess::log() const {
  std::ifstream in(logPath_);
  std::stringstream text;
  text << in.rdbuf();
  return text.str();
}

ClientProcess::ClientProcess(TestMachine& machine, const std::string& program, unsigned uid) {
  int toChild[2], fromChild[2];
  if (::pipe2(toChild, O_CLOEXEC) != 0 || ::pipe2(fromChild, O_CLOEXEC) != 0) {
    throw std::runtime_error("pipe");
  }
  std::vector<std::string> arguments{program.empty() ? probeProgram() : program};
  std::string environment = "DRAVIK_MACHINE=" + machine.root();
  pid_ = ::fork();
  if (pid_ == 0) {
    ::dup2(toChild[0], STDIN_FILENO);
    ::dup2(fromChild[1], STDOUT_FILENO);
    if (uid != 0) {
      if (::setgroups(0, nullptr) != 0 || ::setresgid(uid, uid, uid) != 0 ||
          ::setresuid(uid, uid, uid) != 0) {
        ::_exit(126);
      }
    }
    char* env[] = {environment.data(), nullptr};
    ::execve(arguments[0].c_str(), argv(arguments).data(), env);
    ::_exit(127);
  }
  ::close(toChild[0]);
  ::close(fromChild[1]);
  in_ = toChild[1];
  out_ = fromChild[0];
}

ClientProcess::~ClientProcess() {
  kill();
  if (in_ >= 0) ::close(in_);
  if (out_ >= 0) ::close(out_);
}

void ClientProcess::kill() {
  if (pid_ > 0) {
    ::kill(pid_, SIGKILL);
    ::waitpid(pid_, nullptr, 0);
    pid_ = -1;
  }
}

std::string ClientProcess::send(const std::string& command) {
  std::string line = command + "\n";
  if (::write(in_, line.data(), line.size()) != static_cast<ssize_t>(line.size())) return "";
  // Every call ends within the client's 6-second limit; allow it plus margin.
  auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(15);
  while (true) {
    std::string::size_type end = buffered_.find('\n');
    if (end != std::string::npos) {
      std::string answer = buffered_.substr(0, end);
      buffered_.erase(0, end + 1);
      return answer;
    }
    auto left = std::chrono::duration_cast<std::chrono::milliseconds>(
        deadline - std::chrono::steady_clock::now());
    if (left.count() <= 0) return "";
    pollfd p{out_, POLLIN, 0};
    if (::poll(&p, 1, static_cast<int>(left.count())) <= 0) continue;
    char buffer[512];
    ssize_t n = ::read(out_, buffer, sizeof buffer);
    if (n <= 0) return "";
    buffered_.append(buffer, static_cast<std::size_t>(n));
  }
}

}  // namespace quellan::e2e
