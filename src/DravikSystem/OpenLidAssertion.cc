#include "DravikSystem/OpenLidAssertion.h"

#include <string>

#include "DravikSystem/Power.h"
#include "DravikSystem/PowerError.h"

namespace dravik {

OpenLidAssertion::OpenLidAssertion(platform::PowerAssertions& assertions)
    : assertions_(assertions) {}

OpenLidAssertion::~OpenLidAssertion() {
  try {
    release();
  } catch (...) {
    // Nothing to report to at destruction; the assertion's own timeout ends it anyway.
  }
}

platform::AssertionProperties OpenLidAssertion::assertionProperties() {
  return platform::AssertionProperties{
      {"AssertType", std::string("PreventUserIdleSystemSleep")},
      {"AssertName", std::string("Quellan \u00b7 Open-lid keep awake")},
      {"AssertLevel", std::int64_t{255}},
      {"TimeoutSeconds", kTimeoutSeconds},
      {"TimeoutAction", std::string("TimeoutActionRelease")},
  };
}

void OpenLidAssertion::renew() {
  std::int32_t result = 0;
  if (!id_) {
    std::uint32_t made = 0;
    result = assertions_.create(assertionProperties(), &made);
    if (result == 0) id_ = made;
  } else {
    result = assertions_.setProperty(*id_, "TimeoutSeconds", kTimeoutSeconds);
  }
  if (result != 0) throw PowerError("开盖防休眠请求失败：" + PowerDriver::hex(result));
}

void OpenLidAssertion::release() {
  if (!id_) return;
  const std::int32_t result = assertions_.release(*id_);
  if (result != 0 && assertions_.exists(*id_)) {
    throw PowerError("开盖防休眠恢复失败：" + PowerDriver::hex(result));
  }
  id_.reset();
}

}  // namespace dravik
