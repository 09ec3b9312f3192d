#pragma once
// The contract between the sleep service daemon and its clients: shared constants and the
// one interface the daemon serves.

#include <cstdint>
#include <functional>
#include <optional>
#include <set>
#include <string>

namespace quellan {

// Constants both sides must agree on. The composed ones are built once, on first use,
// thread-safely, and never change afterwards.
struct CompatibilityService {
  static constexpr std::int64_t version = 1;
  static constexpr const char* team = "Q7TX2KM9RZ";
  static constexpr const char* group = "Q7TX2KM9RZ.dravik";
  static const std::string& name();               // group + ".sleep-service"
  static const std::string& plist();              // name + ".plist"
  static constexpr const char* helperID = "dravik.compatibility";
  static constexpr const char* daemonID = "dravik.sleep-service";
  static constexpr double leaseSeconds = 30;
  static constexpr double renewalSeconds = 5;
  static const std::string& daemonRequirement();
  static const std::set<std::string>& clientIdentifiers();
};

// The daemon's interface. Every operation returns at once and answers through its reply
// callback exactly once, possibly later and from another thread.
class QuellanSleepServiceProtocol {
 public:
  using StatusReply = std::function<void(std::int64_t version, bool active, bool recoveryPending)>;
  using CommandReply = std::function<void(bool ok, std::optional<std::string> message)>;

  QuellanSleepServiceProtocol() = default;
  QuellanSleepServiceProtocol(const QuellanSleepServiceProtocol&) = delete;
  QuellanSleepServiceProtocol& operator=(const QuellanSleepServiceProtocol&) = delete;
  virtual ~QuellanSleepServiceProtocol() = default;

  virtual void status(StatusReply reply) = 0;
  virtual void beginSession(std::int64_t minutes, CommandReply reply) = 0;
  virtual void renewSession(CommandReply reply) = 0;
  virtual void endSession(CommandReply reply) = 0;
  virtual void prepareForRemoval(CommandReply reply) = 0;
};

}  // namespace quellan
