#pragma once
// Where the running app bundle lies.

#include <string>

namespace dravik::platform {

class BundleLocation {
 public:
  BundleLocation() = default;
  BundleLocation(const BundleLocation&) = delete;
  BundleLocation& operator=(const BundleLocation&) = delete;
  virtual ~BundleLocation() = default;

  // The absolute path of the running app bundle as the machine names it (on the simulated
  // MacBook: inside the machine root, e.g. "/Applications/Quellan Compatibility.app").
  // Never fails.
  virtual std::string bundlePath() = 0;
};

// The bundle of the program at `programPath` (absolute, canonical), as the machine names it
// given the canonical machine root ("" for none): the folder that holds the program, or the
// "<name>.app" folder when the program lies in its "Contents/MacOS" folder, as in a Mac app.
std::string bundlePathForProgram(const std::string& programPath, const std::string& root);

}  // namespace dravik::platform
