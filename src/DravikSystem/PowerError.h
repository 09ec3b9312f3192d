#pragma once
// The system library's error: one user-facing Simplified Chinese text, what() unchanged.

#include <exception>
#include <optional>
#include <string>

namespace dravik {

class PowerError : public std::exception {
 public:
  explicit PowerError(std::string text) : text(std::move(text)) {}
  const char* what() const noexcept override { return text.c_str(); }
  std::optional<std::string> errorDescription() const { return text; }

  std::string text;
};

}  // namespace dravik
