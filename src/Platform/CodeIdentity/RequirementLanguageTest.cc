#include <gtest/gtest.h>

#include "Platform/CodeIdentity/CodeSigningStatus.h"
#include "Platform/CodeIdentity/RequirementLanguage.h"

namespace dravik::platform {
namespace {

constexpr const char* kProvenance =
    "anchor apple generic and (\n"
    "  certificate leaf[subject.OU] = \"Q7TX2KM9RZ\" or\n"
    "  certificate leaf[field.1.2.840.113635.100.6.1.9] exists or\n"
    "  certificate leaf[field.1.2.840.113635.100.6.1.25.1] exists\n"
    ")";
constexpr const char* kHash = "00112233445566778899aabbccddeeff00112233";

Cdhash hashOf(const char* hex) {
  Cdhash hash;
  EXPECT_TRUE(fromHex(hex, hash.data(), hash.size()));
  return hash;
}

CodeFacts teamFacts() { return CodeFacts{true, "dravik", hashOf(kHash), "Q7TX2KM9RZ", {}}; }

bool holds(const std::string& text, const CodeFacts& facts) {
  std::shared_ptr<const CompiledRequirement> requirement;
  std::string error;
  EXPECT_EQ(CompiledRequirement::compile(text, &requirement, &error), kCodeSigningOk)
      << text << ": " << error;
  return requirement && requirement->evaluate(facts);
}

TEST(RequirementLanguageTest, EachClauseJudgesItsFact) {
  const CodeFacts facts = teamFacts();
  struct Case {
    const char* text;
    bool expected;
  } cases[] = {
      {"anchor apple generic", true},
      {"identifier \"dravik\"", true},
      {"identifier \"dravik.agent\"", false},
      {"cdhash H\"00112233445566778899aabbccddeeff00112233\"", true},
      {"cdhash H\"00112233445566778899AABBCCDDEEFF00112233\"", true},
      {"cdhash H\"00112233445566778899aabbccddeeff00112234\"", false},
      {"certificate leaf[subject.OU] = \"Q7TX2KM9RZ\"", true},
      {"certificate leaf[subject.OU] = \"OTHERTEAM1\"", false},
      {"certificate leaf[field.1.2.840.113635.100.6.1.9] exists", false},
  };
  for (const auto& c : cases) EXPECT_EQ(holds(c.text, facts), c.expected) << c.text;

  CodeFacts untrusted = facts;
  untrusted.anchorTrusted = false;
  EXPECT_FALSE(holds("anchor apple generic", untrusted));
  CodeFacts distribution = facts;
  distribution.leafFields = {"1.2.840.113635.100.6.1.9"};
  EXPECT_TRUE(holds("certificate leaf[field.1.2.840.113635.100.6.1.9] exists", distribution));
  EXPECT_FALSE(holds("certificate leaf[field.1.2.840.113635.100.6.1.25.1] exists", distribution));
}

TEST(RequirementLanguageTest, AndBindsTighterThanOr) {
  CodeFacts facts = teamFacts();
  // true or (false and false): true only when "and" groups first.
  EXPECT_TRUE(holds("identifier \"dravik\" or identifier \"x\" and identifier \"y\"", facts));
  // (false and true) or true
  EXPECT_TRUE(holds("identifier \"x\" and identifier \"dravik\" or anchor apple generic", facts));
  // false and (true or true) when parenthesised, but (false and true) or true without.
  EXPECT_FALSE(
      holds("identifier \"x\" and (identifier \"dravik\" or anchor apple generic)", facts));
  EXPECT_FALSE(holds("(identifier \"dravik\" or identifier \"x\") and identifier \"y\"", facts));
  EXPECT_TRUE(holds("((((anchor apple generic))))", facts));
}

TEST(RequirementLanguageTest, ProvenanceTextAcrossLines) {
  CodeFacts team = teamFacts();
  EXPECT_TRUE(holds(kProvenance, team));

  CodeFacts otherTeam = team;
  otherTeam.leafTeam = "OTHERTEAM1";
  EXPECT_FALSE(holds(kProvenance, otherTeam));
  otherTeam.leafFields = {"1.2.840.113635.100.6.1.25.1"};
  EXPECT_TRUE(holds(kProvenance, otherTeam));
  otherTeam.anchorTrusted = false;
  EXPECT_FALSE(holds(kProvenance, otherTeam));

  EXPECT_TRUE(holds("  anchor\tapple\r\n generic\n and\n\nidentifier\n\"dravik\"  ", team));
}

TEST(RequirementLanguageTest, ConnectionAndDaemonRequirementsCompile) {
  CodeFacts facts = teamFacts();
  EXPECT_TRUE(holds(
      std::string("anchor apple generic and identifier \"dravik\" and cdhash H\"") + kHash + "\"",
      facts));
  facts.identifier = "dravik.sleep-service";
  EXPECT_TRUE(
      holds("anchor apple generic and identifier \"dravik.sleep-service\" and "
            "certificate leaf[subject.OU] = \"Q7TX2KM9RZ\"",
            facts));
}

TEST(RequirementLanguageTest, UsesAnchorOnlyWhenTheTextSaysSo) {
  std::shared_ptr<const CompiledRequirement> requirement;
  ASSERT_EQ(CompiledRequirement::compile("identifier \"a\"", &requirement), kCodeSigningOk);
  EXPECT_FALSE(requirement->usesAnchor());
  ASSERT_EQ(CompiledRequirement::compile(kProvenance, &requirement), kCodeSigningOk);
  EXPECT_TRUE(requirement->usesAnchor());
  EXPECT_EQ(requirement->text(), kProvenance);
}

TEST(RequirementLanguageTest, SyntaxErrorsFailToCompile) {
  struct Case {
    std::string text;
    const char* error;
  } cases[] = {
      {"", "expected a clause at offset 0"},
      {"   \n", "expected a clause at offset 4"},
      {"anchor apple", "expected \"generic\" at offset 12"},
      {"anchor google generic", "expected \"apple\" at offset 7"},
      {"anchor apple generic and", "expected a clause at offset 24"},
      {"anchor apple generic or or identifier \"a\"", "expected a clause at offset 24"},
      {"anchor apple generic identifier \"a\"", "unexpected text at offset 21"},
      {"identifier dravik", "expected a quoted identifier at offset 11"},
      {"identifier \"dravik", "unterminated string at offset 11"},
      {"identifier \"dr\\\"avik\"", "character not allowed in a string at offset 14"},
      {"identifier \"dra\nvik\"", "character not allowed in a string at offset 15"},
      {"identifier = \"dravik\"", "expected a quoted identifier at offset 11"},
      {"cdhash \"00112233445566778899aabbccddeeff00112233\"", "expected H\"<hash>\" at offset 7"},
      {"cdhash H\"0011\"", "a cdhash has exactly 40 hexadecimal digits at offset 7"},
      {"cdhash H\"00112233445566778899aabbccddeeff0011223g\"",
       "not a hexadecimal digit at offset 48"},
      {"certificate root[subject.OU] = \"T\"", "expected \"leaf\" at offset 12"},
      {"certificate leaf subject.OU = \"T\"", "expected \"[\" at offset 17"},
      {"certificate leaf[subject.CN] = \"T\"", "unknown certificate key at offset 17"},
      {"certificate leaf[subject.OU] exists", "expected \"=\" at offset 29"},
      {"certificate leaf[field.1.2.840] = \"x\"", "expected \"exists\" at offset 32"},
      {"certificate leaf[field.1..2] exists", "unknown certificate key at offset 17"},
      {"certificate leaf[field.1] exists", "unknown certificate key at offset 17"},
      {"certificate leaf[field.1.2 exists", "expected \"]\" at offset 27"},
      {"(anchor apple generic", "expected \")\" at offset 21"},
      {"anchor apple generic)", "unexpected text at offset 20"},
      {"()", "expected a clause at offset 1"},
      {"anchor apple generic && identifier \"a\"", "unexpected character at offset 21"},
      {"not anchor apple generic", "expected a clause at offset 0"},
      {"AND", "expected a clause at offset 0"},
      {std::string(40, '(') + "anchor apple generic" + std::string(40, ')'),
       "parentheses nested too deeply at offset 32"},
      {"identifier \"" + std::string(CompiledRequirement::kMaxTextBytes, 'a') + "\"",
       "requirement text too long at offset 0"},
  };
  for (const auto& c : cases) {
    std::shared_ptr<const CompiledRequirement> requirement;
    std::string error;
    EXPECT_EQ(CompiledRequirement::compile(c.text, &requirement, &error),
              kCodeSigningRequirementSyntax)
        << c.text;
    EXPECT_EQ(requirement, nullptr) << c.text;
    EXPECT_EQ(error, c.error) << c.text.substr(0, 80);
  }
}

TEST(RequirementLanguageTest, HexHelpers) {
  const std::uint8_t bytes[] = {0x00, 0x9f, 0xff};
  EXPECT_EQ(toHex(bytes, 3), "009fff");
  std::uint8_t out[3];
  EXPECT_TRUE(fromHex("009FfF", out, 3));
  EXPECT_EQ(out[1], 0x9f);
  EXPECT_FALSE(fromHex("009ff", out, 3));
  EXPECT_FALSE(fromHex("009ffg", out, 3));
  EXPECT_FALSE(fromHex("009fff00", out, 3));
}

}  // namespace
}  // namespace dravik::platform
