#pragma once
// The daemon's own work on the main queue besides the endpoints: the one-second tick that
// ends sessions and retries pending restorations, and the shutdown on a stop signal.
//
// Threading: main queue only. The lease, the driver and the services are not owned and
// live as long as the daemon.

#include "DravikSystem/Power.h"
#include "QuellanServiceCore/SleepLease.h"
#include "QuellanSleepService/DaemonServices.h"

namespace quellan {

class SleepDaemon {
 public:
  SleepDaemon(SleepLease& lease, dravik::PowerDriver& power, const DaemonServices& services);

  // With no session and nothing owed, reads nothing and does nothing. Otherwise reads the
  // user, battery, heat and lid and hands them to the lease; a failure is logged and the
  // next tick tries again.
  void tick();
  // The tick's verdict on user, battery and heat (external displays do not count here).
  bool safe();
  // Ends any session, refuses new ones and restores the original setting. Returns the
  // exit status: 0 when restored, 1 when the journal stays on disk for the next start.
  int shutdown();

 private:
  SleepLease& lease_;
  dravik::PowerDriver& power_;
  DaemonServices services_;
};

}  // namespace quellan
