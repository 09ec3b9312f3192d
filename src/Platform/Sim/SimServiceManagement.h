#pragma once
// The simulated MacBook's service manager: daemons that ship inside an app bundle,
// registered, approved and unregistered through the machine state's "services" section.
//
// A daemon ships as a property list in its app bundle (paths are the machine's):
//   <bundle>/Contents/Library/LaunchDaemons/<plist name>
// holding a JSON object:
//   { "Label": "<plist name less .plist>",          // optional, informational
//     "BundleProgram": "Contents/MacOS/<program>",   // relative to the bundle, no ".."
//     "ProgramArguments": ["--flag"],                 // optional: arguments after the program
//     "MachServices": { "<service name>": true } }    // optional, informational
//
// The "services" section of the state file:
//   { "registrations": { "<plist name>": { "bundle": "/Applications/X.app",
//                                          "program": "/Applications/X.app/Contents/MacOS/P",
//                                          "arguments": [], "approved": false,
//                                          "pid": 123 } },      // only while running
//     "exits": { "<plist name>": { "pid": 123, "status": "exited with status 0" } } }
//
// States: a registration that is approved is enabled, one that is not requires approval;
// without a registration the daemon is notRegistered when its property list ships in the
// bundle and notFound otherwise. Registering makes (or refreshes) the registration; the
// user's approval (`dravik-machine service approve`) enables it; unregistering removes it.
// The supervisor (dravik-launchd, ServiceSupervisor.h) runs what is enabled and stops what
// is not. Thread-safe: every call reads or changes the state file under its lock.

#include <cstdint>
#include <iosfwd>
#include <optional>
#include <string>
#include <vector>

#include "Platform/BundleLocation.h"
#include "Platform/ServiceManagement.h"
#include "Platform/Sim/MachineState.h"

namespace dravik::platform::sim {

// Where property lists ship inside a bundle.
inline constexpr const char* kBundleLaunchDaemons = "Contents/Library/LaunchDaemons";
// Where programs ship inside a bundle.
inline constexpr const char* kBundlePrograms = "Contents/MacOS";
// The section of the state file.
inline constexpr const char* kServicesSection = "services";

struct ServiceRegistration {
  std::string plist;
  std::string bundle;   // the machine's path of the bundle that registered it
  std::string program;  // the machine's absolute path of the program
  std::vector<std::string> arguments;
  bool approved = false;
  std::optional<std::int64_t> pid;  // set by the supervisor while the daemon runs
};

struct ServiceExit {
  std::int64_t pid = 0;
  std::string status;  // "exited with status N", "killed by signal N"
};

// What a shipped property list says, resolved against its bundle.
struct ShippedDaemon {
  std::string program;  // the machine's absolute path
  std::vector<std::string> arguments;
};

// Reads <bundle>/Contents/Library/LaunchDaemons/<plist> inside `root`. Absent when no such
// file exists; throws std::runtime_error describing what is wrong with a file that does.
std::optional<ShippedDaemon> readShippedDaemon(const std::string& root, const std::string& bundle,
                                               const std::string& plist);

// The registrations and last exits kept in the machine's "services" section.
std::vector<ServiceRegistration> registrations(const Machine& machine);
std::optional<ServiceRegistration> findRegistration(const Machine& machine,
                                                    const std::string& plist);
void putRegistration(Machine& machine, const ServiceRegistration& registration);
// Removes the registration; false when there was none.
bool removeRegistration(Machine& machine, const std::string& plist);
std::optional<ServiceExit> lastExit(const Machine& machine, const std::string& plist);
void putLastExit(Machine& machine, const std::string& plist, const ServiceExit& exit);

// The user's switch in the login-items page. Throws std::runtime_error when nothing is
// registered under `plist`.
void setApproved(Machine& machine, const std::string& plist, bool approved);

// Registration states as `dravik-machine service show` prints them.
std::string statusName(ServiceStatus status);

// The service manager as seen by the app whose bundle is `bundlePath` (a machine path).
class SimServiceManagement : public ServiceManagement {
 public:
  // The machine named by DRAVIK_MACHINE. `settingsOut` (not owned; may be null) is told
  // where the user approves background items when the app asks to show that page.
  SimServiceManagement(std::string bundlePath, std::ostream* settingsOut);
  SimServiceManagement(std::string root, std::string bundlePath, std::ostream* settingsOut);

  std::unique_ptr<DaemonService> daemon(const std::string& plistName) override;
  void openSystemSettingsLoginItems() override;

 private:
  std::string root_;
  std::string bundle_;
  std::ostream* settingsOut_;
};

// The bundle of the running program (/proc/self/exe) as the machine named by DRAVIK_MACHINE
// names it (bundlePathForProgram).
class ProgramBundleLocation : public BundleLocation {
 public:
  std::string bundlePath() override;
};

// Copies an app into <root>/Applications/<appName>: each program (and the "<program>.sig"
// beside it, which must exist) into Contents/MacOS with mode 0755 (0644 for signatures),
// and writes each property list into Contents/Library/LaunchDaemons. Files are replaced
// atomically; everything else already in the bundle is kept. Throws std::system_error, or
// std::runtime_error for a program without its signature.
struct AppDaemon {
  std::string plist;        // "<label>.plist"
  std::string program;      // its program's file name in Contents/MacOS
  std::string machService;  // declared in the property list; may be empty
};
struct AppBundle {
  std::string appName;                // "Quellan Compatibility.app"
  std::vector<std::string> programs;  // paths of the built programs to copy
  std::vector<AppDaemon> daemons;
};
// Returns the bundle's machine path ("/Applications/<appName>").
std::string installApp(const std::string& root, const AppBundle& app);

}  // namespace dravik::platform::sim
