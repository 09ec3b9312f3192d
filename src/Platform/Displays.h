#pragma once
// The list of online displays and which of them is built in.

#include <cstdint>

namespace dravik::platform {

class Displays {
 public:
  Displays() = default;
  Displays(const Displays&) = delete;
  Displays& operator=(const Displays&) = delete;
  virtual ~Displays() = default;

  // Fills up to `maxDisplays` identifiers into `ids` (which may be null when `maxDisplays`
  // is 0) and stores in `*count` how many were filled, or, with a null `ids`, how many
  // displays are online. Returns 0 on success, a platform error code otherwise.
  virtual std::int32_t onlineDisplayList(std::uint32_t maxDisplays, std::uint32_t* ids,
                                         std::uint32_t* count) = 0;
  // True when the display with this identifier is the machine's built-in panel.
  virtual bool isBuiltin(std::uint32_t id) = 0;
};

}  // namespace dravik::platform
