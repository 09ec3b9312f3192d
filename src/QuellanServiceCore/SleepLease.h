#pragma once
// SleepLease: the daemon's one closed-lid session and the only code that changes the
// machine-wide sleep setting.
//
// States (owner, sawClosed, recoveryPending), plus the `paused` latch:
//   Idle             no owner,                 recoveryPending false
//   Recovery owed    no owner,                 recoveryPending true
//   Session/open     owner, sawClosed false,   recoveryPending false
//   Session/closed   owner, sawClosed true,    recoveryPending false
//
// Transitions ("restored" means restore() ran: Idle when it completed, Recovery owed when
// it failed):
//   Idle|Recovery owed --begin ok-->                         Session/open
//   Idle|Recovery owed --begin refused by its checks-->      unchanged
//   Idle|Recovery owed --begin failing later-->              as its restorations left it
//   Idle|Recovery owed --tick, end (any owner), recover-->   restored
//   Session/open   --tick, lid open-->                       unchanged
//   Session/open   --tick, lid closed-->                     Session/closed
//   Session/closed --tick, lid closed-->                     unchanged
//   Session/closed --tick, lid open-->                       restored
//   Session/*      --tick, lid unreadable, unsafe, now not finite, lease or deadline
//                    reached-->                              restored
//   Session/*      --renew by owner, setting still off-->    unchanged, expiry = now + 30
//   Session/*      --renew by owner, setting found on-->     restored, then an error
//   Session/*      --renew by owner after lapse-->           restored, then an error
//   Session/*      --renew by someone else-->                unchanged, with an error
//   Session/*      --end by owner-->                         restored
//   Session/*      --end by someone else-->                  unchanged, no error
//   any            --pauseAndRestore-->                      restored, paused latched
//
// restore() writes the journalled value back, reads it again, and only when it reads as
// written deletes the journal. The journal is always saved before sleep is disabled, so a
// crash at any point leaves enough on disk for recover() at the next start.
//
// Times are seconds on one monotonic clock chosen by the caller; the lease reads no clock
// and no sensor. Errors from the setting and the journal store pass through unchanged (the
// same exception object); the lease's own failures are ServiceFailure.
//
// Ownership: `power` and `journal` are not owned; the daemon owns both and keeps them alive
// longer than the lease. Destroying the lease does nothing else (no restoration).
// Thread confinement: not thread-safe; the daemon calls it on its main queue only.

#include <cstdint>
#include <optional>

#include "QuellanServiceCore/ServiceFailure.h"
#include "QuellanServiceCore/SleepSetting.h"
#include "QuellanServiceCore/Uuid.h"

namespace quellan {

class SleepLease {
 public:
  // Seconds a session lasts without a renewal.
  static constexpr double kLeaseSeconds = 30;
  // The only journal version the lease acts on.
  static constexpr std::int64_t kJournalSchema = 1;

  // Performs no I/O and cannot fail. The daemon calls recover() right after.
  SleepLease(SleepSetting& power, SleepJournalStore& journal);
  SleepLease(const SleepLease&) = delete;
  SleepLease& operator=(const SleepLease&) = delete;

  // A session is running.
  bool active() const { return owner_.has_value(); }
  // A restoration is owed and not yet confirmed.
  bool recoveryPending() const { return recoveryPending_; }

  // Settles whatever an earlier run left behind.
  void recover();
  // Starts a session for `owner` lasting `minutes` (0, 30, 60, 120, 240 or 480; 0 means no
  // time limit). The lid must be open.
  void begin(const Uuid& owner, std::int64_t minutes, double now, bool lidClosed);
  // Extends the owner's session to now + 30 after checking that sleep is still disabled.
  void renew(const Uuid& owner, double now);
  // Ends the owner's session (or, with no session, settles a pending recovery). Another
  // owner's session is left alone and that is not an error.
  void end(const Uuid& owner);
  // The daemon's periodic check. `lidClosed` absent means the lid could not be read;
  // `safe` is the caller's verdict on user, battery and temperature.
  void tick(double now, std::optional<bool> lidClosed, bool safe);
  // Ends any session, restores, and refuses every later begin.
  void pauseAndRestore();

 private:
  void endSession();
  void restore();

  SleepSetting& power_;
  SleepJournalStore& journal_;
  std::optional<Uuid> owner_;
  double expiry_ = 0;
  std::optional<double> deadline_;
  bool sawClosed_ = false;
  bool paused_ = false;
  bool recoveryPending_ = false;
};

}  // namespace quellan
