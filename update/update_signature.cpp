#include "update/update_signature.h"

#include <openssl/bio.h>
#include <openssl/evp.h>
#include <openssl/pem.h>

#include <memory>

#include "host/sha256.h"

namespace tolvane {

namespace {

constexpr char kHeader[] = "tolvane-signature 1";
constexpr size_t kRawKeyBytes = 32;
constexpr size_t kSignatureBytes = 64;
constexpr size_t kKeyIdDigits = 16;

struct KeyFree {
    void operator()(EVP_PKEY* key) const { EVP_PKEY_free(key); }
};
struct BioFree {
    void operator()(BIO* bio) const { BIO_free(bio); }
};
struct MdContextFree {
    void operator()(EVP_MD_CTX* context) const { EVP_MD_CTX_free(context); }
};
using Key = std::unique_ptr<EVP_PKEY, KeyFree>;
using Bio = std::unique_ptr<BIO, BioFree>;
using MdContext = std::unique_ptr<EVP_MD_CTX, MdContextFree>;

Bio ReadBio(std::string_view text) {
    if (text.size() > 1 << 20) return nullptr;
    return Bio(BIO_new_mem_buf(text.data(), static_cast<int>(text.size())));
}

std::string BioText(BIO* bio) {
    char* data = nullptr;
    long length = BIO_get_mem_data(bio, &data);
    return length > 0 ? std::string(data, static_cast<size_t>(length)) : std::string();
}

bool IsEd25519(const Key& key) {
    return key && EVP_PKEY_is_a(key.get(), "ED25519") == 1;
}

Key ReadPublicKey(std::string_view pem) {
    Bio bio = ReadBio(pem);
    if (!bio) return nullptr;
    Key key(PEM_read_bio_PUBKEY(bio.get(), nullptr, nullptr, nullptr));
    return IsEd25519(key) ? std::move(key) : nullptr;
}

Key ReadPrivateKey(std::string_view pem) {
    Bio bio = ReadBio(pem);
    if (!bio) return nullptr;
    // No passphrase prompt: an encrypted key simply does not load.
    Key key(PEM_read_bio_PrivateKey(bio.get(), nullptr, nullptr, const_cast<char*>("")));
    return IsEd25519(key) ? std::move(key) : nullptr;
}

std::string PublicPem(EVP_PKEY* key) {
    Bio bio(BIO_new(BIO_s_mem()));
    if (!bio || PEM_write_bio_PUBKEY(bio.get(), key) != 1) return "";
    return BioText(bio.get());
}

std::string KeyIdOf(EVP_PKEY* key) {
    unsigned char raw[kRawKeyBytes];
    size_t length = sizeof raw;
    if (EVP_PKEY_get_raw_public_key(key, raw, &length) != 1 || length != kRawKeyBytes) return "";
    return Sha256Hex(std::string_view(reinterpret_cast<const char*>(raw), length))
        .substr(0, kKeyIdDigits);
}

bool Verify(EVP_PKEY* key, std::string_view content, const std::string& signature) {
    MdContext context(EVP_MD_CTX_new());
    // Ed25519 hashes the message itself: no digest is named.
    return context && EVP_DigestVerifyInit(context.get(), nullptr, nullptr, nullptr, key) == 1 &&
           EVP_DigestVerify(context.get(), reinterpret_cast<const unsigned char*>(signature.data()),
                            signature.size(),
                            reinterpret_cast<const unsigned char*>(content.data()),
                            content.size()) == 1;
}

int HexValue(char c) {
    if (c >= '0' && c <= '9') return c - '0';
    if (c >= 'a' && c <= 'f') return c - 'a' + 10;
    if (c >= 'A' && c <= 'F') return c - 'A' + 10;
    return -1;
}

// Hex digits of exactly the given count into bytes; false for anything else.
bool FromHex(std::string_view hex, size_t digits, std::string* bytes) {
    if (hex.size() != digits || digits % 2) return false;
    bytes->clear();
    for (size_t i = 0; i < digits; i += 2) {
        int high = HexValue(hex[i]), low = HexValue(hex[i + 1]);
        if (high < 0 || low < 0) return false;
        bytes->push_back(static_cast<char>(high * 16 + low));
    }
    return true;
}

std::string ToHex(std::string_view bytes) {
    static const char kHex[] = "0123456789abcdef";
    std::string hex;
    for (unsigned char c : bytes) {
        hex += kHex[c >> 4];
        hex += kHex[c & 15];
    }
    return hex;
}

std::string_view TrimLine(std::string_view line) {
    while (!line.empty() && (line.back() == '\r' || line.back() == '\n' || line.back() == ' ' ||
                             line.back() == '\t'))
        line.remove_suffix(1);
    while (!line.empty() && (line.front() == ' ' || line.front() == '\t')) line.remove_prefix(1);
    return line;
}

// "ed25519 KEYID SIGNATURE" with single blanks between the three words.
bool ParseSignatureLine(std::string_view line, UpdateSignature* signature) {
    constexpr std::string_view kAlgorithm = "ed25519 ";
    if (line.substr(0, kAlgorithm.size()) != kAlgorithm) return false;
    line.remove_prefix(kAlgorithm.size());
    size_t blank = line.find(' ');
    if (blank == std::string_view::npos) return false;
    std::string id;
    if (!FromHex(line.substr(0, blank), kKeyIdDigits, &id)) return false;
    if (!FromHex(line.substr(blank + 1), kSignatureBytes * 2, &signature->signature)) return false;
    signature->keyId = ToHex(id);
    return true;
}

}  // namespace

bool ParseUpdateSignatureFile(std::string_view text, std::vector<UpdateSignature>* signatures,
                              std::string* error) {
    auto fail = [error](size_t line, const std::string& what) {
        if (error) *error = line ? "line " + std::to_string(line) + ": " + what : what;
        return false;
    };
    if (text.size() > kMaxUpdateSignatureBytes) return fail(0, "too large");
    std::vector<UpdateSignature> found;
    size_t lineNumber = 0;
    while (!text.empty()) {
        size_t end = text.find('\n');
        std::string_view line = TrimLine(text.substr(0, end));
        text.remove_prefix(end == std::string_view::npos ? text.size() : end + 1);
        if (++lineNumber == 1) {
            if (line != kHeader) return fail(1, "not \"tolvane-signature 1\"");
            continue;
        }
        if (line.empty() || line.front() == '#') continue;
        UpdateSignature signature;
        if (!ParseSignatureLine(line, &signature))
            return fail(lineNumber, "not \"ed25519 KEYID SIGNATURE\" in hexadecimal digits");
        if (found.size() == kMaxUpdateSignatures) return fail(lineNumber, "too many signatures");
        found.push_back(std::move(signature));
    }
    if (lineNumber == 0) return fail(0, "empty");
    if (found.empty()) return fail(0, "no signature");
    *signatures = std::move(found);
    return true;
}

SignatureVerdict VerifyUpdateSignature(std::string_view content, std::string_view signatureFile,
                                       const std::vector<std::string>& trustedKeys,
                                       std::string* detail) {
    std::vector<UpdateSignature> signatures;
    std::string error;
    if (!ParseUpdateSignatureFile(signatureFile, &signatures, &error)) {
        if (detail) *detail = "not a signature file (" + error + ")";
        return SignatureVerdict::Malformed;
    }
    std::string unknown, wrong;
    for (const UpdateSignature& signature : signatures) {
        bool trusted = false;
        for (const std::string& pem : trustedKeys) {
            Key key = ReadPublicKey(pem);
            if (!key || KeyIdOf(key.get()) != signature.keyId) continue;
            trusted = true;
            if (Verify(key.get(), content, signature.signature)) {
                if (detail) *detail = "signed by key " + signature.keyId;
                return SignatureVerdict::Valid;
            }
        }
        (trusted ? wrong : unknown) += (trusted ? wrong : unknown).empty() ? "" : ", ";
        (trusted ? wrong : unknown) += signature.keyId;
    }
    if (!wrong.empty()) {
        if (detail) *detail = "the signature of key " + wrong + " does not match";
        return SignatureVerdict::Wrong;
    }
    if (detail) *detail = "signed only by keys this program does not trust (" + unknown + ")";
    return SignatureVerdict::UnknownKey;
}

std::string UpdateKeyId(std::string_view publicKeyPem) {
    Key key = ReadPublicKey(publicKeyPem);
    return key ? KeyIdOf(key.get()) : "";
}

bool GenerateUpdateKeyPair(std::string* privateKeyPem, std::string* publicKeyPem,
                           std::string* error) {
    Key key(EVP_PKEY_Q_keygen(nullptr, nullptr, "ED25519"));
    Bio bio(BIO_new(BIO_s_mem()));
    if (!key || !bio ||
        PEM_write_bio_PrivateKey(bio.get(), key.get(), nullptr, nullptr, 0, nullptr, nullptr) !=
            1) {
        *error = "OpenSSL could not make an Ed25519 key";
        return false;
    }
    *privateKeyPem = BioText(bio.get());
    *publicKeyPem = PublicPem(key.get());
    if (privateKeyPem->empty() || publicKeyPem->empty()) {
        *error = "OpenSSL could not write the key";
        return false;
    }
    return true;
}

bool SignUpdateContent(std::string_view privateKeyPem, std::string_view content,
                       std::string* signatureLine, std::string* publicKeyPem, std::string* error) {
    Key key = ReadPrivateKey(privateKeyPem);
    if (!key) {
        *error = "not an unencrypted Ed25519 private key in PEM";
        return false;
    }
    MdContext context(EVP_MD_CTX_new());
    unsigned char signature[kSignatureBytes];
    size_t length = sizeof signature;
    if (!context || EVP_DigestSignInit(context.get(), nullptr, nullptr, nullptr, key.get()) != 1 ||
        EVP_DigestSign(context.get(), signature, &length,
                       reinterpret_cast<const unsigned char*>(content.data()),
                       content.size()) != 1 ||
        length != kSignatureBytes) {
        *error = "OpenSSL could not sign";
        return false;
    }
    *signatureLine = "ed25519 " + KeyIdOf(key.get()) + " " +
                     ToHex(std::string_view(reinterpret_cast<const char*>(signature), length)) +
                     "\n";
    *publicKeyPem = PublicPem(key.get());
    return true;
}

std::string ComposeUpdateSignatureFile(std::string_view existing, std::string_view newLine) {
    std::string file = std::string(kHeader) + "\n";
    UpdateSignature added;
    ParseSignatureLine(TrimLine(newLine), &added);
    std::vector<UpdateSignature> kept;
    if (!existing.empty() && ParseUpdateSignatureFile(existing, &kept, nullptr)) {
        for (const UpdateSignature& signature : kept) {
            if (signature.keyId == added.keyId) continue;
            file += "ed25519 " + signature.keyId + " " + ToHex(signature.signature) + "\n";
        }
    }
    file += std::string(TrimLine(newLine)) + "\n";
    return file;
}

}  // namespace tolvane
