// What is known of an entry's file: whether it exists, its size and
// SHA-256, whether it is one of Wine's builtin files, the definition that
// matches it. Read through one descriptor of the machine's FileSystem.
#include <openssl/evp.h>

#include <algorithm>
#include <cstring>
#include <memory>

#include "definitions/threat_database.h"
#include "startup/lister.h"

namespace tolvane {
namespace {

// Wine's builtin PE files carry this text after their DOS header.
constexpr const char kWineBuiltin[] = "Wine builtin DLL";
constexpr const char kWinePlaceholder[] = "Wine placeholder DLL";

std::string Hex(const unsigned char* bytes, unsigned size) {
    static const char kDigits[] = "0123456789abcdef";
    std::string out;
    for (unsigned i = 0; i < size; ++i) {
        out += kDigits[bytes[i] >> 4];
        out += kDigits[bytes[i] & 15];
    }
    return out;
}

bool HasMarker(const std::string& head, const char* marker) {
    return head.size() >= 0x40 + strlen(marker) && head.compare(0x40, strlen(marker), marker) == 0;
}

// Hashes the file through one descriptor; false when it cannot be read.
bool HashFile(FileSystem& files, const std::string& path, StartupEntry& entry, std::string* head) {
    File file;
    if (!files.OpenFile(path, FileOpenMode::Read, &file)) return false;
    std::unique_ptr<EVP_MD_CTX, decltype(&EVP_MD_CTX_free)> context(EVP_MD_CTX_new(),
                                                                    EVP_MD_CTX_free);
    if (!context || EVP_DigestInit_ex(context.get(), EVP_sha256(), nullptr) != 1) return false;
    std::string buffer(1 << 16, '\0');
    uint64_t total = 0;
    size_t got = 0;
    while (file.Read(buffer.data(), buffer.size(), &got) && got > 0) {
        if (head->size() < 0x80) head->append(buffer.data(), std::min<size_t>(got, 0x80));
        EVP_DigestUpdate(context.get(), buffer.data(), got);
        total += got;
    }
    unsigned char digest[EVP_MAX_MD_SIZE];
    unsigned length = 0;
    if (EVP_DigestFinal_ex(context.get(), digest, &length) != 1) return false;
    entry.size = total;
    entry.sha256 = Hex(digest, length);
    return true;
}

bool InUserWritablePlace(const std::string& file) {
    std::string lower = file;
    std::transform(lower.begin(), lower.end(), lower.begin(),
                   [](unsigned char c) { return static_cast<char>(std::tolower(c)); });
    for (const char* part :
         {"\\appdata\\", "\\temp\\", "\\tmp\\", "\\programdata\\", "\\users\\public\\",
          "\\$recycle.bin\\", "\\recycler\\", "\\local settings\\", "\\application data\\"})
        if (lower.find(part) != std::string::npos) return true;
    return false;
}

}  // namespace

// The facts of a file not read before in this listing.
static void ReadNewFileFacts(Lister& lister, StartupEntry& entry) {
    FileSystem& files = lister.machine.files();
    entry.exists = lister.Exists(entry.file);
    entry.missing = !entry.exists;
    entry.userWritable = InUserWritablePlace(entry.file);
    std::string head;
    if (entry.exists && HashFile(files, entry.file, entry, &head))
        entry.wines = HasMarker(head, kWineBuiltin) || HasMarker(head, kWinePlaceholder);
    if (lister.definitions) {
        uint64_t size = entry.size;
        const ThreatDefinition* match =
            lister.definitions->MatchFile(entry.file, [size] { return size; });
        if (match) entry.threat = match->name;
    }
}

void ReadFileFacts(Lister& lister, StartupEntry& entry) {
    if (entry.file.empty()) {
        entry.missing = true;
        return;
    }
    std::string key = entry.file;
    std::transform(key.begin(), key.end(), key.begin(),
                   [](unsigned char c) { return static_cast<char>(std::tolower(c)); });
    auto known = lister.files.find(key);
    if (known != lister.files.end()) {
        const StartupEntry& facts = known->second;
        entry.exists = facts.exists;
        entry.missing = facts.missing;
        entry.userWritable = facts.userWritable;
        entry.size = facts.size;
        entry.sha256 = facts.sha256;
        entry.wines = entry.wines || facts.wines;
        entry.threat = facts.threat;
        return;
    }
    ReadNewFileFacts(lister, entry);
    lister.files[key] = entry;
}

}  // namespace tolvane
