// Signatures of update descriptions: Ed25519 (OpenSSL's EVP interface) over
// a description's exact bytes, kept in a detached signature file beside it
// ("update.txt" is signed by "update.txt.sig"). A description counts only
// when a key the program trusts signed it; the format and the publishing
// procedure are in update/README.md.
//
// Signature file, ASCII, at most kMaxUpdateSignatureBytes:
//   tolvane-signature 1
//   ed25519 KEYID SIGNATURE
// KEYID is the first 16 hexadecimal digits of the SHA-256 of the signing
// key's raw 32-byte public key, SIGNATURE the 64-byte signature as 128
// hexadecimal digits. Up to kMaxUpdateSignatures such lines (one per key,
// so that a description can be signed by the old and the new key while a
// key is being replaced); empty lines and lines starting with "#" are
// skipped. One valid signature from a trusted key is enough.
//
// Every function is pure and thread-safe; failures are values.
#pragma once

#include <string>
#include <string_view>
#include <vector>

namespace tolvane {

inline constexpr char kUpdateSignatureSuffix[] = ".sig";
inline constexpr size_t kMaxUpdateSignatureBytes = 4096;
inline constexpr size_t kMaxUpdateSignatures = 8;

// The public keys (PEM, "-----BEGIN PUBLIC KEY-----") this program trusts
// for its updates. Only code sets the list a service uses: no setting,
// file or environment variable of the machine reaches it.
const std::vector<std::string>& BuiltInUpdateKeys();

struct UpdateSignature {
    std::string keyId;      // 16 lower-case hex digits
    std::string signature;  // 64 raw bytes
};

// Reads a signature file. False, with *error saying what and on which line,
// for anything that is not a well-formed one with at least one signature.
bool ParseUpdateSignatureFile(std::string_view text, std::vector<UpdateSignature>* signatures,
                              std::string* error);

enum class SignatureVerdict {
    Valid,       // a trusted key signed these bytes
    Malformed,   // the signature file is not one
    UnknownKey,  // signed only by keys the program does not trust
    Wrong,       // a trusted key's signature that does not match the bytes
};

// Checks content against its signature file with the trusted keys (PEM).
// *detail says what was found (key ids), for the log.
SignatureVerdict VerifyUpdateSignature(std::string_view content, std::string_view signatureFile,
                                       const std::vector<std::string>& trustedKeys,
                                       std::string* detail);

// The key id of a public key (PEM); "" when it is no Ed25519 public key.
std::string UpdateKeyId(std::string_view publicKeyPem);

// A new Ed25519 key pair: the private key as unencrypted PKCS#8 PEM, the
// public key as SubjectPublicKeyInfo PEM.
bool GenerateUpdateKeyPair(std::string* privateKeyPem, std::string* publicKeyPem,
                           std::string* error);

// One signature line ("ed25519 KEYID SIGNATURE\n") for content, made with
// the private key (PEM). *publicKeyPem receives the matching public key.
bool SignUpdateContent(std::string_view privateKeyPem, std::string_view content,
                       std::string* signatureLine, std::string* publicKeyPem, std::string* error);

// A signature file of the given lines, replacing any line of an existing
// file (existing may be empty) made by the same key.
std::string ComposeUpdateSignatureFile(std::string_view existing, std::string_view newLine);

}  // namespace tolvane
