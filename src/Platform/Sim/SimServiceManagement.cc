#include "Platform/Sim/SimServiceManagement.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <filesystem>
#include <ostream>
#include <sstream>
#include <stdexcept>
#include <system_error>
#include <utility>

#include "Platform/MachineRoot.h"
#include "Platform/Sim/Posix.h"

namespace dravik::platform::sim {
namespace {

using nlohmann::json;

// A file name: not empty, no slash, not "." or "..".
bool isFileName(const std::string& name) {
  return !name.empty() && name.find('/') == std::string::npos && name != "." && name != "..";
}

// A relative path of file names only, so it cannot leave the bundle.
bool isInsideBundle(const std::string& path) {
  if (path.empty() || path.front() == '/') return false;
  std::size_t start = 0;
  for (;;) {
    std::size_t slash = path.find('/', start);
    if (!isFileName(path.substr(start, slash - start))) return false;
    if (slash == std::string::npos) return true;
    start = slash + 1;
  }
}

std::string launchDaemonsFolder(const std::string& bundle) {
  return bundle + "/" + kBundleLaunchDaemons;
}

json& servicesSection(Machine& machine) {
  json& section = machine.sections[kServicesSection];
  if (!section.is_object()) section = json::object();
  if (!section.contains("registrations")) section["registrations"] = json::object();
  if (!section.contains("exits")) section["exits"] = json::object();
  return section;
}

const json* servicesMember(const Machine& machine, const char* member) {
  auto section = machine.sections.find(kServicesSection);
  if (section == machine.sections.end() || !section->is_object()) return nullptr;
  auto found = section->find(member);
  if (found == section->end() || !found->is_object()) return nullptr;
  return &*found;
}

ServiceRegistration registrationFromJson(const std::string& plist, const json& record) {
  ServiceRegistration registration;
  registration.plist = plist;
  registration.bundle = record.at("bundle").get<std::string>();
  registration.program = record.at("program").get<std::string>();
  registration.arguments = record.value("arguments", std::vector<std::string>{});
  registration.approved = record.value("approved", false);
  if (record.contains("pid") && !record.at("pid").is_null()) {
    registration.pid = record.at("pid").get<std::int64_t>();
  }
  return registration;
}

// The file's bytes; `*missing` when there is no such file. Property lists are small: a
// larger file is refused unread.
std::string readWholeFile(const std::string& path, bool* missing) {
  UniqueFd in(::open(path.c_str(), O_RDONLY | O_CLOEXEC));
  if (!in) {
    if (errno == ENOENT || errno == ENOTDIR) {
      *missing = true;
      return {};
    }
    throwPosixError("open " + path);
  }
  std::string text;
  char buffer[4096];
  for (;;) {
    ssize_t n = ::read(in.get(), buffer, sizeof buffer);
    if (n < 0 && errno == EINTR) continue;
    if (n < 0) throwPosixError("read " + path);
    if (n == 0) return text;
    text.append(buffer, static_cast<std::size_t>(n));
    if (text.size() > 65536) throw std::runtime_error(path + " is larger than 64 KiB");
  }
}

void makeDirectory(const std::string& path) {
  std::error_code error;
  std::filesystem::create_directories(path, error);
  if (error) throw std::system_error(error, "mkdir " + path);
  if (::chmod(path.c_str(), 0755) != 0) throwPosixError("chmod " + path);
}

void writeAll(int fd, const char* data, std::size_t size, const std::string& path) {
  for (std::size_t done = 0; done < size;) {
    ssize_t w = ::write(fd, data + done, size - done);
    if (w < 0 && errno == EINTR) continue;
    if (w < 0) throwPosixError("write " + path);
    done += static_cast<std::size_t>(w);
  }
}

// Writes `target` atomically from `source` (a file to copy) or `content`.
void replaceFile(const std::string& target, mode_t mode, const std::string* source,
                 const std::string& content) {
  const std::string temporary = target + ".tmp." + std::to_string(::getpid());
  try {
    UniqueFd out(::open(temporary.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0600));
    if (!out) throwPosixError("open " + temporary);
    if (source != nullptr) {
      UniqueFd in(::open(source->c_str(), O_RDONLY | O_CLOEXEC));
      if (!in) throwPosixError("open " + *source);
      char buffer[65536];
      for (;;) {
        ssize_t n = ::read(in.get(), buffer, sizeof buffer);
        if (n < 0 && errno == EINTR) continue;
        if (n < 0) throwPosixError("read " + *source);
        if (n == 0) break;
        writeAll(out.get(), buffer, static_cast<std::size_t>(n), temporary);
      }
    } else {
      writeAll(out.get(), content.data(), content.size(), temporary);
    }
    if (::fchmod(out.get(), mode) != 0) throwPosixError("fchmod " + temporary);
    if (::fsync(out.get()) != 0) throwPosixError("fsync " + temporary);
    out.reset();
    // rename() replaces a program that is running, where rewriting it in place would fail.
    if (::rename(temporary.c_str(), target.c_str()) != 0) throwPosixError("rename " + temporary);
  } catch (...) {
    ::unlink(temporary.c_str());
    throw;
  }
}

class SimDaemonService : public DaemonService {
 public:
  SimDaemonService(std::string root, std::string bundle, std::string plist)
      : root_(std::move(root)), bundle_(std::move(bundle)), plist_(std::move(plist)) {}

  ServiceStatus status() override {
    try {
      if (auto registration = findRegistration(MachineState(root_).read(), plist_)) {
        return registration->approved ? ServiceStatus::enabled : ServiceStatus::requiresApproval;
      }
    } catch (const std::exception&) {
      return ServiceStatus::notFound;
    }
    try {
      return readShippedDaemon(root_, bundle_, plist_) ? ServiceStatus::notRegistered
                                                       : ServiceStatus::notFound;
    } catch (const std::exception&) {
      // It ships, but cannot be registered; registering says why.
      return ServiceStatus::notRegistered;
    }
  }

  void registerService() override {
    auto shipped = readShippedDaemon(root_, bundle_, plist_);
    if (!shipped) {
      throw std::runtime_error("No launch daemon named \"" + plist_ + "\" ships in " +
                               launchDaemonsFolder(bundle_) + ".");
    }
    struct stat info {};
    const std::string program = root_ + shipped->program;
    if (::stat(program.c_str(), &info) != 0 || !S_ISREG(info.st_mode)) {
      throw std::runtime_error("The program " + shipped->program + " that \"" + plist_ +
                               "\" names does not exist.");
    }
    bool awaitingApproval = false;
    MachineState(root_).update([&](Machine& machine) {
      auto registration = findRegistration(machine, plist_);
      if (registration && !registration->approved) {
        awaitingApproval = true;
        return;
      }
      ServiceRegistration updated = registration.value_or(ServiceRegistration{});
      updated.plist = plist_;
      updated.bundle = bundle_;
      updated.program = shipped->program;
      updated.arguments = shipped->arguments;
      putRegistration(machine, updated);
    });
    // The platform refuses a second registration until the user has decided on the first.
    if (awaitingApproval) {
      throw std::runtime_error("Operation not permitted: \"" + plist_ +
                               "\" awaits the user's approval in Login Items.");
    }
  }

  void unregister(UnregisterCompletion completion) override {
    // The supervisor stops the daemon once its registration is gone; completing here, on
    // the caller's thread, is within the seam's contract.
    std::optional<std::string> error;
    try {
      bool removed = false;
      MachineState(root_).update(
          [&](Machine& machine) { removed = removeRegistration(machine, plist_); });
      if (!removed) error = "The launch daemon \"" + plist_ + "\" is not registered.";
    } catch (const std::exception& failure) {
      error = failure.what();
    }
    completion(std::move(error));
  }

 private:
  std::string root_;
  std::string bundle_;
  std::string plist_;
};

}  // namespace

std::optional<ShippedDaemon> readShippedDaemon(const std::string& root, const std::string& bundle,
                                               const std::string& plist) {
  if (!isFileName(plist)) return std::nullopt;
  const std::string path = launchDaemonsFolder(bundle) + "/" + plist;
  bool missing = false;
  const std::string text = readWholeFile(root + path, &missing);
  if (missing) return std::nullopt;
  const std::string invalid = "The launch daemon property list " + path + " is invalid: ";
  json document = json::parse(text, nullptr, false);
  if (document.is_discarded() || !document.is_object()) {
    throw std::runtime_error(invalid + "not a JSON object.");
  }
  auto program = document.find("BundleProgram");
  if (program == document.end() || !program->is_string() ||
      !isInsideBundle(program->get<std::string>())) {
    throw std::runtime_error(invalid + "\"BundleProgram\" must name a file inside the bundle.");
  }
  ShippedDaemon daemon;
  daemon.program = bundle + "/" + program->get<std::string>();
  if (auto arguments = document.find("ProgramArguments"); arguments != document.end()) {
    if (!arguments->is_array()) {
      throw std::runtime_error(invalid + "\"ProgramArguments\" must be a list of strings.");
    }
    for (const auto& argument : *arguments) {
      if (!argument.is_string()) {
        throw std::runtime_error(invalid + "\"ProgramArguments\" must be a list of strings.");
      }
      daemon.arguments.push_back(argument.get<std::string>());
    }
  }
  return daemon;
}

std::vector<ServiceRegistration> registrations(const Machine& machine) {
  std::vector<ServiceRegistration> result;
  if (const json* records = servicesMember(machine, "registrations")) {
    for (const auto& [plist, record] : records->items()) {
      result.push_back(registrationFromJson(plist, record));
    }
  }
  return result;
}

std::optional<ServiceRegistration> findRegistration(const Machine& machine,
                                                    const std::string& plist) {
  const json* records = servicesMember(machine, "registrations");
  if (records == nullptr) return std::nullopt;
  auto record = records->find(plist);
  if (record == records->end()) return std::nullopt;
  return registrationFromJson(plist, *record);
}

void putRegistration(Machine& machine, const ServiceRegistration& registration) {
  json record = {{"bundle", registration.bundle},
                 {"program", registration.program},
                 {"arguments", registration.arguments},
                 {"approved", registration.approved}};
  if (registration.pid) record["pid"] = *registration.pid;
  servicesSection(machine)["registrations"][registration.plist] = std::move(record);
}

bool removeRegistration(Machine& machine, const std::string& plist) {
  return servicesSection(machine)["registrations"].erase(plist) > 0;
}

std::optional<ServiceExit> lastExit(const Machine& machine, const std::string& plist) {
  const json* exits = servicesMember(machine, "exits");
  if (exits == nullptr) return std::nullopt;
  auto record = exits->find(plist);
  if (record == exits->end()) return std::nullopt;
  return ServiceExit{record->at("pid").get<std::int64_t>(),
                     record->at("status").get<std::string>()};
}

void putLastExit(Machine& machine, const std::string& plist, const ServiceExit& exit) {
  servicesSection(machine)["exits"][plist] = {{"pid", exit.pid}, {"status", exit.status}};
}

void setApproved(Machine& machine, const std::string& plist, bool approved) {
  auto registration = findRegistration(machine, plist);
  if (!registration) throw std::runtime_error("nothing is registered under \"" + plist + "\"");
  registration->approved = approved;
  putRegistration(machine, *registration);
}

std::string statusName(ServiceStatus status) {
  switch (status) {
    case ServiceStatus::notRegistered:
      return "not registered";
    case ServiceStatus::enabled:
      return "enabled";
    case ServiceStatus::requiresApproval:
      return "requires approval";
    case ServiceStatus::notFound:
      return "not found";
  }
  return "unknown";
}

SimServiceManagement::SimServiceManagement(std::string bundlePath, std::ostream* settingsOut)
    : SimServiceManagement(machineRoot(), std::move(bundlePath), settingsOut) {}

SimServiceManagement::SimServiceManagement(std::string root, std::string bundlePath,
                                           std::ostream* settingsOut)
    : root_(std::move(root)), bundle_(std::move(bundlePath)), settingsOut_(settingsOut) {}

std::unique_ptr<DaemonService> SimServiceManagement::daemon(const std::string& plistName) {
  return std::make_unique<SimDaemonService>(root_, bundle_, plistName);
}

void SimServiceManagement::openSystemSettingsLoginItems() {
  if (settingsOut_ == nullptr) return;
  std::ostream& out = *settingsOut_;
  out << "System Settings > General > Login Items: on this machine, approve with\n";
  try {
    bool awaiting = false;
    for (const auto& registration : registrations(MachineState(root_).read())) {
      if (registration.approved) continue;
      out << "  dravik-machine --root " << root_ << " service approve " << registration.plist
          << "\n";
      awaiting = true;
    }
    if (!awaiting) out << "  (nothing awaits approval)\n";
  } catch (const std::exception& error) {
    out << "  (the machine cannot be read: " << error.what() << ")\n";
  }
  out.flush();
}

std::string ProgramBundleLocation::bundlePath() {
  std::error_code error;
  const std::string program = std::filesystem::read_symlink("/proc/self/exe", error).string();
  std::string root = machineRoot();
  if (!root.empty()) {
    auto canonical = std::filesystem::canonical(root, error);
    if (!error) root = canonical.string();
  }
  return bundlePathForProgram(program, root);
}

std::string installApp(const std::string& root, const AppBundle& app) {
  if (!isFileName(app.appName)) {
    throw std::runtime_error("not an app name: \"" + app.appName + "\"");
  }
  const std::string bundle = "/Applications/" + app.appName;
  makeDirectory(root + "/Applications");
  makeDirectory(root + bundle);
  makeDirectory(root + bundle + "/Contents");
  makeDirectory(root + bundle + "/" + kBundlePrograms);
  for (const auto& program : app.programs) {
    const std::string signature = program + ".sig";
    struct stat info {};
    if (::stat(signature.c_str(), &info) != 0) {
      throw std::runtime_error(program + " is not signed: " + signature + " is missing");
    }
    const std::string name = std::filesystem::path(program).filename().string();
    const std::string target = root + bundle + "/" + kBundlePrograms + "/" + name;
    replaceFile(target, 0755, &program, {});
    replaceFile(target + ".sig", 0644, &signature, {});
  }
  if (!app.daemons.empty()) {
    makeDirectory(root + bundle + "/Contents/Library");
    makeDirectory(root + launchDaemonsFolder(bundle));
  }
  for (const auto& daemon : app.daemons) {
    if (!isFileName(daemon.plist) || !isFileName(daemon.program)) {
      throw std::runtime_error("not a property list and program name: \"" + daemon.plist +
                               "\", \"" + daemon.program + "\"");
    }
    const std::string program = bundle + "/" + kBundlePrograms + "/" + daemon.program;
    struct stat info {};
    if (::stat((root + program).c_str(), &info) != 0) {
      throw std::runtime_error("the daemon's program " + program + " is not in the bundle");
    }
    std::string label = daemon.plist;
    if (label.ends_with(".plist")) label.resize(label.size() - 6);
    json plist = {{"Label", label},
                  {"BundleProgram", std::string(kBundlePrograms) + "/" + daemon.program}};
    if (!daemon.machService.empty()) plist["MachServices"] = {{daemon.machService, true}};
    replaceFile(root + launchDaemonsFolder(bundle) + "/" + daemon.plist, 0644, nullptr,
                plist.dump(2) + "\n");
  }
  return bundle;
}

}  // namespace dravik::platform::sim
