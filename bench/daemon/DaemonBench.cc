// Measures the daemon on a simulated MacBook, with real processes (run as root):
//   - begin→reply and end→reply latency as the client sees it (median of N sessions);
//   - the delay from the lid reopening to the original setting being back (median);
//   - the daemon's resident memory and CPU time while idle for a while.
// Usage: daemon_bench [SESSIONS=20] [IDLE_SECONDS=60]. Reports only; asserts nothing.

#include <signal.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <fstream>
#include <iostream>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "Platform/Sim/Machine.h"
#include "tests/daemon/DaemonHarness.h"

namespace {

using Clock = std::chrono::steady_clock;
namespace e2e = quellan::e2e;
namespace sim = dravik::platform::sim;

double millisecondsSince(Clock::time_point start) {
  return std::chrono::duration<double, std::milli>(Clock::now() - start).count();
}

double median(std::vector<double> values) {
  std::sort(values.begin(), values.end());
  return values.empty() ? 0 : values[values.size() / 2];
}

// Resident set (kB) and CPU seconds (user + system) of a process.
std::pair<long, double> usage(pid_t pid) {
  long rss = 0;
  std::ifstream status("/proc/" + std::to_string(pid) + "/status");
  for (std::string line; std::getline(status, line);) {
    if (line.rfind("VmRSS:", 0) == 0) rss = std::stol(line.substr(6));
  }
  std::ifstream statFile("/proc/" + std::to_string(pid) + "/stat");
  std::string stat((std::istreambuf_iterator<char>(statFile)), {});
  std::istringstream fields(stat.substr(stat.rfind(')') + 2));
  std::string field;
  double ticks = 0;
  for (int i = 3; fields >> field; ++i) {
    if (i == 14 || i == 15) ticks += std::stod(field);
    if (i == 15) break;
  }
  return {rss, ticks / static_cast<double>(::sysconf(_SC_CLK_TCK))};
}

}  // namespace

int main(int argc, char** argv) {
  if (::geteuid() != 0) {
    std::cerr << "daemon_bench: run as root (the daemon must run as root)\n";
    return 1;
  }
  const int sessions = argc > 1 ? std::stoi(argv[1]) : 20;
  const int idleSeconds = argc > 2 ? std::stoi(argv[2]) : 60;

  e2e::TestMachine machine;
  e2e::DaemonProcess daemon(machine);
  if (!daemon.ready()) {
    std::cerr << "daemon_bench: the daemon did not start\n" << daemon.log();
    return 1;
  }
  e2e::ClientProcess client(machine);
  client.send("status");  // connect once, as a session client does

  std::vector<double> begins, ends, reopenings;
  for (int i = 0; i < sessions; ++i) {
    auto start = Clock::now();
    if (client.send("begin 0") != "ok") return std::cerr << "begin failed\n", 1;
    begins.push_back(millisecondsSince(start));
    start = Clock::now();
    if (client.send("end") != "ok") return std::cerr << "end failed\n", 1;
    ends.push_back(millisecondsSince(start));
  }
  std::cout << "begin -> reply: median " << median(begins) << " ms over " << sessions << "\n";
  std::cout << "end -> reply:   median " << median(ends) << " ms over " << sessions << "\n";

  const int cycles = std::max(3, sessions / 4);
  for (int i = 0; i < cycles; ++i) {
    if (client.send("begin 0") != "ok") return std::cerr << "begin failed\n", 1;
    machine.change([](sim::Machine& m) { sim::setLidClosed(m, true); });
    std::this_thread::sleep_for(std::chrono::milliseconds(2200));  // two ticks see it closed
    machine.change([](sim::Machine& m) { sim::setLidClosed(m, false); });
    auto start = Clock::now();
    e2e::waitUntil([&] { return !machine.sleepDisabled(); }, 10.0);
    reopenings.push_back(millisecondsSince(start));
  }
  std::cout << "lid reopened -> setting restored: median " << median(reopenings) << " ms over "
            << cycles << " (target: within 1200 ms)\n";

  client.kill();
  auto [rssBefore, cpuBefore] = usage(daemon.pid());
  std::this_thread::sleep_for(std::chrono::seconds(idleSeconds));
  auto [rssAfter, cpuAfter] = usage(daemon.pid());
  std::cout << "idle for " << idleSeconds << " s: resident " << rssAfter << " kB (was " << rssBefore
            << " kB), CPU " << (cpuAfter - cpuBefore) * 1000 << " ms\n";
  daemon.signal(SIGTERM);
  daemon.wait();
  return 0;
}
