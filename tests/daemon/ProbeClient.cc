// dravik-probe-client: a scriptable client of the sleep service for end-to-end tests.
// Reads one command per line on standard input and answers each with one line:
//   status      → "status <active 0|1> <recoveryPending 0|1>" or "fail <message>"
//   begin N     → "ok" or "fail <message>"
//   renew | end | remove → likewise
//   quit (or end of input) → exits 0
// All calls go through one CompatibilityClient, so the connection is kept between
// commands like a real session client's.

#include <asio.hpp>
#include <future>
#include <iostream>
#include <string>
#include <thread>

#include "DravikSystem/CompatibilityClient.h"
#include "Platform/Asio/AsioMainQueue.h"
#include "Platform/Asio/ThreadGlobalQueue.h"
#include "Platform/CodeIdentity/SodiumCodeSigning.h"
#include "Platform/LocalService/LocalServiceConnector.h"

int main() {
  asio::io_context io;
  auto work = asio::make_work_guard(io);
  dravik::platform::AsioMainQueue mainQueue(io);
  dravik::platform::ThreadGlobalQueue globalQueue;
  dravik::platform::SodiumCodeSigning codeSigning;
  dravik::platform::LocalServiceConnector connector(codeSigning);
  dravik::CompatibilityClient client(mainQueue, globalQueue, connector);

  auto answer = [](const std::string& line) { std::cout << line << std::endl; };
  auto done = [&](dravik::Result<dravik::Done> result) {
    answer(result.ok() ? "ok" : "fail " + result.error().text);
  };

  // Commands are read on their own thread and run one at a time on the main queue; the
  // next is read only after the previous one was answered.
  std::thread reader([&] {
    std::string line;
    while (std::getline(std::cin, line) && line != "quit") {
      std::promise<void> answered;
      auto finished = answered.get_future();
      asio::post(io, [&, line] {
        auto finish = [&answered](auto&&...) { answered.set_value(); };
        if (line == "status") {
          client.status([&, finish](dravik::Result<dravik::CompatibilityStatus> result) {
            if (result.ok()) {
              answer("status " + std::to_string(result.value().active) + " " +
                     std::to_string(result.value().recoveryPending));
            } else {
              answer("fail " + result.error().text);
            }
            finish();
          });
        } else if (line.rfind("begin ", 0) == 0) {
          client.begin(std::stoll(line.substr(6)), [&, finish](auto result) {
            done(result);
            finish();
          });
        } else if (line == "renew" || line == "end" || line == "remove") {
          auto reply = [&, finish](auto result) {
            done(result);
            finish();
          };
          if (line == "renew") client.renew(reply);
          if (line == "end") client.end(reply);
          if (line == "remove") client.prepareForRemoval(reply);
        } else {
          answer("error unknown command");
          finish();
        }
      });
      finished.wait();
    }
    asio::post(io, [&] {
      work.reset();
      io.stop();
    });
  });
  io.run();
  reader.join();
  return 0;
}
