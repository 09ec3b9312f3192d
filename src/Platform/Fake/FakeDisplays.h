#pragma once
// In-memory display list for unit tests.
//
//   FakeDisplays displays;                       // no display online
//   displays.setDisplays({{1, true}, {5, false}});  // the built-in panel and one external
//   displays.setCountCallResult(1001);           // the counting call (null ids) fails
//   displays.setListCallResult(1001);            // the listing call (with ids) fails
//
// onlineDisplayList() with a null `ids` is the "counting call": it reports how many
// displays are online. With a buffer it is the "listing call": it fills up to
// `maxDisplays` identifiers and reports how many it filled. Thread-safe.

#include <cstdint>
#include <mutex>
#include <optional>
#include <vector>

#include "Platform/Displays.h"

namespace dravik::platform {

class FakeDisplays : public Displays {
 public:
  struct Display {
    std::uint32_t id = 0;
    bool builtin = false;
  };

  void setDisplays(std::vector<Display> displays);
  // Codes the counting and the listing call return; 0 (the default) means success.
  void setCountCallResult(std::int32_t code);
  void setListCallResult(std::int32_t code);
  // Makes the counting call report this many displays whatever the list holds (for
  // instance 65); absent (the default) reports the list's size.
  void setReportedCount(std::optional<std::uint32_t> count);
  // Makes the listing call report this count, while it still fills no more than
  // `maxDisplays` identifiers; absent (the default) reports how many it filled.
  void setListedCount(std::optional<std::uint32_t> count);

  int countCalls() const;
  int listCalls() const;

  std::int32_t onlineDisplayList(std::uint32_t maxDisplays, std::uint32_t* ids,
                                 std::uint32_t* count) override;
  bool isBuiltin(std::uint32_t id) override;

 private:
  mutable std::mutex mutex_;
  std::vector<Display> displays_;
  std::int32_t countResult_ = 0;
  std::int32_t listResult_ = 0;
  std::optional<std::uint32_t> reportedCount_;
  std::optional<std::uint32_t> listedCount_;
  int countCalls_ = 0;
  int listCalls_ = 0;
};

}  // namespace dravik::platform
