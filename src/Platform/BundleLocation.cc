#include "Platform/BundleLocation.h"

namespace dravik::platform {
namespace {

std::string parentOf(const std::string& path) {
  auto slash = path.rfind('/');
  if (slash == std::string::npos) return path;
  return slash == 0 ? "/" : path.substr(0, slash);
}

bool endsWith(const std::string& text, const std::string& suffix) {
  return text.size() >= suffix.size() &&
         text.compare(text.size() - suffix.size(), suffix.size(), suffix) == 0;
}

}  // namespace

std::string bundlePathForProgram(const std::string& programPath, const std::string& root) {
  std::string folder = parentOf(programPath);
  if (endsWith(folder, "/Contents/MacOS")) {
    std::string app = folder.substr(0, folder.size() - std::string("/Contents/MacOS").size());
    if (endsWith(app, ".app") && app.size() > 5 && app[app.size() - 5] != '/') folder = app;
  }
  if (root.empty() || root == "/") return folder;
  if (folder == root) return "/";
  if (folder.size() > root.size() && folder.compare(0, root.size(), root) == 0 &&
      folder[root.size()] == '/') {
    return folder.substr(root.size());
  }
  return folder;
}

}  // namespace dravik::platform
