#include "DravikCore/OpenLidSession.h"

#include <cmath>
#include <utility>

namespace dravik {

OpenLidSession::OpenLidSession(std::unique_ptr<TimedIdleAssertion> assertion)
    : assertion_(std::move(assertion)) {}

void OpenLidSession::setEnabled(bool enabled, double now, std::optional<bool> lidClosed,
                                bool systemSleeping) {
  requested_ = enabled;
  tick(now, lidClosed, systemSleeping);
}

void OpenLidSession::tick(double now, std::optional<bool> lidClosed, bool systemSleeping) {
  if (!requested_) {
    lastRenewal_.reset();
    assertion_->release();
    return;
  }
  if (!std::isfinite(now) || !lidClosed.has_value()) switchOffWith(kLidUnreadable);
  if (*lidClosed || systemSleeping) {
    lastRenewal_.reset();
    assertion_->release();
    return;
  }
  if (lastRenewal_ && (now < *lastRenewal_ || now - *lastRenewal_ >= leaseSeconds)) {
    switchOffWith(kTimedOut);
  }
  if (assertion_->held() && lastRenewal_ && now - *lastRenewal_ < renewalSeconds) return;
  try {
    assertion_->renew();
  } catch (...) {
    requested_ = false;
    lastRenewal_.reset();
    // The renewal's error is the one worth reporting; a failed release after it adds nothing.
    try {
      assertion_->release();
    } catch (...) {
    }
    throw;
  }
  lastRenewal_ = now;
}

void OpenLidSession::disable() {
  requested_ = false;
  lastRenewal_.reset();
  assertion_->release();
}

void OpenLidSession::switchOffWith(const char* text) {
  requested_ = false;
  lastRenewal_.reset();
  assertion_->release();
  throw OpenLidError(text);
}

}  // namespace dravik
