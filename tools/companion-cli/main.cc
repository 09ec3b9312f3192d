// quellan-compat-cli: the companion app's model without its window, for scripts and tests.
// It is signed as the companion app (dravik.compatibility), so the daemon serves it when it
// runs as the console user, and it finds its bundle as the app does: install it inside
// "/Applications/Quellan Compatibility.app/Contents/MacOS" of the machine.
//
//   quellan-compat-cli refresh|install|remove
//
// Runs one action of the model to its end (including the status call that follows it),
// then prints the model's fields, one "name: value" line each. Exit status: 0 the action
// ended (its outcome is in the message), 2 bad usage, 3 the action did not end within
// 30 seconds.

#include <asio/executor_work_guard.hpp>
#include <asio/io_context.hpp>
#include <chrono>
#include <functional>
#include <iostream>
#include <string>

#include "Platform/Asio/AsioMainQueue.h"
#include "Platform/Asio/ThreadGlobalQueue.h"
#include "Platform/CodeIdentity/SodiumCodeSigning.h"
#include "Platform/LocalService/LocalServiceConnector.h"
#include "Platform/Sim/SimServiceManagement.h"
#include "QuellanCompatibility/ComponentModel.h"

namespace {

using dravik::platform::ServiceStatus;

const char* stateName(ServiceStatus status) {
  switch (status) {
    case ServiceStatus::notRegistered:
      return "notRegistered";
    case ServiceStatus::enabled:
      return "enabled";
    case ServiceStatus::requiresApproval:
      return "requiresApproval";
    case ServiceStatus::notFound:
      return "notFound";
  }
  return "unknown";
}

}  // namespace

int main(int argc, char** argv) {
  const std::string action = argc == 2 ? argv[1] : "";
  if (action != "refresh" && action != "install" && action != "remove") {
    std::cerr << "usage: quellan-compat-cli refresh|install|remove\n";
    return 2;
  }

  asio::io_context io;
  auto work = asio::make_work_guard(io);
  dravik::platform::AsioMainQueue mainQueue(io);
  dravik::platform::ThreadGlobalQueue globalQueue;
  dravik::platform::SodiumCodeSigning codeSigning;
  dravik::platform::LocalServiceConnector connector(codeSigning);
  dravik::platform::sim::ProgramBundleLocation bundle;
  dravik::platform::sim::SimServiceManagement serviceManagement(bundle.bundlePath(), &std::cerr);
  quellan::ComponentModel model(mainQueue, globalQueue, connector, serviceManagement, bundle);

  int messages = 0;
  model.observe([&](quellan::ComponentModel::Field field) {
    if (field == quellan::ComponentModel::Field::message) ++messages;
  });
  const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(30);
  auto runUntil = [&](const std::function<bool()>& done) {
    while (!done()) {
      const auto now = std::chrono::steady_clock::now();
      if (now >= deadline) return false;
      io.run_one_for(deadline - now);
    }
    return true;
  };
  // An enabled daemon is asked for its status, whose answer always sets the message. The
  // answer arrives through the main queue, so it cannot come before this is called.
  auto awaitStatus = [&] {
    const int before = messages;
    return model.state() != ServiceStatus::enabled || runUntil([&] { return messages > before; });
  };

  bool ended = false;
  if (action == "refresh") {
    model.refresh();
    ended = awaitStatus();
  } else if (action == "install") {
    model.install();
    ended = awaitStatus();
    if (model.state() == ServiceStatus::requiresApproval) {
      serviceManagement.openSystemSettingsLoginItems();
    }
  } else {
    model.remove();
    ended = runUntil([&] { return !model.busy(); }) && awaitStatus();
  }

  std::cout << "state: " << stateName(model.state()) << "\n"
            << "ready: " << (model.ready() ? "true" : "false") << "\n"
            << "busy: " << (model.busy() ? "true" : "false") << "\n"
            << "message: " << model.message() << "\n";
  if (!ended) {
    std::cerr << "quellan-compat-cli: " << action << " did not end within 30 seconds\n";
    return 3;
  }
  return 0;
}
