// Status round trip over the real socket: client proxy -> listener -> exported object ->
// reply -> client. Target: under 100 µs median (reported, not asserted).

#include <benchmark/benchmark.h>
#include <stdlib.h>
#include <unistd.h>

#include <algorithm>
#include <filesystem>
#include <future>

#include "Platform/LocalService/FakeCodeSigning.h"
#include "Platform/LocalService/LocalServiceConnector.h"
#include "Platform/LocalService/ServiceListener.h"

namespace dravik::platform {
namespace {

const std::string kService = "bench.dravik.sleep-service";

class StatusService : public quellan::QuellanSleepServiceProtocol {
 public:
  void status(StatusReply reply) override { reply(1, false, false); }
  void beginSession(std::int64_t, CommandReply reply) override { reply(true, std::nullopt); }
  void renewSession(CommandReply reply) override { reply(true, std::nullopt); }
  void endSession(CommandReply reply) override { reply(true, std::nullopt); }
  void prepareForRemoval(CommandReply reply) override { reply(true, std::nullopt); }
};

class AcceptAll : public ServiceListenerDelegate {
 public:
  bool shouldAcceptNewConnection(IncomingConnection& connection) override {
    connection.setCodeSigningRequirement("identifier \"bench\"");
    connection.setExportedObject(std::make_shared<StatusService>());
    connection.resume();
    return true;
  }
};

double percentile(std::vector<double> v, double p) {
  std::sort(v.begin(), v.end());
  return v[std::min(v.size() - 1, std::size_t(p * double(v.size())))];
}

void BM_StatusRoundTrip(benchmark::State& state) {
  char pattern[] = "/tmp/dravik-bench-XXXXXX";
  std::string root = ::mkdtemp(pattern);
  ::setenv("DRAVIK_MACHINE", root.c_str(), 1);
  {
    FakeCodeSigning signing;
    AcceptAll delegate;
    ServiceListener::Options listenerOptions;
    listenerOptions.requireRootOwnedDirectory = ::geteuid() == 0;
    ServiceListener listener(kService, delegate, signing, listenerOptions);
    listener.resume();
    LocalServiceConnector::Options connectorOptions;
    connectorOptions.requireRootPeer = ::geteuid() == 0;
    LocalServiceConnector connector(signing, connectorOptions);
    auto connection = connector.connect(kService);
    connection->setCodeSigningRequirement("identifier \"daemon\"");
    connection->resume();
    auto proxy = connection->remoteObjectProxy([] {});

    std::vector<double> micros;
    for (auto _ : state) {
      auto start = std::chrono::steady_clock::now();
      std::promise<void> done;
      proxy->status([&done](std::int64_t, bool, bool) { done.set_value(); });
      done.get_future().wait();
      micros.push_back(
          std::chrono::duration<double, std::micro>(std::chrono::steady_clock::now() - start)
              .count());
    }
    if (!micros.empty()) {
      state.counters["p50_us"] = percentile(micros, 0.50);
      state.counters["p99_us"] = percentile(micros, 0.99);
    }
  }
  ::unsetenv("DRAVIK_MACHINE");
  std::filesystem::remove_all(root);
}
BENCHMARK(BM_StatusRoundTrip)
    ->Unit(benchmark::kMicrosecond)
    ->Repetitions(5)
    ->ComputeStatistics("p99", [](const std::vector<double>& v) { return percentile(v, 0.99); })
    ->UseRealTime();

}  // namespace
}  // namespace dravik::platform

BENCHMARK_MAIN();
