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
#include <system_error>
#include <thread>

#include "base/codepage.h"
#include "definitions/threat_database.h"
#include "definitions/yara_compiler.h"
#include "scan/file_type.h"

namespace tolvane {
namespace {

constexpr size_t kChunk = size_t{1} << 20;
// Content threads at most, whatever the cores: each may hold a file's bytes
// up to the YARA cap.
constexpr size_t kMostThreads = 4;
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
    // The kinds there are contexts for, bit i for kKinds[i].
    unsigned Kinds() const {
        unsigned kinds = 0;
        for (size_t i = 0; i < kDigestKinds; ++i)
            if (contexts[i]) kinds |= 1u << i;
        return kinds;
    }
    void Update(const char* data, size_t size, unsigned kinds) {
        for (size_t i = 0; i < kDigestKinds; ++i)
            if (kinds & (1u << i)) EVP_DigestUpdate(contexts[i], data, size);
    }
    void Finish(unsigned kinds) {
        for (size_t i = 0; i < kDigestKinds; ++i) {
            if (!(kinds & (1u << i))) continue;
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
    bool stopped = false;  // the callback ended the scan for the stop
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
        if (self->stop->load(std::memory_order_relaxed)) {
            self->stopped = true;
            return CALLBACK_ABORT;
        }
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

bool ContentStop::Enter(ContentCheck* check, const std::atomic<bool>& stop) {
    std::lock_guard<std::mutex> held(lock_);
    if (stop.load()) return false;
    // A stop of an earlier scan may have shortened it.
    yr_scanner_set_timeout(check->yara_->scanner, check->limits_.yaraTimeoutSeconds);
    running_.push_back(check);
    return true;
}

void ContentStop::Leave(ContentCheck* check) {
    std::lock_guard<std::mutex> held(lock_);
    running_.erase(std::find(running_.begin(), running_.end(), check));
}

void ContentStop::Interrupt() {
    std::lock_guard<std::mutex> held(lock_);
    // The scanning thread reads the time-out without a lock (libyara's own
    // loop): one aligned 64-bit store it sees whole. A time-out of 0 would
    // mean none; 1 ns has passed at libyara's next look.
    for (ContentCheck* check : running_)
        __atomic_store_n(&check->yara_->scanner->timeout, uint64_t{1}, __ATOMIC_RELAXED);
}

size_t ContentStop::Running() const {
    std::lock_guard<std::mutex> held(lock_);
    return running_.size();
}

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

void ContentCheck::Buffer::Resize(size_t wanted) {
    if (wanted > capacity) {
        bytes.reset();
        bytes.reset(new char[wanted]);
        capacity = wanted;
    }
    size = wanted;
}

void ContentCheck::Buffer::Release() {
    bytes.reset();
    capacity = size = 0;
}

// Reads `size` bytes from the start through the digests (unless the caller
// hashes the kept bytes itself); with keep, into buffer_ as well. A file
// longer now than its size is read to that size.
ContentCheck::ReadResult ContentCheck::ReadAndHash(int fd, uint64_t size, bool keep, unsigned kinds,
                                                   const std::atomic<bool>& stop) {
    hashes_->Start();
    buffer_.Resize(keep ? size : std::min<uint64_t>(size, kChunk));
    uint64_t offset = 0;
    while (offset < size) {
        if (stop.load(std::memory_order_relaxed)) return ReadResult::Stopped;
        size_t want = static_cast<size_t>(std::min<uint64_t>(kChunk, size - offset));
        char* into = keep ? buffer_.data() + offset : buffer_.data();
        ssize_t got = ReadAt(fd, into, want, offset);
        if (got < 0) return ReadResult::Unreadable;
        hashes_->Update(into, static_cast<size_t>(got), kinds);
        offset += static_cast<uint64_t>(got);
        counts_.bytes.fetch_add(static_cast<uint64_t>(got), std::memory_order_relaxed);
        if (static_cast<size_t>(got) < want) return ReadResult::Changed;
    }
    hashes_->Finish(kinds);
    return ReadResult::Done;
}

// Hashes the kept bytes with the digest kinds `kinds`; false, with those
// digests left unfinished (no result), when the scan was stopped.
bool ContentCheck::HashKept(unsigned kinds, const std::atomic<bool>& stop) {
    for (size_t offset = 0; offset < buffer_.size; offset += kChunk) {
        if (stop.load(std::memory_order_relaxed)) return false;
        hashes_->Update(buffer_.data() + offset, std::min(kChunk, buffer_.size - offset), kinds);
    }
    hashes_->Finish(kinds);
    return true;
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
                                            std::string_view head, const std::atomic<bool>& stop,
                                            bool* stopped) {
    *stopped = false;
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
    yara_->stopped = false;
    yara_->definition.reset();
    yara_->finding = ContentFinding();
    if (interrupt_ && !interrupt_->Enter(this, stop)) {
        *stopped = true;
        return {};
    }
    int status = yr_scanner_scan_mem(
        yara_->scanner, reinterpret_cast<const uint8_t*>(buffer_.data()), buffer_.size);
    if (interrupt_) interrupt_->Leave(this);
    // The stop flag is set before the time-out is shortened: a time-out
    // with the flag set is the stop's, whichever came first.
    *stopped = status == ERROR_SCAN_TIMEOUT ? stop.load() : yara_->stopped;
    if (*stopped) return {};
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
    const unsigned kinds = hashes_->Kinds();
    const bool anyDigest = kinds != 0;
    // Past the YARA cap with nothing else to ask, reading would find nothing.
    if (!yaraToo && !anyDigest && checkers_.empty()) return {};

    // A large file kept for YARA is hashed on a second thread while YARA
    // runs, but for the SHA-256 that tells the platform's files apart
    // before YARA: that one is taken while the file is read.
    const unsigned early = platform_ ? 1u << 2 : 0;
    const unsigned late = yaraToo && size >= kChunk ? kinds & ~early : 0;
    ReadResult read = ReadAndHash(fd, size, yaraToo, kinds & ~late, stop);
    if (read != ReadResult::Done) {
        CountSkip(read == ReadResult::Stopped   ? ContentSkip::Stopped
                  : read == ReadResult::Changed ? ContentSkip::Changed
                                                : ContentSkip::Unreadable);
        return {};
    }
    ContentFileView view{fd, windowsPath, size, hashes_->results[2]};
    if (platform_ && platform_->IsPlatformOwn(view)) {
        counts_.checked.fetch_add(1, std::memory_order_relaxed);
        CountSkip(ContentSkip::PlatformOwn);
        counts_.platformBytes.fetch_add(size, std::memory_order_relaxed);
        return {};
    }
    Outcome outcome;
    bool stopped = false;
    if (late) {
        outcome = YaraAndDigests(st, windowsPath, headView, late, stop, &stopped);
    } else {
        outcome = FindDigest();
        if (!outcome.definition && yaraToo)
            outcome = RunYara(st, windowsPath, headView, stop, &stopped);
    }
    // A large file's bytes are not kept for the next one.
    if (buffer_.capacity > 4 * kChunk) buffer_.Release();
    if (!outcome.definition && stopped) {
        CountSkip(ContentSkip::Stopped);
        return {};
    }
    counts_.checked.fetch_add(1, std::memory_order_relaxed);
    if (!outcome.definition) outcome = AskCheckers(view);
    if (outcome.definition) counts_.matched.fetch_add(1, std::memory_order_relaxed);
    return outcome;
}

// YARA over the kept bytes while a helper thread takes the `late` digests
// of them. A digest's listing wins; *stopped when either was cut short.
ContentCheck::Outcome ContentCheck::YaraAndDigests(const struct stat& st,
                                                   std::string_view windowsPath,
                                                   std::string_view head, unsigned late,
                                                   const std::atomic<bool>& stop, bool* stopped) {
    bool hashed = false;
    auto hashLate = [this, late, &stop, &hashed] { hashed = HashKept(late, stop); };
    std::thread hasher;
    try {
        hasher = std::thread(hashLate);
    } catch (const std::system_error&) {
        hashLate();  // no second thread to be had: one after the other
    }
    Outcome matched = RunYara(st, windowsPath, head, stop, stopped);
    if (hasher.joinable()) hasher.join();
    Outcome outcome = FindDigest();
    if (outcome.definition) return outcome;
    if (!hashed) *stopped = true;
    return matched;
}

// The platform's answer asked by one thread at a time.
class ContentPool::LockedPlatform : public PlatformFiles {
  public:
    LockedPlatform(PlatformFiles* inner, std::mutex& lock) : inner_(inner), lock_(lock) {}
    bool IsPlatformOwn(const ContentFileView& file) override {
        std::lock_guard<std::mutex> held(lock_);
        return inner_->IsPlatformOwn(file);
    }

  private:
    PlatformFiles* inner_;
    std::mutex& lock_;
};

// An extra checker asked by one thread at a time; the scan's begin and end
// stay with whoever added it.
class ContentPool::LockedChecker : public ContentFileChecker {
  public:
    LockedChecker(ContentFileChecker* inner, std::mutex& lock) : inner_(inner), lock_(lock) {}
    Verdict Check(const ContentFileView& file) override {
        std::lock_guard<std::mutex> held(lock_);
        return inner_->Check(file);
    }

  private:
    ContentFileChecker* inner_;
    std::mutex& lock_;
};

ContentPool::ContentPool(const ThreatDatabase& database, const ContentLimits& limits,
                         ContentCounts& counts, const std::atomic<bool>& stop, size_t threads)
    : database_(database),
      limits_(limits),
      counts_(counts),
      stop_(stop),
      threads_(threads ? threads : DefaultThreads()),
      inline_(database, limits, counts) {}

size_t ContentPool::DefaultThreads() {
    return std::clamp<size_t>(std::thread::hardware_concurrency(), 1, kMostThreads);
}

ContentPool::~ContentPool() {
    {
        std::lock_guard<std::mutex> held(lock_);
        closing_ = true;
    }
    wake_.notify_all();
    for (std::thread& worker : workers_) worker.join();
}

void ContentPool::SetPlatformFiles(PlatformFiles* platform) {
    platform_ = platform ? std::make_unique<LockedPlatform>(platform, callLock_) : nullptr;
    inline_.SetPlatformFiles(platform_.get());
}

void ContentPool::SetStop(ContentStop* stop) {
    interrupt_ = stop;
    inline_.SetStop(stop);
}

void ContentPool::AddChecker(ContentFileChecker* checker) {
    checkers_.push_back(std::make_unique<LockedChecker>(checker, callLock_));
    inline_.AddChecker(checkers_.back().get());
}

// The threads start with the first file, once the platform and the checkers
// are known. Those the system refuses are done without: with none, the
// caller's thread checks each file as it is handed over.
void ContentPool::StartThreads() {
    started_ = true;
    for (size_t i = 0; i < threads_; ++i) {
        auto check = std::make_unique<ContentCheck>(database_, limits_, counts_);
        check->SetPlatformFiles(platform_.get());
        check->SetStop(interrupt_);
        for (auto& checker : checkers_) check->AddChecker(checker.get());
        try {
            workers_.emplace_back(&ContentPool::Work, this, check.get());
        } catch (const std::system_error&) {
            break;
        }
        checks_.push_back(std::move(check));
    }
}

void ContentPool::Work(ContentCheck* check) {
    for (;;) {
        Job job;
        {
            std::unique_lock<std::mutex> held(lock_);
            wake_.wait(held, [this] { return closing_ || !queue_.empty(); });
            if (queue_.empty()) return;
            job = std::move(queue_.front());
            queue_.pop_front();
        }
        ContentCheck::Outcome outcome = check->Check(job.fd.get(), job.st, job.path, stop_);
        job.fd.Reset();
        {
            std::lock_guard<std::mutex> held(lock_);
            if (outcome.definition)
                matches_.emplace_back(job.sequence, Match{std::move(job.path), std::move(job.tag),
                                                          std::move(outcome)});
            --inFlight_;
        }
        done_.notify_all();
    }
}

void ContentPool::Submit(UniqueFd fd, const struct stat& st, std::string windowsPath,
                         std::string tag) {
    if (!started_) StartThreads();
    if (workers_.empty()) {
        ContentCheck::Outcome outcome = inline_.Check(fd.get(), st, windowsPath, stop_);
        if (outcome.definition)
            matches_.emplace_back(
                nextSequence_++, Match{std::move(windowsPath), std::move(tag), std::move(outcome)});
        return;
    }
    Job job;
    job.fd = std::move(fd);
    job.st = st;
    job.path = std::move(windowsPath);
    job.tag = std::move(tag);
    {
        std::unique_lock<std::mutex> held(lock_);
        done_.wait(held, [this] { return inFlight_ < 2 * workers_.size(); });
        job.sequence = nextSequence_++;
        ++inFlight_;
        queue_.push_back(std::move(job));
    }
    wake_.notify_one();
}

std::vector<ContentPool::Match> ContentPool::Collect() {
    std::unique_lock<std::mutex> held(lock_);
    done_.wait(held, [this] { return inFlight_ == 0; });
    std::sort(matches_.begin(), matches_.end(),
              [](const auto& a, const auto& b) { return a.first < b.first; });
    std::vector<Match> out;
    out.reserve(matches_.size());
    for (auto& [sequence, match] : matches_) out.push_back(std::move(match));
    matches_.clear();
    return out;
}

ContentCheck::Outcome ContentPool::CheckHere(int fd, const struct stat& st,
                                             std::string_view windowsPath) {
    return inline_.Check(fd, st, windowsPath, stop_);
}

}  // namespace tolvane
