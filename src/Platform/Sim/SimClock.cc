#include "Platform/Sim/SimClock.h"

#include <time.h>

#include <cerrno>
#include <cmath>
#include <exception>
#include <utility>

namespace dravik::platform::sim {

SimClock::SimClock() = default;
SimClock::SimClock(std::string root) : state_(std::move(root)) {}

Machine SimClock::refreshed() {
  std::lock_guard lock(mutex_);
  try {
    Machine machine = state_.read();
    last_.continuousOffset = machine.continuousOffset;
    last_.uptimeOffset = machine.uptimeOffset;
    last_.frozenClock = machine.frozenClock;
  } catch (const std::exception&) {
  }
  return last_;
}

double SimClock::continuousSeconds() { return continuousNow(refreshed()); }

double SimClock::uptimeSeconds() { return uptimeNow(refreshed()); }

void SimClock::sleepFor(double seconds) {
  if (!(seconds > 0)) return;
  timespec remaining{};
  double whole = std::floor(seconds);
  remaining.tv_sec = static_cast<time_t>(whole);
  remaining.tv_nsec = static_cast<long>((seconds - whole) * 1e9);
  while (nanosleep(&remaining, &remaining) != 0 && errno == EINTR) {
  }
}

}  // namespace dravik::platform::sim
