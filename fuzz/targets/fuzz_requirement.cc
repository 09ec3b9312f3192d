// Fuzzes the requirement-language compiler. A text either compiles, keeping its text, or fails
// with the syntax status, no requirement and an error that points inside the text. A compiled
// requirement is then judged against a few sets of facts, and must judge them the same when
// wrapped in parentheses or joined with itself by "and" or "or" (unless the extra parentheses
// pass the nesting limit, which must then be the reason given).

#include <algorithm>
#include <cstdint>
#include <iterator>
#include <memory>
#include <string>
#include <string_view>
#include <vector>

#include "FuzzSupport.h"
#include "Platform/CodeIdentity/CodeSigningStatus.h"
#include "Platform/CodeIdentity/RequirementLanguage.h"

namespace {

namespace platform = dravik::platform;
using dravik::fuzz::check;
using Compiled = std::shared_ptr<const platform::CompiledRequirement>;

struct Outcome {
  Compiled requirement;
  std::string error;
};

Outcome compile(std::string_view text) {
  Outcome outcome;
  const platform::OSStatus status =
      platform::CompiledRequirement::compile(text, &outcome.requirement, &outcome.error);
  if (status == platform::kCodeSigningOk) {
    check(outcome.requirement != nullptr, "compile succeeded without a requirement");
    check(outcome.requirement->text() == text, "a compiled requirement lost its text");
  } else {
    check(status == platform::kCodeSigningRequirementSyntax, "compile failed with another status");
    check(outcome.requirement == nullptr, "compile failed but left a requirement");
    const std::size_t at = outcome.error.rfind(" at offset ");
    check(at != std::string::npos, "a syntax error does not say where");
    check(std::stoull(outcome.error.substr(at + 11)) <= text.size(),
          "a syntax error points past the text");
  }
  return outcome;
}

// The first quoted string of the text, so that identifier and team clauses sometimes hold.
std::string firstQuoted(std::string_view text) {
  const std::size_t open = text.find('"');
  if (open == std::string_view::npos) return {};
  const std::size_t close = text.find('"', open + 1);
  if (close == std::string_view::npos) return {};
  return std::string(text.substr(open + 1, close - open - 1));
}

std::vector<platform::CodeFacts> factsFor(std::string_view text) {
  platform::CodeFacts nothing;
  platform::CodeFacts client;
  client.anchorTrusted = true;
  client.identifier = "dravik.agent";
  client.leafTeam = "Q7TX2KM9RZ";
  client.leafFields = {"1.2.840.113635.100.6.1.9"};
  for (std::size_t i = 0; i < client.cdhash.size(); ++i) client.cdhash[i] = std::uint8_t(i);
  platform::CodeFacts echo = client;
  echo.identifier = echo.leafTeam = firstQuoted(text);
  echo.leafFields = {"1.2.840.113635.100.6.1.25.1", "1.2"};
  std::uint8_t hash[platform::kCdhashBytes];
  if (platform::fromHex(firstQuoted(text), hash, sizeof hash)) {
    std::copy(std::begin(hash), std::end(hash), echo.cdhash.begin());
  }
  return {nothing, client, echo};
}

// `variant` must mean the same as `original`, or fail only for its nesting.
void checkSameMeaning(const platform::CompiledRequirement& original, std::string_view variant,
                      const std::vector<platform::CodeFacts>& facts) {
  const Outcome outcome = compile(variant);
  if (!outcome.requirement) {
    check(outcome.error.find("nested too deeply") != std::string::npos,
          "wrapping a valid requirement made it invalid");
    return;
  }
  check(outcome.requirement->usesAnchor() == original.usesAnchor(),
        "wrapping changed whether the anchor is used");
  for (const platform::CodeFacts& f : facts) {
    check(outcome.requirement->evaluate(f) == original.evaluate(f),
          "wrapping changed a requirement's verdict");
  }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  if (dravik::fuzz::tooLarge(size)) return 0;
  const std::string_view text = dravik::fuzz::asText(data, size);
  const Outcome outcome = compile(text);
  if (!outcome.requirement) return 0;

  const std::vector<platform::CodeFacts> facts = factsFor(text);
  for (const platform::CodeFacts& f : facts) outcome.requirement->evaluate(f);
  check(!outcome.requirement->usesAnchor() || text.find("anchor") != std::string_view::npos,
        "usesAnchor set for a text without the anchor clause");

  const std::string t(text);
  if (t.size() * 2 + 16 > platform::CompiledRequirement::kMaxTextBytes) return 0;
  checkSameMeaning(*outcome.requirement, "(" + t + ")", facts);
  checkSameMeaning(*outcome.requirement, "(" + t + ") and (" + t + ")", facts);
  checkSameMeaning(*outcome.requirement, "(" + t + ")\nor\t(" + t + ")", facts);
  return 0;
}
