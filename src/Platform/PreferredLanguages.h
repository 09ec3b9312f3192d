#pragma once
// The user's preferred languages, most preferred first, as language tags ("zh-CN", "en-GB").
// Read afresh at every call, so a change of the user's languages shows at the next call.

#include <string>
#include <vector>

namespace dravik::platform {

class PreferredLanguages {
 public:
  PreferredLanguages() = default;
  PreferredLanguages(const PreferredLanguages&) = delete;
  PreferredLanguages& operator=(const PreferredLanguages&) = delete;
  virtual ~PreferredLanguages() = default;

  // Never fails; an empty list means the user has named no language. Thread-safe.
  virtual std::vector<std::string> languages() const = 0;
};

}  // namespace dravik::platform
