#include "QuellanServiceProtocol/ServiceProtocol.h"

namespace quellan {

// Function-local statics: initialised once, on first use, thread-safely.
const std::string& CompatibilityService::name() {
  static const std::string value = std::string(group) + ".sleep-service";
  return value;
}

const std::string& CompatibilityService::plist() {
  static const std::string value = name() + ".plist";
  return value;
}

const std::string& CompatibilityService::daemonRequirement() {
  static const std::string value = std::string("anchor apple generic and identifier \"") +
                                   daemonID + "\" and certificate leaf[subject.OU] = \"" + team +
                                   "\"";
  return value;
}

const std::set<std::string>& CompatibilityService::clientIdentifiers() {
  static const std::set<std::string> value{"dravik", "dravik.agent", helperID};
  return value;
}

}  // namespace quellan
