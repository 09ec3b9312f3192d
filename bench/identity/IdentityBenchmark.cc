// Code identity costs: authenticating a running signed client from scratch, and the
// per-message check of a pinned connection whose client still runs the same executable.
#include <benchmark/benchmark.h>

#include "Platform/CodeIdentity/SodiumCodeSigning.h"
#include "Platform/CodeIdentity/TestIdentity.h"
#include "QuellanServiceAuth/ClientSignature.h"

namespace {

using namespace dravik::platform;

struct Fixture {
  TestIdentities ids;
  std::string program = ids.signedProgram("client", "dravik");
  RunningProgram running{program, {"wait"}};
};

void BM_AuthenticateCold(benchmark::State& state) {
  Fixture fixture;
  for (auto _ : state) {
    // A new CodeSigning each time: nothing cached, not even the anchor.
    SodiumCodeSigning signing(fixture.ids.anchorPublicKey());
    quellan::SleepServiceClientAuthentication authentication(signing);
    benchmark::DoNotOptimize(authentication.authenticate(fixture.running.pid()));
  }
}
BENCHMARK(BM_AuthenticateCold)->Unit(benchmark::kMicrosecond);

void BM_CheckValidityUnchangedExecutable(benchmark::State& state) {
  Fixture fixture;
  SodiumCodeSigning signing(fixture.ids.anchorPublicKey());
  quellan::SleepServiceClientAuthentication authentication(signing);
  const auto signature = authentication.authenticate(fixture.running.pid());
  std::shared_ptr<Code> code;
  std::shared_ptr<const Requirement> pinned;
  if (signing.copyGuestWithPid(fixture.running.pid(), &code) != 0 ||
      signing.createRequirement(signature.connectionRequirement(), &pinned) != 0) {
    state.SkipWithError("setup failed");
    return;
  }
  for (auto _ : state) {
    if (signing.checkValidity(*code, 0, pinned.get()) != 0) {
      state.SkipWithError("check failed");
      break;
    }
  }
}
BENCHMARK(BM_CheckValidityUnchangedExecutable)->Unit(benchmark::kMicrosecond);

}  // namespace

BENCHMARK_MAIN();
