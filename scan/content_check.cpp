// yara.h defines ERROR_SUCCESS and other names of base/win_types.h: this
// file includes nothing that brings the Windows types in.
#include "scan/content_check.h"

#include <openssl/evp.h>
#include <pwd.h>
#include <unistd.h>
#include <yara.h>

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <thread>

#include "base/codepage.h"
#include "definitions/threat_database.h"
#include "definitions/yara_compiler.h"
#include "scan/file_type.h"

namespace tolvane {
namespace {

constexpr size_t kChunk = size_t{1} << 20;
// Offsets kept per finding: enough to find the strings in a hex viewer.
constexpr size_t kOffsetsKept = 5;
// The bytes the file type is told from (the longest signature is shorter).
constexpr size_t kHeadBytes = 64;

constexpr DigestKind kKinds[kDigestKinds] = {DigestKind::Md5, DigestKind::Sha1, DigestKind::Sha256};

const char* DigestName(DigestKind kind) {
    switch (kind) {
        case DigestKind::Md5:
            return "MD5";
        case DigestKind::Sha1:
            return "SHA-1";
        case DigestKind::Sha256:
            return "SHA-256";
    }
    return "";
}

std::string Hex(std::string_view raw) {
    static const char kDigits[] = "0123456789abcdef";
    std::string out;
    for (unsigned char c : raw) {
        out += kDigits[c >> 4];
        out += kDigits[c & 15];
    }
    return out;
}

// pread until the buffer is full or the file ends; -1 on an error.
ssize_t ReadAt(int fd, char* buffer, size_t size, uint64_t offset) {
    size_t done = 0;
    while (done < size) {
        ssize_t n = pread(fd, buffer + done, size - done, static_cast<off_t>(offset + done));
        if (n < 0 && errno == EINTR) continue;
        if (n < 0) return -1;
        if (n == 0) break;
        done += static_cast<size_t>(n);
    }
    return static_cast<ssize_t>(done);
}

std::string OwnerName(uid_t uid) {
    struct passwd entry;
    struct passwd* found = nullptr;
    char text[1024];
    if (getpwuid_r(uid, &entry, text, sizeof text, &found) == 0 && found) return found->pw_name;
    return std::to_string(uid);
}

}  // namespace

const char* ContentSkipName(ContentSkip skip) {
    switch (skip) {
        case ContentSkip::NotRegular:
            return "notRegular";
        case ContentSkip::Unreadable:
            return "unreadable";
        case ContentSkip::OverHashCap:
            return "overHashCap";
        case ContentSkip::OverYaraCap:
            return "overYaraCap";
        case ContentSkip::Kind:
            return "notExecutableScriptArchiveOrDocument";
        case ContentSkip::Changed:
            return "changedWhileRead";
        case ContentSkip::PlatformOwn:
            return "platformOwn";
        case ContentSkip::YaraTimeout:
            return "yaraTimeout";
        case ContentSkip::Stopped:
            return "stopped";
        case ContentSkip::NotChecked:
            return "notChecked";
    }
    return "";
}

void ContentCounts::Reset() {
    checked.store(0);
    bytes.store(0);
    matched.store(0);
    platformBytes.store(0);
    for (auto& count : skipped) count.store(0);
}

std::string ContentCounts::LogText() const {
    std::string text = "Content check: " + std::to_string(checked.load()) + " files, " +
                       std::to_string(bytes.load()) + " bytes read, " +
                       std::to_string(matched.load()) + " matched\n";
    for (size_t i = 0; i < kContentSkipKinds; ++i) {
        uint64_t count = skipped[i].load();
        if (count == 0) continue;
        text += "Content check skipped: " + std::to_string(count) + " " +
                ContentSkipName(static_cast<ContentSkip>(i)) + "\n";
    }
    return text;
}

std::string ContentCounts::ProgressText() const {
    const uint64_t files = checked.load();
    if (files == 0) return "";
    const uint64_t read = bytes.load();
    const std::string amount = read >= (1u << 20) ? std::to_string(read >> 20) + " MiB"
                               : read >= 1024     ? std::to_string(read >> 10) + " KiB"
                                                  : std::to_string(read) + " bytes";
    return "Contents checked: " + std::to_string(files) + (files == 1 ? " file, " : " files, ") +
           amount;
}

// The digest contexts, one per kind the database knows.
struct ContentCheck::Hashes {
    std::array<EVP_MD_CTX*, kDigestKinds> contexts{};
    std::array<std::string, kDigestKinds> results;
    ~Hashes() {
        for (EVP_MD_CTX* context : contexts) EVP_MD_CTX_free(context);
    }
    static const EVP_MD* Method(DigestKind kind) {
        return kind == DigestKind::Md5    ? EVP_md5()
               : kind == DigestKind::Sha1 ? EVP_sha1()
                                          : EVP_sha256();
    }
    void Start() {
        for (size_t i = 0; i < kDigestKinds; ++i) {
            results[i].clear();
            if (contexts[i]) EVP_DigestInit_ex(contexts[i], Method(kKinds[i]), nullptr);
        }
    }
    void Update(const char* data, size_t size) {
        for (EVP_MD_CTX* context : contexts)
            if (context) EVP_DigestUpdate(context, data, size);
    }
    void Finish() {
        for (size_t i = 0; i < kDigestKinds; ++i) {
            if (!contexts[i]) continue;
            unsigned char digest[EVP_MAX_MD_SIZE];
            unsigned int length = 0;
            EVP_DigestFinal_ex(contexts[i], digest, &length);
            results[i].assign(reinterpret_cast<char*>(digest), length);
        }
    }
};

// One scanner over the database's rules, and what its callback found.
struct ContentCheck::Yara {
    YR_SCANNER* scanner = nullptr;
    const ContentIndicators* indicators = nullptr;
    const std::atomic<bool>* stop = nullptr;
    std::optional<size_t> definition;
    ContentFinding finding;
    // The last owner's name: files of one owner follow each other in a walk.
    std::optional<uid_t> ownerUid;
    std::string ownerName;
    ~Yara() {
        if (scanner) yr_scanner_destroy(scanner);
    }

    // The first matching rule that belongs to a definition ends the scan.
    static int Callback(YR_SCAN_CONTEXT* context, int message, void* data, void* user) {
        auto* self = static_cast<Yara*>(user);
        if (self->stop->load(std::memory_order_relaxed)) return CALLBACK_ABORT;
        if (message != CALLBACK_MSG_RULE_MATCHING) return CALLBACK_CONTINUE;
        auto* rule = static_cast<YR_RULE*>(data);
        std::optional<size_t> definition = self->indicators->DefinitionOfRule(rule->identifier);
        if (!definition) return CALLBACK_CONTINUE;
        self->definition = definition;
        self->finding.source = "YARA";
        self->finding.rule = rule->identifier;
        YR_STRING* string = nullptr;
        YR_MATCH* match = nullptr;
        yr_rule_strings_foreach(rule, string) {
            yr_string_matches_foreach(context, string, match) {
                if (self->finding.offsets.size() < kOffsetsKept)
                    self->finding.offsets.push_back(
                        static_cast<uint64_t>(match->base + match->offset));
            }
        }
        return CALLBACK_ABORT;
    }
};

ContentCheck::ContentCheck(const ThreatDatabase& database, const ContentLimits& limits,
                           ContentCounts& counts)
    : database_(database), limits_(limits), hashes_(std::make_unique<Hashes>()), counts_(counts) {
    const ContentIndicators& indicators = database.content();
    for (size_t i = 0; i < kDigestKinds; ++i)
        if (indicators.HasDigests(kKinds[i])) hashes_->contexts[i] = EVP_MD_CTX_new();
    if (indicators.Rules() && EnsureYaraStarted()) {
        auto yara = std::make_unique<Yara>();
        yara->indicators = &indicators;
        if (yr_scanner_create(indicators.Rules(), &yara->scanner) == ERROR_SUCCESS) {
            yr_scanner_set_callback(yara->scanner, &Yara::Callback, yara.get());
            yr_scanner_set_timeout(yara->scanner, limits.yaraTimeoutSeconds);
            yr_scanner_set_flags(yara->scanner, SCAN_FLAGS_FAST_MODE);
            yara_ = std::move(yara);
        }
    }
}

ContentCheck::~ContentCheck() = default;

bool ContentCheck::Active() const {
    return limits_.enabled && (!database_.content().Empty() || !checkers_.empty());
}

void ContentCheck::CountSkip(ContentSkip skip) {
    counts_.skipped[static_cast<size_t>(skip)].fetch_add(1, std::memory_order_relaxed);
}

// Reads `size` bytes from the start through the digests (unless the caller
// hashes the kept bytes itself); with keep, into buffer_ as well. A file
// longer now than its size is read to that size.
ContentCheck::ReadResult ContentCheck::ReadAndHash(int fd, uint64_t size, bool keep, bool hash,
                                                   const std::atomic<bool>& stop) {
    hashes_->Start();
    buffer_.resize(keep ? size : std::min<uint64_t>(size, kChunk));
    uint64_t offset = 0;
    while (offset < size) {
        if (stop.load(std::memory_order_relaxed)) return ReadResult::Stopped;
        size_t want = static_cast<size_t>(std::min<uint64_t>(kChunk, size - offset));
        char* into = keep ? buffer_.data() + offset : buffer_.data();
        ssize_t got = ReadAt(fd, into, want, offset);
        if (got < 0) return ReadResult::Unreadable;
        if (hash) hashes_->Update(into, static_cast<size_t>(got));
        offset += static_cast<uint64_t>(got);
        counts_.bytes.fetch_add(static_cast<uint64_t>(got), std::memory_order_relaxed);
        if (static_cast<size_t>(got) < want) return ReadResult::Changed;
    }
    if (hash) hashes_->Finish();
    return ReadResult::Done;
}

ContentCheck::Outcome ContentCheck::FindDigest() {
    const ContentIndicators& indicators = database_.content();
    auto& definitions = database_.definitions();
    for (size_t i = 0; i < kDigestKinds; ++i) {
        if (hashes_->results[i].empty()) continue;
        std::optional<size_t> found = indicators.FindDigest(kKinds[i], hashes_->results[i]);
        if (!found || *found >= definitions.size()) continue;
        auto finding = std::make_shared<ContentFinding>();
        finding->source = DigestName(kKinds[i]);
        finding->digest = Hex(hashes_->results[i]);
        return {definitions[*found].get(), std::move(finding)};
    }
    return {};
}

ContentCheck::Outcome ContentCheck::RunYara(const struct stat& st, std::string_view windowsPath,
                                            std::string_view head, const std::atomic<bool>& stop) {
    if (!yara_) return {};
    size_t slash = windowsPath.rfind('\\');
    std::string folder = Cp1252ToUtf8(
        slash == std::string_view::npos ? std::string_view() : windowsPath.substr(0, slash));
    std::string name =
        Cp1252ToUtf8(slash == std::string_view::npos ? windowsPath : windowsPath.substr(slash + 1));
    size_t dot = name.rfind('.');
    std::string extension = dot == std::string::npos ? "" : name.substr(dot);
    for (char& c : extension)
        if (c >= 'A' && c <= 'Z') c = static_cast<char>(c + 32);
    std::string type(FileTypeOfHead(head));
    if (yara_->ownerUid != st.st_uid) {
        yara_->ownerUid = st.st_uid;
        yara_->ownerName = OwnerName(st.st_uid);
    }
    const std::string& owner = yara_->ownerName;
    // A rule set without one of these names refuses its definition: that
    // is no error here.
    const std::string* values[] = {&name, &folder, &extension, &type, &owner};
    static_assert(std::size(values) == std::size(kYaraExternals));
    for (size_t i = 0; i < std::size(values); ++i)
        yr_scanner_define_string_variable(yara_->scanner, kYaraExternals[i], values[i]->c_str());

    yara_->stop = &stop;
    yara_->definition.reset();
    yara_->finding = ContentFinding();
    int status = yr_scanner_scan_mem(
        yara_->scanner, reinterpret_cast<const uint8_t*>(buffer_.data()), buffer_.size());
    if (status == ERROR_SCAN_TIMEOUT) CountSkip(ContentSkip::YaraTimeout);
    auto& definitions = database_.definitions();
    if (!yara_->definition || *yara_->definition >= definitions.size()) return {};
    return {definitions[*yara_->definition].get(),
            std::make_shared<ContentFinding>(std::move(yara_->finding))};
}

ContentCheck::Outcome ContentCheck::AskCheckers(const ContentFileView& view) {
    for (ContentFileChecker* checker : checkers_) {
        ContentFileChecker::Verdict verdict = checker->Check(view);
        if (!verdict.notChecked.empty()) CountSkip(ContentSkip::NotChecked);
        if (verdict.definition)
            return {verdict.definition,
                    std::make_shared<ContentFinding>(std::move(verdict.finding))};
    }
    return {};
}

ContentCheck::Outcome ContentCheck::Check(int fd, const struct stat& st,
                                          std::string_view windowsPath,
                                          const std::atomic<bool>& stop) {
    if (!S_ISREG(st.st_mode)) {
        CountSkip(ContentSkip::NotRegular);
        return {};
    }
    const uint64_t size = static_cast<uint64_t>(st.st_size);
    if (size > limits_.hashCap) {
        CountSkip(ContentSkip::OverHashCap);
        return {};
    }
    char head[kHeadBytes];
    ssize_t headSize = ReadAt(fd, head, std::min<uint64_t>(size, kHeadBytes), 0);
    if (headSize < 0) {
        CountSkip(ContentSkip::Unreadable);
        return {};
    }
    std::string_view headView(head, static_cast<size_t>(headSize));
    if (!limits_.everyFile) {
        std::string_view name = windowsPath.substr(windowsPath.rfind('\\') + 1);
        size_t dot = name.rfind('.');
        std::string extension(dot == std::string_view::npos ? "" : name.substr(dot));
        for (char& c : extension)
            if (c >= 'A' && c <= 'Z') c = static_cast<char>(c + 32);
        if (!IsContentCheckedKind(FileTypeOfHead(headView), extension)) {
            CountSkip(ContentSkip::Kind);
            return {};
        }
    }
    const bool yaraToo = yara_ && size <= limits_.yaraCap;
    if (yara_ && !yaraToo) CountSkip(ContentSkip::OverYaraCap);
    // The platform's files are told by their SHA-256.
    if (platform_ && !hashes_->contexts[2]) hashes_->contexts[2] = EVP_MD_CTX_new();
    const bool anyDigest = std::any_of(hashes_->contexts.begin(), hashes_->contexts.end(),
                                       [](EVP_MD_CTX* context) { return context != nullptr; });
    // Past the YARA cap with nothing else to ask, reading would find nothing.
    if (!yaraToo && !anyDigest && checkers_.empty()) return {};

    // A large file kept for YARA is hashed on a second thread while YARA
    // runs; the platform's files must be told apart by digest before YARA.
    const bool overlap = yaraToo && anyDigest && !platform_ && size >= kChunk;
    ReadResult read = ReadAndHash(fd, size, yaraToo, !overlap, stop);
    if (read != ReadResult::Done) {
        CountSkip(read == ReadResult::Stopped   ? ContentSkip::Stopped
                  : read == ReadResult::Changed ? ContentSkip::Changed
                                                : ContentSkip::Unreadable);
        return {};
    }
    counts_.checked.fetch_add(1, std::memory_order_relaxed);
    ContentFileView view{fd, windowsPath, size, hashes_->results[2]};
    if (platform_ && platform_->IsPlatformOwn(view)) {
        CountSkip(ContentSkip::PlatformOwn);
        counts_.platformBytes.fetch_add(size, std::memory_order_relaxed);
        return {};
    }
    Outcome outcome;
    if (overlap) {
        std::thread hasher([this] {
            hashes_->Update(buffer_.data(), buffer_.size());
            hashes_->Finish();
        });
        Outcome matched = RunYara(st, windowsPath, headView, stop);
        hasher.join();
        outcome = FindDigest();
        if (!outcome.definition) outcome = std::move(matched);
    } else {
        outcome = FindDigest();
        if (!outcome.definition && yaraToo) outcome = RunYara(st, windowsPath, headView, stop);
    }
    if (!outcome.definition) outcome = AskCheckers(view);
    if (outcome.definition) counts_.matched.fetch_add(1, std::memory_order_relaxed);
    // A large file's bytes are not kept for the next one.
    if (buffer_.capacity() > 4 * kChunk) std::string().swap(buffer_);
    return outcome;
}

}  // namespace tolvane
