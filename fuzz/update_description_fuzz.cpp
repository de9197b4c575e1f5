// libFuzzer target: update description files, their signature files and
// version texts from untrusted bytes. A description that parses must hold
// what the downloader relies on: a size within bounds, a 64-digit
// lower-case hash, a file name that stays inside the Updates folder, a real
// date. The bytes after the first NUL (all of them when there is none) are
// also read as the description's signature file: what parses holds key ids
// and signatures of the right size, and no input is ever a valid signature
// by a key whose private half only this process ever held.
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <string>
#include <string_view>
#include <vector>

#include "update/update_description.h"
#include "update/update_signature.h"
#include "update/version_text.h"

namespace {

const std::vector<std::string>& FuzzKeys() {
    static const std::vector<std::string> keys = [] {
        std::string privatePem, publicPem, error;
        if (!tolvane::GenerateUpdateKeyPair(&privatePem, &publicPem, &error)) abort();
        return std::vector<std::string>{publicPem};
    }();
    return keys;
}

void CheckSignatureFile(std::string_view description, std::string_view text) {
    std::vector<tolvane::UpdateSignature> signatures;
    std::string error;
    if (tolvane::ParseUpdateSignatureFile(text, &signatures, &error)) {
        if (signatures.empty() || signatures.size() > tolvane::kMaxUpdateSignatures) abort();
        for (const auto& signature : signatures) {
            if (signature.keyId.size() != 16 || signature.signature.size() != 64) abort();
            for (char c : signature.keyId) {
                if (!((c >= '0' && c <= '9') || (c >= 'a' && c <= 'f'))) abort();
            }
        }
    } else if (error.empty()) {
        abort();
    }
    std::string detail;
    if (tolvane::VerifyUpdateSignature(description, text, FuzzKeys(), &detail) ==
            tolvane::SignatureVerdict::Valid ||
        detail.empty()) {
        abort();
    }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    std::string_view text(reinterpret_cast<const char*>(data), size);
    tolvane::UpdateDescription description;
    std::string error;
    if (tolvane::ParseUpdateDescription(text, &description, &error)) {
        if (description.size == 0 || description.size > tolvane::kMaxUpdateDownloadBytes) abort();
        if (description.sha256.size() != 64) abort();
        for (char c : description.sha256) {
            if (!((c >= '0' && c <= '9') || (c >= 'a' && c <= 'f'))) abort();
        }
        const std::string& name = description.fileName;
        if (name.empty() || name.front() == '.' || name.find('/') != std::string::npos ||
            name.find('\\') != std::string::npos) {
            abort();
        }
        // The server path: "/" and components that never climb out.
        std::string_view path = description.file;
        if (path.empty() || path.front() != '/') abort();
        while (!path.empty()) {
            path.remove_prefix(1);
            std::string_view component = path.substr(0, path.find('/'));
            if (component.empty() || component == "." || component == "..") abort();
            path.remove_prefix(component.size());
        }
        if (!tolvane::IsUpdateDate(description.date)) abort();
        if (description.product != tolvane::kProgramProduct &&
            description.product != tolvane::kDefinitionsProduct) {
            abort();
        }
        (void)tolvane::FormatVersion(description.version);
    } else if (error.empty()) {
        abort();  // a refusal always says why
    }
    (void)tolvane::FormatVersion(tolvane::VersionNumberFromText(text));
    size_t nul = text.find('\0');
    CheckSignatureFile(text.substr(0, nul),
                       nul == std::string_view::npos ? text : text.substr(nul + 1));
    return 0;
}
