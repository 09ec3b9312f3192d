#pragma once
// The code identity scheme: an anchor key (the trust root) signs certificates; a leaf key
// named by a certificate signs a detached signature for one program. Ed25519 throughout;
// cdhash = the first 20 bytes of the SHA-256 of the program file. The file formats are
// described in docs/code-identity.md. Decoders never throw: they return nothing for any
// input that is not exactly well-formed.

#include <array>
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "Platform/CodeIdentity/RequirementLanguage.h"

namespace dravik::platform {

using PublicKey = std::array<std::uint8_t, 32>;
using SecretKey = std::array<std::uint8_t, 64>;
using Ed25519Signature = std::array<std::uint8_t, 64>;

inline constexpr std::size_t kMaxIdentityFileBytes = 64 * 1024;
inline constexpr std::size_t kMaxCertificateFields = 16;

struct KeyPair {
  PublicKey publicKey{};
  SecretKey secretKey{};
};

struct Certificate {
  std::string team;                 // subject.OU
  std::vector<std::string> fields;  // marker field OIDs, sorted, no repeats
  PublicKey leafKey{};
  PublicKey anchorKey{};  // the issuer
  Ed25519Signature signature{};
};

struct DetachedSignature {
  std::string identifier;
  std::string team;  // equals certificate.team
  Cdhash cdhash{};
  Certificate certificate;
  Ed25519Signature signature{};  // by certificate.leafKey
};

// Name rules. Teams and identifiers never hold a quotation mark, so they can be put into a
// requirement text as they are.
bool validTeam(std::string_view team);              // [A-Za-z0-9._-]{1,64}
bool validIdentifier(std::string_view identifier);  // [A-Za-z0-9._-]{1,255}

// Throws std::runtime_error when libsodium cannot start.
KeyPair generateKeyPair();

// Throws std::invalid_argument for a bad team or field OID (or too many fields).
Certificate issueCertificate(const KeyPair& anchor, const std::string& team,
                             std::vector<std::string> fields, const PublicKey& leafKey);
bool certificateVerifies(const Certificate& certificate);

// Throws std::invalid_argument for a bad identifier or a key that is not the certificate's.
DetachedSignature signCdhash(const KeyPair& leaf, const Certificate& certificate,
                             const std::string& identifier, const Cdhash& cdhash);
// The certificate verifies, the leaf signature verifies and the teams agree.
bool signatureVerifies(const DetachedSignature& signature);

// Hashes a whole regular file from offset 0 (pread; the file offset is not moved).
// Returns false and sets errno when reading fails.
bool hashProgram(int fd, Cdhash* cdhash);

std::string encodeAnchorPublicKey(const PublicKey& key);
std::optional<PublicKey> decodeAnchorPublicKey(std::string_view text);
std::string encodeSecretKey(const KeyPair& keys);
std::optional<KeyPair> decodeSecretKey(std::string_view text);
std::string encodeCertificate(const Certificate& certificate);
std::optional<Certificate> decodeCertificate(std::string_view text);
std::string encodeSignature(const DetachedSignature& signature);
std::optional<DetachedSignature> decodeSignature(std::string_view text);

}  // namespace dravik::platform
