// dravik-machine: creates a simulated MacBook and changes its readings.

#include <unistd.h>

#include <iostream>
#include <string>
#include <vector>

#include "MachineCommand.h"

int main(int argc, char** argv) {
  std::string self(4096, '\0');
  ssize_t n = ::readlink("/proc/self/exe", self.data(), self.size());
  std::string directory = ".";
  if (n > 0 && static_cast<std::size_t>(n) < self.size()) {
    self.resize(static_cast<std::size_t>(n));
    directory = self.substr(0, self.rfind('/'));
  }
  return dravik::platform::sim::runMachineCommand(std::vector<std::string>(argv + 1, argv + argc),
                                                  directory, std::cout, std::cerr);
}
