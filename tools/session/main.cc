// dravik-session: drives closed-lid sessions against the sleep service daemon.

#include <asio/executor_work_guard.hpp>
#include <asio/io_context.hpp>
#include <asio/signal_set.hpp>
#include <csignal>
#include <functional>
#include <iostream>
#include <optional>
#include <string>
#include <vector>

#include "AsioRenewalTimer.h"
#include "DravikSystem/CompatibilityClient.h"
#include "Platform/Asio/AsioMainQueue.h"
#include "Platform/Asio/ThreadGlobalQueue.h"
#include "Platform/CodeIdentity/SodiumCodeSigning.h"
#include "Platform/LocalService/LocalServiceConnector.h"
#include "Platform/Posix/EnvironmentPreferredLanguages.h"
#include "SessionArguments.h"
#include "SessionTool.h"

int main(int argc, char** argv) {
  using namespace dravik;
  auto parsed = parseSessionArguments(std::vector<std::string>(argv + 1, argv + argc));
  if (!parsed.arguments) {
    std::cerr << "dravik-session: " << parsed.error << "\n\n" << sessionUsage();
    return 2;
  }
  const SessionArguments& arguments = *parsed.arguments;
  if (arguments.command == SessionCommand::help) {
    std::cout << sessionUsage();
    return 0;
  }

  asio::io_context io;
  platform::AsioMainQueue mainQueue(io);
  platform::ThreadGlobalQueue globalQueue;
  platform::SodiumCodeSigning codeSigning;
  platform::LocalServiceConnector connector(codeSigning);
  platform::EnvironmentPreferredLanguages preferred;
  AsioRenewalTimer timer(io);
  CompatibilityClient client(mainQueue, globalQueue, connector);

  // The client's replies come from other threads; until the tool has finished, the loop
  // must keep waiting for them even when it has nothing of its own to do.
  auto keepRunning = asio::make_work_guard(io);
  int exitStatus = 1;
  SessionTool tool(client, mainQueue, timer, arguments.language, preferred, std::cout,
                   [&](int status) {
                     exitStatus = status;
                     keepRunning.reset();
                     io.stop();
                   });

  // Only a running session catches the stop signals, to end it; the one-shot commands keep
  // their default disposition.
  std::optional<asio::signal_set> signals;
  std::function<void()> awaitSignal = [&] {
    signals->async_wait([&](const asio::error_code& error, int) {
      if (error) return;
      tool.stop();
      awaitSignal();
    });
  };
  switch (arguments.command) {
    case SessionCommand::status:
      tool.status();
      break;
    case SessionCommand::begin:
      signals.emplace(io, SIGINT, SIGTERM);
      awaitSignal();
      tool.begin(arguments.begin);
      break;
    case SessionCommand::end:
      tool.end();
      break;
    case SessionCommand::remove:
      tool.remove();
      break;
    case SessionCommand::help:
      break;
  }
  io.run();
  return exitStatus;
}
