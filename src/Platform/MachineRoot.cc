#include "Platform/MachineRoot.h"

#include <cstdlib>

namespace dravik::platform {

std::string machineRoot() {
  const char* root = std::getenv("DRAVIK_MACHINE");
  if (root == nullptr) return {};
  std::string value(root);
  while (value.size() > 1 && value.back() == '/') value.pop_back();
  return value;
}

std::string machinePath(std::string_view absolutePath) {
  return machineRoot() + std::string(absolutePath);
}

}  // namespace dravik::platform
