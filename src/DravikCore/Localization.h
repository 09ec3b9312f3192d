#pragma once
// The language choice and the translator of every user-facing text.
//
// Every text of the system is written in Simplified Chinese, and that Chinese text is also the
// key of its English form. Texts travel in Chinese and are translated only where they are
// shown. A text with a variable tail is a fixed Chinese prefix ending in "：" (U+FF1A)
// followed by the tail, which is passed on untranslated. All texts are UTF-8.
//
// The user's preferred languages come in as a list (most preferred first) or through the
// PreferredLanguages seam, which is asked afresh at every call, so a change of the user's
// languages shows at the next call.

#include <array>
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "Platform/PreferredLanguages.h"

namespace dravik {

enum class AppLanguage { system, simplifiedChinese, english };

// Every case, in declaration order.
inline constexpr std::array<AppLanguage, 3> allAppLanguages() {
  return {AppLanguage::system, AppLanguage::simplifiedChinese, AppLanguage::english};
}

// "system", "zh-Hans" or "en".
std::string_view rawValue(AppLanguage language);
// Exactly the three raw values; absent for any other string.
std::optional<AppLanguage> appLanguageFromRawValue(std::string_view raw);

// simplifiedChinese or english, never system. A fixed choice is returned without looking at
// the list; system follows the first preferred language only: a tag beginning with "zh" in
// any case gives simplifiedChinese, anything else or an empty list gives english.
AppLanguage resolved(AppLanguage language, const std::vector<std::string>& preferredLanguages);
AppLanguage resolved(AppLanguage language, const platform::PreferredLanguages& preferred);

// The locale identifier for formatting in the resolved language: "zh_CN" or "en_US".
std::string locale(AppLanguage language, const std::vector<std::string>& preferredLanguages);
std::string locale(AppLanguage language, const platform::PreferredLanguages& preferred);

// Translates `key` into a language already resolved (simplifiedChinese or english; system is
// treated as english). Chinese returns the key unchanged. English returns the table's text,
// else the English prefix followed by the untranslated tail, else the key unchanged.
std::string translate(std::string_view key, AppLanguage resolvedLanguage);

// The wording of a time limit of `minutes` in a language already resolved: 0 is "no limit"
// ("直到开盖" / "Until reopened"); otherwise minutes below an hour and whole hours above.
std::string duration(std::int64_t minutes, AppLanguage resolvedLanguage);

// The translator, for one language choice. A plain value: it resolves its language at every
// call. The preferred-language source is not owned and must outlive every copy.
class AppText {
 public:
  AppText(AppLanguage language, const platform::PreferredLanguages& preferred)
      : language_(language), preferred_(&preferred) {}

  AppLanguage language() const { return language_; }

  // The text to show for the Chinese `key`.
  std::string operator()(std::string_view key) const;
  // The wording of a time limit; see dravik::duration.
  std::string duration(std::int64_t minutes) const;
  // The locale identifier for formatting; see dravik::locale.
  std::string locale() const;

  // Chinese text → English text, in the order the table is written; no key appears twice.
  static const std::vector<std::pair<std::string_view, std::string_view>>& englishTable();
  // Chinese prefix (ending in "：") → English prefix (ending in a space).
  static const std::vector<std::pair<std::string_view, std::string_view>>& prefixTable();

 private:
  AppLanguage language_;
  const platform::PreferredLanguages* preferred_;
};

}  // namespace dravik
