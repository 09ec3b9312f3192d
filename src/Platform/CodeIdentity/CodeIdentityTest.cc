#include <gtest/gtest.h>

#include <nlohmann/json.hpp>

#include "Platform/CodeIdentity/CodeIdentity.h"

namespace dravik::platform {
namespace {

using Json = nlohmann::json;

class CodeIdentityTest : public ::testing::Test {
 protected:
  KeyPair anchor = generateKeyPair();
  KeyPair leaf = generateKeyPair();
  Certificate certificate =
      issueCertificate(anchor, "Q7TX2KM9RZ", {"1.2.840.113635.100.6.1.9", "1.2.3"}, leaf.publicKey);
  Cdhash hash = Cdhash{1, 2, 3, 4, 5, 6, 7, 8, 9, 10, 11, 12, 13, 14, 15, 16, 17, 18, 19, 20};
  DetachedSignature signature = signCdhash(leaf, certificate, "dravik", hash);
};

TEST_F(CodeIdentityTest, SignaturesRoundTripThroughTheirFiles) {
  EXPECT_TRUE(certificateVerifies(certificate));
  EXPECT_TRUE(signatureVerifies(signature));
  // Fields are kept sorted so a certificate has one spelling.
  EXPECT_EQ(certificate.fields, (std::vector<std::string>{"1.2.3", "1.2.840.113635.100.6.1.9"}));

  auto decoded = decodeSignature(encodeSignature(signature));
  ASSERT_TRUE(decoded);
  EXPECT_EQ(decoded->identifier, "dravik");
  EXPECT_EQ(decoded->team, "Q7TX2KM9RZ");
  EXPECT_EQ(decoded->cdhash, hash);
  EXPECT_EQ(decoded->certificate.fields, certificate.fields);
  EXPECT_EQ(decoded->certificate.anchorKey, anchor.publicKey);
  EXPECT_TRUE(signatureVerifies(*decoded));

  auto key = decodeAnchorPublicKey(encodeAnchorPublicKey(anchor.publicKey));
  ASSERT_TRUE(key);
  EXPECT_EQ(*key, anchor.publicKey);
  auto secret = decodeSecretKey(encodeSecretKey(leaf));
  ASSERT_TRUE(secret);
  EXPECT_EQ(secret->secretKey, leaf.secretKey);
  auto cert = decodeCertificate(encodeCertificate(certificate));
  ASSERT_TRUE(cert);
  EXPECT_TRUE(certificateVerifies(*cert));
}

TEST_F(CodeIdentityTest, TamperedSignaturesDoNotVerify) {
  std::vector<std::pair<const char*, std::function<void(DetachedSignature&)>>> tamperings = {
      {"identifier", [](DetachedSignature& s) { s.identifier = "dravik.agent"; }},
      {"cdhash", [](DetachedSignature& s) { s.cdhash[0] ^= 1; }},
      {"team", [](DetachedSignature& s) { s.team = "OTHERTEAM1"; }},
      {"certificate team",
       [](DetachedSignature& s) { s.certificate.team = s.team = "OTHERTEAM1"; }},
      {"certificate field", [](DetachedSignature& s) { s.certificate.fields.pop_back(); }},
      {"anchor key", [](DetachedSignature& s) { s.certificate.anchorKey[3] ^= 1; }},
      {"leaf key", [](DetachedSignature& s) { s.certificate.leafKey[3] ^= 1; }},
      {"signature", [](DetachedSignature& s) { s.signature[10] ^= 1; }},
  };
  for (const auto& [what, tamper] : tamperings) {
    DetachedSignature copy = signature;
    tamper(copy);
    EXPECT_FALSE(signatureVerifies(copy)) << what;
  }
  // A certificate the leaf issued to itself names the leaf as its anchor: it verifies, but
  // it is not the trusted anchor's (that is the requirement's business).
  Certificate selfIssued = issueCertificate(leaf, "Q7TX2KM9RZ", {}, leaf.publicKey);
  EXPECT_TRUE(certificateVerifies(selfIssued));
  EXPECT_NE(selfIssued.anchorKey, anchor.publicKey);
}

TEST_F(CodeIdentityTest, MalformedFilesAreRefused) {
  const Json good = Json::parse(encodeSignature(signature));
  std::vector<std::pair<const char*, std::function<void(Json&)>>> damages = {
      {"unknown member", [](Json& j) { j["extra"] = "x"; }},
      {"missing member", [](Json& j) { j.erase("team"); }},
      {"wrong format", [](Json& j) { j["format"] = "dravik-signature/2"; }},
      {"number for text", [](Json& j) { j["identifier"] = 5; }},
      {"short cdhash", [](Json& j) { j["cdhash"] = "0102"; }},
      {"long cdhash", [](Json& j) { j["cdhash"] = j["cdhash"].get<std::string>() + "00"; }},
      {"upper-case hex", [](Json& j) { j["cdhash"] = "0102030405060708090A0B0C0D0E0F1011121314"; }},
      {"identifier with quote", [](Json& j) { j["identifier"] = "dra\"vik"; }},
      {"empty team", [](Json& j) { j["team"] = ""; }},
      {"unsorted fields",
       [](Json& j) {
         j["certificate"]["fields"] = {"1.2.840.113635.100.6.1.9", "1.2.3"};
       }},
      {"bad field", [](Json& j) { j["certificate"]["fields"] = {"1..2"}; }},
      {"field not text", [](Json& j) { j["certificate"]["fields"] = {1}; }},
      {"certificate not object", [](Json& j) { j["certificate"] = "x"; }},
      {"certificate extra member", [](Json& j) { j["certificate"]["x"] = "y"; }},
      {"not an object",
       [](Json& j) {
         j = Json::array({1, 2});
       }},
  };
  for (const auto& [what, damage] : damages) {
    Json copy = good;
    damage(copy);
    EXPECT_FALSE(decodeSignature(copy.dump())) << what;
  }
  EXPECT_FALSE(decodeSignature(""));
  EXPECT_FALSE(decodeSignature("{"));
  EXPECT_FALSE(decodeSignature(std::string("{\"format\":\"\xff\"}")));
  std::string huge = encodeSignature(signature);
  huge.insert(1, kMaxIdentityFileBytes, ' ');
  EXPECT_FALSE(decodeSignature(huge));

  EXPECT_FALSE(decodeAnchorPublicKey(encodeSecretKey(leaf)));
  KeyPair mismatched = leaf;
  mismatched.publicKey = anchor.publicKey;
  EXPECT_FALSE(decodeSecretKey(encodeSecretKey(mismatched)));
}

TEST_F(CodeIdentityTest, BadNamesAreRefusedWhenIssuing) {
  EXPECT_THROW(issueCertificate(anchor, "", {}, leaf.publicKey), std::invalid_argument);
  EXPECT_THROW(issueCertificate(anchor, "TE AM", {}, leaf.publicKey), std::invalid_argument);
  EXPECT_THROW(issueCertificate(anchor, "TEAM", {"1.x"}, leaf.publicKey), std::invalid_argument);
  EXPECT_THROW(signCdhash(leaf, certificate, "a\"b", hash), std::invalid_argument);
  EXPECT_THROW(signCdhash(anchor, certificate, "dravik", hash), std::invalid_argument);
  EXPECT_TRUE(validIdentifier("dravik.sleep-service"));
  EXPECT_FALSE(validIdentifier(std::string(256, 'a')));
}

}  // namespace
}  // namespace dravik::platform
