#pragma once
// The client of the sleep service daemon.
//
// One connection, opened on first use and checked against the daemon's code requirement;
// every call ends exactly once, with a success or a PowerError carrying a Simplified
// Chinese message; no call waits longer than 6 seconds; every result is delivered
// asynchronously on the main queue; a failed call drops the connection it used (if it is
// still the current one), so the next call opens a fresh one.
//
// Threading: use from the main thread only. Not copyable.

#include <cstdint>
#include <functional>
#include <memory>
#include <variant>

#include "DravikSystem/PowerError.h"
#include "Platform/GlobalQueue.h"
#include "Platform/MainQueue.h"
#include "Platform/ServiceConnection.h"

namespace dravik {

struct CompatibilityStatus {
  bool active = false;
  bool recoveryPending = false;
  friend bool operator==(const CompatibilityStatus&, const CompatibilityStatus&) = default;
};

// A call's outcome: a success value, or the failure.
template <class T>
class Result {
 public:
  Result(T value) : value_(std::move(value)) {}            // NOLINT: implicit by design
  Result(PowerError error) : value_(std::move(error)) {}  // NOLINT
  bool ok() const { return value_.index() == 0; }
  const T& value() const { return std::get<0>(value_); }
  const PowerError& error() const { return std::get<1>(value_); }

 private:
  std::variant<T, PowerError> value_;
};

struct Done {};  // the success value of the four commands

class CompatibilityClient {
 public:
  template <class T>
  using Completion = std::function<void(Result<T>)>;

  // Neither queue nor connector is owned; all must outlive the client and, for the queues,
  // any call still outstanding.
  CompatibilityClient(platform::MainQueue& mainQueue, platform::GlobalQueue& globalQueue,
                      platform::ServiceConnector& connector);
  CompatibilityClient(const CompatibilityClient&) = delete;
  CompatibilityClient& operator=(const CompatibilityClient&) = delete;
  ~CompatibilityClient();

  void status(Completion<CompatibilityStatus> completion);
  void begin(std::int64_t minutes, Completion<Done> completion);
  void renew(Completion<Done> completion);
  void end(Completion<Done> completion);
  void prepareForRemoval(Completion<Done> completion);
  void invalidate();

 private:
  struct State;
  std::shared_ptr<State> state_;
};

}  // namespace dravik
