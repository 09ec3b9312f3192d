#pragma once
// The requirement language: the small grammar our requirement texts use, compiled into a
// tree and judged against the facts a verified signature establishes.
//
//   requirement := or-expr
//   or-expr     := and-expr { "or" and-expr }
//   and-expr    := primary { "and" primary }          ("and" binds tighter than "or")
//   primary     := "(" or-expr ")"
//                | "anchor" "apple" "generic"         the chain ends in the trusted anchor
//                | "identifier" STRING                the signing identifier equals STRING
//                | "cdhash" H"<40 hex digits>"        the code directory hash equals it
//                | "certificate" "leaf" "[" "subject.OU" "]" "=" STRING
//                | "certificate" "leaf" "[" "field." OID "]" "exists"
//
// Tokens may be separated by any spaces, tabs and line breaks. Strings hold no backslash
// and no control character. Anything else fails to compile.

#include <array>
#include <cstdint>
#include <memory>
#include <string>
#include <string_view>
#include <vector>

#include "Platform/CodeSigning.h"

namespace dravik::platform {

inline constexpr std::size_t kCdhashBytes = 20;
using Cdhash = std::array<std::uint8_t, kCdhashBytes>;

// What a requirement is judged against.
struct CodeFacts {
  bool anchorTrusted = false;  // the certificate was issued by the trusted anchor
  std::string identifier;
  Cdhash cdhash{};
  std::string leafTeam;                 // the leaf certificate's subject.OU
  std::vector<std::string> leafFields;  // marker field OIDs of the leaf certificate
};

class CompiledRequirement final : public Requirement {
 public:
  static constexpr std::size_t kMaxTextBytes = 16 * 1024;
  static constexpr int kMaxNesting = 32;

  // Compiles `text`. On failure returns kCodeSigningRequirementSyntax, leaves *requirement
  // empty and, when `error` is given, says what was wrong and where.
  static OSStatus compile(std::string_view text,
                          std::shared_ptr<const CompiledRequirement>* requirement,
                          std::string* error = nullptr);

  bool evaluate(const CodeFacts& facts) const;
  // Whether judging needs the trusted anchor (the text says "anchor apple generic").
  bool usesAnchor() const { return usesAnchor_; }
  const std::string& text() const { return text_; }

  struct Node;
  CompiledRequirement(std::string text, std::unique_ptr<Node> root, bool usesAnchor);
  ~CompiledRequirement() override;

 private:
  std::string text_;
  std::unique_ptr<Node> root_;
  bool usesAnchor_;
};

// An object identifier: at least two dot-separated decimal components.
bool validFieldOid(std::string_view oid);

// Lower-case hex of `bytes`.
std::string toHex(const std::uint8_t* bytes, std::size_t size);
// Strict hex decoding into exactly `size` bytes (either case accepted).
bool fromHex(std::string_view hex, std::uint8_t* bytes, std::size_t size);

}  // namespace dravik::platform
