#include "Platform/Posix/EnvironmentPreferredLanguages.h"

#include <algorithm>
#include <cstdlib>
#include <utility>

namespace dravik::platform {

namespace {

std::optional<std::string> readEnvironment(const char* name) {
  // getenv is safe here as long as nobody changes the environment concurrently, which this
  // project's programs never do once started.
  const char* value = std::getenv(name);
  if (value == nullptr) return std::nullopt;
  return std::string(value);
}

void addTag(std::vector<std::string>& tags, std::string_view localeName) {
  std::string tag = EnvironmentPreferredLanguages::languageTag(localeName);
  if (tag.empty()) return;
  if (std::find(tags.begin(), tags.end(), tag) != tags.end()) return;
  tags.push_back(std::move(tag));
}

}  // namespace

EnvironmentPreferredLanguages::EnvironmentPreferredLanguages()
    : EnvironmentPreferredLanguages(readEnvironment) {}

EnvironmentPreferredLanguages::EnvironmentPreferredLanguages(Lookup lookup)
    : lookup_(std::move(lookup)) {}

std::vector<std::string> EnvironmentPreferredLanguages::languages() const {
  std::vector<std::string> tags;
  if (std::optional<std::string> list = lookup_("LANGUAGE")) {
    std::string_view rest = *list;
    while (!rest.empty()) {
      const std::size_t colon = rest.find(':');
      addTag(tags, rest.substr(0, colon));
      if (colon == std::string_view::npos) break;
      rest.remove_prefix(colon + 1);
    }
  }
  for (const char* name : {"LC_ALL", "LC_MESSAGES", "LANG"}) {
    if (std::optional<std::string> value = lookup_(name)) addTag(tags, *value);
  }
  return tags;
}

std::string EnvironmentPreferredLanguages::languageTag(std::string_view localeName) {
  // language[_territory][.codeset][@modifier]: the codeset and modifier say nothing about
  // the language a text is shown in.
  const std::size_t end = localeName.find_first_of(".@");
  std::string_view name = localeName.substr(0, end);
  if (name == "C" || name == "POSIX") return "en";
  std::string tag(name);
  std::replace(tag.begin(), tag.end(), '_', '-');
  return tag;
}

}  // namespace dravik::platform
