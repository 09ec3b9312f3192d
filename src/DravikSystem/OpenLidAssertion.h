#pragma once
// Keeps the machine from idle sleep while the lid is open: at most one power assertion of
// type "PreventUserIdleSystemSleep", made with a 30-second timeout whose action releases
// it, so an owner that stops renewing loses its hold within 30 seconds on its own.
//
// States: not held → renew() succeeds → held (new assertion); held → renew() → held (the
// timeout restarted, same identifier); held → release() succeeds, or fails with the
// assertion already gone → not held; a release() failing while the assertion still exists
// keeps it held and throws. A failed renew() changes nothing. A lapsed assertion is not
// noticed: held() stays true until the next release().
//
// One owner, one thread at a time. `assertions` is not owned and must outlive this object.
// Destruction releases a held assertion and ignores any failure.

#include <cstdint>
#include <optional>

#include "DravikCore/TimedIdleAssertion.h"
#include "Platform/PowerAssertions.h"

namespace dravik {

class OpenLidAssertion : public TimedIdleAssertion {
 public:
  static constexpr double kTimeoutSeconds = 30.0;

  // Takes nothing until the first renew().
  explicit OpenLidAssertion(platform::PowerAssertions& assertions);
  ~OpenLidAssertion() override;

  bool held() const override { return id_.has_value(); }
  // Throws PowerError "开盖防休眠请求失败：" + PowerDriver::hex(code).
  void renew() override;
  // Throws PowerError "开盖防休眠恢复失败：" + PowerDriver::hex(code) when the release
  // fails and the assertion still exists.
  void release() override;

  // The properties every new assertion is made with.
  static platform::AssertionProperties assertionProperties();

 private:
  platform::PowerAssertions& assertions_;
  std::optional<std::uint32_t> id_;
};

}  // namespace dravik
