// What is known of an entry's file: whether it exists, its size and
// SHA-256, whether it is one of Wine's builtin files, the definition that
// matches it, a PE file's version names and signature, whether it is one of
// Windows' own. Read through one descriptor of the machine's FileSystem.
#include <openssl/evp.h>

#include <algorithm>
#include <cstring>
#include <memory>

#include "definitions/threat_database.h"
#include "host/pe_facts.h"
#include "startup/command_line.h"
#include "startup/lister.h"

namespace tolvane {
namespace {

// Wine's builtin PE files carry this text after their DOS header.
constexpr const char kWineBuiltin[] = "Wine builtin DLL";
constexpr const char kWinePlaceholder[] = "Wine placeholder DLL";
// A PE file's first bytes kept while it is hashed, for its headers and
// version resource; the certificate table is found by the headers alone.
// Larger programs keep their resources within this too, or are not named.
constexpr size_t kPeReadLimit = size_t{32} << 20;

std::string Hex(const unsigned char* bytes, unsigned size) {
    static const char kDigits[] = "0123456789abcdef";
    std::string out;
    for (unsigned i = 0; i < size; ++i) {
        out += kDigits[bytes[i] >> 4];
        out += kDigits[bytes[i] & 15];
    }
    return out;
}

bool HasMarker(std::string_view head, const char* marker) {
    return head.size() >= 0x40 + strlen(marker) && head.compare(0x40, strlen(marker), marker) == 0;
}

// Hashes the file through one descriptor; false when it cannot be read.
// *head gets the file's first bytes: up to kPeReadLimit of a file that
// starts as a PE file does, else enough for Wine's marker. A builtin file of
// Wine's is read no further than its marker unless wineFiles: *whole says
// whether the file was read to its end.
bool HashFile(FileSystem& files, const std::string& path, bool wineFiles, StartupFileFacts& facts,
              std::string* head, bool* whole) {
    File file;
    if (!files.OpenFile(path, FileOpenMode::Read, &file)) return false;
    std::unique_ptr<EVP_MD_CTX, decltype(&EVP_MD_CTX_free)> context(EVP_MD_CTX_new(),
                                                                    EVP_MD_CTX_free);
    if (!context || EVP_DigestInit_ex(context.get(), EVP_sha256(), nullptr) != 1) return false;
    uint64_t size = 0;
    file.Size(&size);
    std::string buffer(1 << 16, '\0');
    uint64_t total = 0;
    size_t got = 0;
    bool read = false;
    while ((read = file.Read(buffer.data(), buffer.size(), &got)) && got > 0) {
        if (total == 0 && !wineFiles &&
            (HasMarker(std::string_view(buffer).substr(0, got), kWineBuiltin) ||
             HasMarker(std::string_view(buffer).substr(0, got), kWinePlaceholder))) {
            head->assign(buffer.data(), std::min<size_t>(got, 0x80));
            facts.size = size;
            *whole = false;
            return true;
        }
        if (total == 0 && got >= 2 && buffer.compare(0, 2, "MZ") == 0)
            head->reserve(std::min<uint64_t>(size, kPeReadLimit));
        bool pe = total >= 2 ? head->compare(0, 2, "MZ") == 0 : true;
        size_t limit = pe ? kPeReadLimit : 0x80;
        if (head->size() < limit) head->append(buffer.data(), std::min(got, limit - head->size()));
        EVP_DigestUpdate(context.get(), buffer.data(), got);
        total += got;
    }
    // A read that fails halfway gives no digest rather than that of a part.
    if (!read) return false;
    unsigned char digest[EVP_MAX_MD_SIZE];
    unsigned length = 0;
    if (EVP_DigestFinal_ex(context.get(), digest, &length) != 1) return false;
    facts.size = total;
    facts.sha256 = Hex(digest, length);
    *whole = true;
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

// The first word of a command (quoted, or up to a space or comma) and the rest.
void SplitProgram(const std::string& command, std::string* program, std::string* rest) {
    size_t end = 0;
    if (!command.empty() && command[0] == '"') {
        end = command.find('"', 1);
        if (end == std::string::npos) end = command.size();
        *program = command.substr(1, end - 1);
        ++end;
    } else {
        end = std::min(command.find(' '), command.find(','));
        if (end == std::string::npos) end = command.size();
        *program = command.substr(0, end);
    }
    *rest = end < command.size() ? command.substr(end) : "";
}

std::string BaseName(const std::string& path) {
    size_t slash = path.find_last_of("\\/");
    return slash == std::string::npos ? path : path.substr(slash + 1);
}

// Where only an administrator can put files: the Windows folder itself,
// System32, SysWOW64 and the drivers' folder, not their subfolders (some of
// those, such as System32\Tasks, every user may write to).
bool InSystemFolder(const std::string& file, const std::string& root) {
    size_t slash = file.find_last_of('\\');
    if (slash == std::string::npos) return false;
    std::string folder = file.substr(0, slash);
    return folder == root || folder == root + "\\system32" || folder == root + "\\syswow64" ||
           folder == root + "\\system32\\drivers";
}

// Windows' own entry: a signed file that claims Microsoft, in the system
// folders, which the entry starts directly (or svchost.exe starts as the
// service's DLL) with arguments that name no other file or address. The
// signature is not verified, so an entry that could turn a Windows program
// against the machine is never one: a program's debugger (Image File
// Execution Options, SilentProcessExit), a script host, a host such as
// rundll32 or regsvr32 looked through, a Userinit or Shell followed by
// another program, a file the definitions match.
bool IsWindowsOwn(const StartupEntry& entry, const std::string& root) {
    const StartupFileFacts& facts = entry.facts;
    if (!facts.pe || !facts.signature || facts.company != "Microsoft Corporation" ||
        facts.userWritable || entry.scriptHost || !facts.threat.empty() || facts.missing)
        return false;
    std::string location = LowerAscii(entry.location);
    if (location.find("image file execution options") != std::string::npos ||
        location.find("silentprocessexit") != std::string::npos)
        return false;
    std::string file = LowerAscii(entry.file);
    if (!InSystemFolder(file, root)) return false;
    std::string program, rest;
    SplitProgram(LowerAscii(entry.command), &program, &rest);
    std::string name = BaseName(program), fileName = BaseName(file);
    bool direct = name == fileName || name + ".exe" == fileName ||
                  (name == "svchost.exe" && fileName.size() > 4 &&
                   fileName.compare(fileName.size() - 4, 4, ".dll") == 0);
    return direct && rest.size() <= 256 && rest.find_first_of("\\:.") == std::string::npos &&
           rest.find("//") == std::string::npos;
}

}  // namespace

// The facts of a file not read before in this listing.
static StartupFileFacts ReadNewFileFacts(Lister& lister, const std::string& file) {
    FileSystem& files = lister.machine.files();
    StartupFileFacts facts;
    facts.exists = lister.Exists(file);
    facts.missing = !facts.exists;
    facts.userWritable = InUserWritablePlace(file);
    std::string head;
    bool whole = false;
    if (facts.exists && HashFile(files, file, lister.sources.readWineFiles, facts, &head, &whole)) {
        facts.wineBuiltin = HasMarker(head, kWineBuiltin) || HasMarker(head, kWinePlaceholder);
    }
    if (whole) {
        PeFacts pe = ReadPeFacts(head, facts.size);
        facts.pe = pe.isPe;
        facts.company = pe.company;
        facts.product = pe.product;
        facts.description = pe.description;
        facts.signature = pe.signature;
        facts.notSigned = pe.isPe && !pe.signature;
        if (!pe.problem.empty()) lister.Note(file + ": " + pe.problem);
    }
    if (lister.definitions) {
        uint64_t size = facts.size;
        const ThreatDefinition* match =
            lister.definitions->MatchFile(file, [size] { return size; });
        if (match) facts.threat = match->name;
    }
    return facts;
}

void ReadFileFacts(Lister& lister, StartupEntry& entry) {
    if (entry.file.empty()) {
        entry.facts.missing = true;
        return;
    }
    std::string key = entry.file;
    std::transform(key.begin(), key.end(), key.begin(),
                   [](unsigned char c) { return static_cast<char>(std::tolower(c)); });
    auto known = lister.files.find(key);
    if (known == lister.files.end())
        known = lister.files.emplace(key, ReadNewFileFacts(lister, entry.file)).first;
    entry.facts = known->second;
    entry.wines = entry.wines || entry.facts.wineBuiltin;
    entry.windows = !entry.wines && IsWindowsOwn(entry, LowerAscii(lister.systemRoot));
}

}  // namespace tolvane
