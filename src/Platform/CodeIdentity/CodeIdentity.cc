#include "Platform/CodeIdentity/CodeIdentity.h"

#include <sodium.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <nlohmann/json.hpp>
#include <set>
#include <stdexcept>

namespace dravik::platform {

namespace {

using Json = nlohmann::json;

constexpr const char* kAnchorFormat = "dravik-anchor-public-key/1";
constexpr const char* kSecretFormat = "dravik-secret-key/1";
constexpr const char* kCertificateFormat = "dravik-certificate/1";
constexpr const char* kSignatureFormat = "dravik-signature/1";

void startSodium() {
  if (sodium_init() < 0) throw std::runtime_error("libsodium could not be initialised");
}

bool validName(std::string_view name, std::size_t maxSize) {
  if (name.empty() || name.size() > maxSize) return false;
  return std::all_of(name.begin(), name.end(), [](char c) {
    return (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9') || c == '.' ||
           c == '_' || c == '-';
  });
}

template <std::size_t N>
std::string hex(const std::array<std::uint8_t, N>& bytes) {
  return toHex(bytes.data(), bytes.size());
}

// The exact bytes the anchor signs. Every value obeys a name rule without line breaks or
// '=', so the text cannot be read two ways.
std::string certificateBody(const Certificate& c) {
  std::string body = std::string(kCertificateFormat) + "\n";
  body += "team=" + c.team + "\n";
  for (const auto& field : c.fields) body += "field=" + field + "\n";
  body += "leaf-key=" + hex(c.leafKey) + "\n";
  body += "anchor-key=" + hex(c.anchorKey) + "\n";
  return body;
}

// The exact bytes the leaf key signs; the certificate is bound by its own signature.
std::string signatureBody(const DetachedSignature& s) {
  std::string body = std::string(kSignatureFormat) + "\n";
  body += "identifier=" + s.identifier + "\n";
  body += "team=" + s.team + "\n";
  body += "cdhash=" + hex(s.cdhash) + "\n";
  body += "certificate=" + hex(s.certificate.signature) + "\n";
  return body;
}

bool sign(const SecretKey& key, const std::string& body, Ed25519Signature* out) {
  return crypto_sign_ed25519_detached(out->data(), nullptr,
                                      reinterpret_cast<const unsigned char*>(body.data()),
                                      body.size(), key.data()) == 0;
}

bool verify(const PublicKey& key, const std::string& body, const Ed25519Signature& signature) {
  return crypto_sign_ed25519_verify_detached(signature.data(),
                                             reinterpret_cast<const unsigned char*>(body.data()),
                                             body.size(), key.data()) == 0;
}

// Strict JSON object reading: an object with exactly `keys`, each a string.
std::optional<Json> parseObject(std::string_view text, std::initializer_list<const char*> keys,
                                const char* format) {
  if (text.size() > kMaxIdentityFileBytes) return std::nullopt;
  Json json = Json::parse(text.begin(), text.end(), nullptr, /*allow_exceptions=*/false);
  if (!json.is_object() || json.size() != keys.size()) return std::nullopt;
  for (const char* key : keys) {
    auto it = json.find(key);
    if (it == json.end()) return std::nullopt;
    if (std::string_view(key) != "fields" && std::string_view(key) != "certificate" &&
        !it->is_string())
      return std::nullopt;
  }
  if (json["format"].get<std::string>() != format) return std::nullopt;
  return json;
}

template <std::size_t N>
bool readHex(const Json& json, const char* key, std::array<std::uint8_t, N>* out) {
  const auto& text = json.at(key).get_ref<const std::string&>();
  // Lower case only, so that every value has one spelling.
  if (std::any_of(text.begin(), text.end(), [](char c) { return c >= 'A' && c <= 'F'; }))
    return false;
  return fromHex(text, out->data(), out->size());
}

Json certificateJson(const Certificate& c) {
  return Json{{"format", kCertificateFormat},
              {"team", c.team},
              {"fields", c.fields},
              {"leafKey", hex(c.leafKey)},
              {"anchorKey", hex(c.anchorKey)},
              {"signature", hex(c.signature)}};
}

std::optional<Certificate> certificateFromJson(const Json& json) {
  if (!json.is_object() || json.size() != 6) return std::nullopt;
  for (const char* key : {"format", "team", "leafKey", "anchorKey", "signature"}) {
    if (!json.contains(key) || !json[key].is_string()) return std::nullopt;
  }
  if (json["format"].get<std::string>() != kCertificateFormat) return std::nullopt;
  if (!json.contains("fields") || !json["fields"].is_array()) return std::nullopt;
  Certificate c;
  c.team = json["team"].get<std::string>();
  if (!validTeam(c.team)) return std::nullopt;
  const auto& fields = json["fields"];
  if (fields.size() > kMaxCertificateFields) return std::nullopt;
  for (const auto& field : fields) {
    if (!field.is_string() || !validFieldOid(field.get<std::string>())) return std::nullopt;
    c.fields.push_back(field.get<std::string>());
  }
  // Sorted without repeats: the one canonical form, as issued.
  for (std::size_t i = 1; i < c.fields.size(); ++i) {
    if (!(c.fields[i - 1] < c.fields[i])) return std::nullopt;
  }
  if (!readHex(json, "leafKey", &c.leafKey) || !readHex(json, "anchorKey", &c.anchorKey) ||
      !readHex(json, "signature", &c.signature))
    return std::nullopt;
  return c;
}

}  // namespace

bool validTeam(std::string_view team) { return validName(team, 64); }
bool validIdentifier(std::string_view identifier) { return validName(identifier, 255); }

KeyPair generateKeyPair() {
  startSodium();
  KeyPair keys;
  crypto_sign_ed25519_keypair(keys.publicKey.data(), keys.secretKey.data());
  return keys;
}

Certificate issueCertificate(const KeyPair& anchor, const std::string& team,
                             std::vector<std::string> fields, const PublicKey& leafKey) {
  startSodium();
  if (!validTeam(team)) throw std::invalid_argument("invalid team \"" + team + "\"");
  for (const auto& field : fields) {
    if (!validFieldOid(field)) throw std::invalid_argument("invalid field OID \"" + field + "\"");
  }
  std::sort(fields.begin(), fields.end());
  fields.erase(std::unique(fields.begin(), fields.end()), fields.end());
  if (fields.size() > kMaxCertificateFields) throw std::invalid_argument("too many fields");
  Certificate c;
  c.team = team;
  c.fields = std::move(fields);
  c.leafKey = leafKey;
  c.anchorKey = anchor.publicKey;
  if (!sign(anchor.secretKey, certificateBody(c), &c.signature))
    throw std::runtime_error("signing the certificate failed");
  return c;
}

bool certificateVerifies(const Certificate& certificate) {
  startSodium();
  return verify(certificate.anchorKey, certificateBody(certificate), certificate.signature);
}

DetachedSignature signCdhash(const KeyPair& leaf, const Certificate& certificate,
                             const std::string& identifier, const Cdhash& cdhash) {
  startSodium();
  if (!validIdentifier(identifier))
    throw std::invalid_argument("invalid identifier \"" + identifier + "\"");
  if (leaf.publicKey != certificate.leafKey)
    throw std::invalid_argument("the key is not the certificate's leaf key");
  DetachedSignature s;
  s.identifier = identifier;
  s.team = certificate.team;
  s.cdhash = cdhash;
  s.certificate = certificate;
  if (!sign(leaf.secretKey, signatureBody(s), &s.signature))
    throw std::runtime_error("signing the program failed");
  return s;
}

bool signatureVerifies(const DetachedSignature& signature) {
  return signature.team == signature.certificate.team &&
         certificateVerifies(signature.certificate) &&
         verify(signature.certificate.leafKey, signatureBody(signature), signature.signature);
}

bool hashProgram(int fd, Cdhash* cdhash) {
  crypto_hash_sha256_state state;
  crypto_hash_sha256_init(&state);
  std::array<unsigned char, 64 * 1024> buffer;
  off_t offset = 0;
  while (true) {
    const ssize_t n = ::pread(fd, buffer.data(), buffer.size(), offset);
    if (n < 0) {
      if (errno == EINTR) continue;
      return false;
    }
    if (n == 0) break;
    crypto_hash_sha256_update(&state, buffer.data(), static_cast<unsigned long long>(n));
    offset += n;
  }
  std::array<unsigned char, crypto_hash_sha256_BYTES> digest;
  crypto_hash_sha256_final(&state, digest.data());
  std::copy_n(digest.begin(), cdhash->size(), cdhash->begin());
  return true;
}

std::string encodeAnchorPublicKey(const PublicKey& key) {
  return Json{{"format", kAnchorFormat}, {"publicKey", hex(key)}}.dump(2) + "\n";
}

std::optional<PublicKey> decodeAnchorPublicKey(std::string_view text) {
  auto json = parseObject(text, {"format", "publicKey"}, kAnchorFormat);
  PublicKey key;
  if (!json || !readHex(*json, "publicKey", &key)) return std::nullopt;
  return key;
}

std::string encodeSecretKey(const KeyPair& keys) {
  return Json{{"format", kSecretFormat},
              {"publicKey", hex(keys.publicKey)},
              {"secretKey", hex(keys.secretKey)}}
             .dump(2) +
         "\n";
}

std::optional<KeyPair> decodeSecretKey(std::string_view text) {
  auto json = parseObject(text, {"format", "publicKey", "secretKey"}, kSecretFormat);
  KeyPair keys;
  if (!json || !readHex(*json, "publicKey", &keys.publicKey) ||
      !readHex(*json, "secretKey", &keys.secretKey))
    return std::nullopt;
  // An Ed25519 secret key carries its public half; a pair that disagrees is damaged.
  if (!std::equal(keys.publicKey.begin(), keys.publicKey.end(), keys.secretKey.begin() + 32))
    return std::nullopt;
  return keys;
}

std::string encodeCertificate(const Certificate& certificate) {
  return certificateJson(certificate).dump(2) + "\n";
}

std::optional<Certificate> decodeCertificate(std::string_view text) {
  if (text.size() > kMaxIdentityFileBytes) return std::nullopt;
  Json json = Json::parse(text.begin(), text.end(), nullptr, /*allow_exceptions=*/false);
  return certificateFromJson(json);
}

std::string encodeSignature(const DetachedSignature& s) {
  return Json{{"format", kSignatureFormat},
              {"identifier", s.identifier},
              {"team", s.team},
              {"cdhash", hex(s.cdhash)},
              {"certificate", certificateJson(s.certificate)},
              {"signature", hex(s.signature)}}
             .dump(2) +
         "\n";
}

std::optional<DetachedSignature> decodeSignature(std::string_view text) {
  auto json =
      parseObject(text, {"format", "identifier", "team", "cdhash", "certificate", "signature"},
                  kSignatureFormat);
  if (!json) return std::nullopt;
  DetachedSignature s;
  s.identifier = (*json)["identifier"].get<std::string>();
  s.team = (*json)["team"].get<std::string>();
  if (!validIdentifier(s.identifier) || !validTeam(s.team)) return std::nullopt;
  if (!readHex(*json, "cdhash", &s.cdhash) || !readHex(*json, "signature", &s.signature))
    return std::nullopt;
  auto certificate = certificateFromJson((*json)["certificate"]);
  if (!certificate) return std::nullopt;
  s.certificate = std::move(*certificate);
  return s;
}

}  // namespace dravik::platform
