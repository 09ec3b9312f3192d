// What one "-g" run of the power-management tool costs through the child-process runner:
// spawn, wait, reap and read, against a shell-script stand-in in a temporary machine root.
// Reported as the median of several repetitions, wall-clock time.

#include <benchmark/benchmark.h>
#include <unistd.h>

#include <cstdlib>
#include <filesystem>
#include <fstream>

#include "Platform/MachineRoot.h"
#include "Platform/Posix/ChildProcess.h"

namespace {

namespace fs = std::filesystem;

class MachineRoot {
 public:
  MachineRoot() {
    char pattern[] = "/tmp/pmset-bench-XXXXXX";
    if (::mkdtemp(pattern) == nullptr) std::abort();
    root_ = pattern;
    fs::create_directories(root_ / "usr/bin");
    const fs::path tool = root_ / "usr/bin/pmset";
    std::ofstream(tool) << "#!/bin/sh\n"
                           "printf 'System-wide power settings:\\n SleepDisabled 0\\n'\n";
    fs::permissions(tool, fs::perms::owner_all);
    ::setenv("DRAVIK_MACHINE", root_.c_str(), 1);
  }
  ~MachineRoot() {
    ::unsetenv("DRAVIK_MACHINE");
    fs::remove_all(root_);
  }

 private:
  fs::path root_;
};

void BM_PmsetReadRun(benchmark::State& state) {
  MachineRoot machine;
  dravik::platform::ChildProcessRequest request;
  request.path = dravik::platform::machinePath("/usr/bin/pmset");
  request.arguments = {"-g"};
  request.environment = {"PATH=/usr/bin:/bin", "LC_ALL=C", "LANG=C"};
  for (auto _ : state) {
    auto result = dravik::platform::runChildProcess(request);
    benchmark::DoNotOptimize(result.output.data());
  }
}
BENCHMARK(BM_PmsetReadRun)
    ->Unit(benchmark::kMillisecond)
    ->UseRealTime()
    ->Repetitions(5)
    ->ReportAggregatesOnly(true);

}  // namespace

BENCHMARK_MAIN();
