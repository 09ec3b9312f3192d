#pragma once
// A random (version 4) UUID: a value compared for equality, printed in the standard
// 36-character upper-case form.

#include <array>
#include <cstdint>
#include <string>

namespace quellan {

class Uuid {
 public:
  // A fresh UUID from the system's random source. Throws std::system_error when the source
  // cannot be read.
  static Uuid random();

  const std::array<std::uint8_t, 16>& bytes() const { return bytes_; }
  // "E621E1F8-C36C-495A-93FC-0C247A3E6E5F".
  std::string string() const;

  friend bool operator==(const Uuid&, const Uuid&) = default;

 private:
  std::array<std::uint8_t, 16> bytes_{};
};

}  // namespace quellan
