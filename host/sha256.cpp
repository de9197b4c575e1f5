#include "host/sha256.h"

#include <openssl/evp.h>

#include "base/text.h"

namespace tolvane {

struct Sha256::Context {
    EVP_MD_CTX* ctx = nullptr;
    bool ok = false;
    void Start() { ok = ctx && EVP_DigestInit_ex(ctx, EVP_sha256(), nullptr) == 1; }
};

Sha256::Sha256() : context_(std::make_unique<Context>()) {
    context_->ctx = EVP_MD_CTX_new();
    context_->Start();
}

Sha256::~Sha256() {
    EVP_MD_CTX_free(context_->ctx);
}

void Sha256::Update(std::string_view data) {
    if (context_->ok && !data.empty()) {
        context_->ok = EVP_DigestUpdate(context_->ctx, data.data(), data.size()) == 1;
    }
}

std::string Sha256::FinishHex() {
    unsigned char digest[EVP_MAX_MD_SIZE];
    unsigned int length = 0;
    bool ok = context_->ok && EVP_DigestFinal_ex(context_->ctx, digest, &length) == 1;
    context_->Start();
    if (!ok) return "";
    std::string hex;
    for (unsigned int i = 0; i < length; ++i) {
        hex += kHexDigits[digest[i] >> 4];
        hex += kHexDigits[digest[i] & 15];
    }
    return hex;
}

std::string Sha256Hex(std::string_view data) {
    Sha256 hash;
    hash.Update(data);
    return hash.FinishHex();
}

}  // namespace tolvane
