#pragma once
// The desktop's file browser.

#include <string>

namespace dravik::platform {

class Workspace {
 public:
  Workspace() = default;
  Workspace(const Workspace&) = delete;
  Workspace& operator=(const Workspace&) = delete;
  virtual ~Workspace() = default;

  // Opens the folder at the machine's absolute path `path` in the file browser. Fire and
  // forget: the outcome is not reported.
  virtual void openFolder(const std::string& path) = 0;
};

}  // namespace dravik::platform
