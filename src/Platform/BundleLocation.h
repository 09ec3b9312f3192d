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

}  // namespace dravik::platform
