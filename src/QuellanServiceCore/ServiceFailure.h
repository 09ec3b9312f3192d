#pragma once
// The daemon's error: one user-facing Simplified Chinese text, which is what() unchanged.
// The text travels to clients as it is and is translated only where it is shown.

#include <exception>
#include <optional>
#include <string>

namespace quellan {

class ServiceFailure : public std::exception {
 public:
  explicit ServiceFailure(std::string message) : message_(std::move(message)) {}
  const char* what() const noexcept override { return message_.c_str(); }
  std::optional<std::string> errorDescription() const { return message_; }

 private:
  std::string message_;
};

}  // namespace quellan
