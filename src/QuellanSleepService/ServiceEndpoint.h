#pragma once
// ServiceEndpoint: what the daemon exports on one accepted client connection. It carries
// out the five protocol operations against the daemon's one SleepLease, as the owner
// `id` (fresh per connection), after checking that the client is the console user and
// that the machine is safe to keep awake with its lid closed.
//
// Threading: the operations and disconnected() may be called on any thread (the
// transport's); each moves its work to the main queue and returns at once. All lease
// access, all platform reads and every reply happen on the main queue. Each operation's
// reply is called exactly once.
//
// Lifetime: held by its connection through shared_ptr; work posted to the main queue
// keeps it alive until it has run. The lease, the driver and the services are shared, not
// owned, and live as long as the daemon.

#include <cstdint>
#include <functional>
#include <memory>

#include "DravikSystem/Power.h"
#include "QuellanServiceCore/SleepLease.h"
#include "QuellanServiceCore/Uuid.h"
#include "QuellanServiceProtocol/ServiceProtocol.h"
#include "QuellanSleepService/DaemonServices.h"

namespace quellan {

class ServiceEndpoint : public QuellanSleepServiceProtocol,
                        public std::enable_shared_from_this<ServiceEndpoint> {
 public:
  static constexpr const char* kBeginRefusal = "请保持开盖，确认电量、温度和显示器状态后重试";
  static constexpr const char* kRenewRefusal = "电量、温度或用户状态改变，本次已结束";

  static std::shared_ptr<ServiceEndpoint> make(std::uint32_t uid, SleepLease& controller,
                                               dravik::PowerDriver& power,
                                               const DaemonServices& services);

  const Uuid& id() const { return id_; }
  std::uint32_t uid() const { return uid_; }

  void status(StatusReply reply) override;
  void beginSession(std::int64_t minutes, CommandReply reply) override;
  void renewSession(CommandReply reply) override;
  void endSession(CommandReply reply) override;
  void prepareForRemoval(CommandReply reply) override;

  // The connection ended: end this connection's session (if it owns one) on the main queue.
  void disconnected();

  // Battery, temperature and external displays allow a closed-lid session. Main queue only.
  bool safe();

 private:
  ServiceEndpoint(std::uint32_t uid, SleepLease& controller, dravik::PowerDriver& power,
                  const DaemonServices& services);

  // The client runs as the (non-root) user at the console. Main queue only.
  bool consoleUserMatches();
  // Runs `operation` on the main queue and answers (true, none) or (false, description).
  void perform(CommandReply reply, std::function<void()> operation);

  const Uuid id_;
  const std::uint32_t uid_;
  SleepLease& controller_;
  dravik::PowerDriver& power_;
  DaemonServices services_;
};

}  // namespace quellan
