// ContentCheck: recognises a file by what it holds. One read of an open
// regular file serves the digests (MD5, SHA-1, SHA-256 through OpenSSL's EVP,
// each only when the database knows digests of that kind) and the YARA rules
// (one scanner over the bytes read, with the external variables filename,
// filepath, extension, filetype and owner defined for the file).
//
// Where other checks plug in: a PlatformFiles predicate is asked, once the
// file is read and its SHA-256 known, whether the file is the platform's own
// (a file Wine installed); such a file is counted as skipped and never
// listed. Each ContentFileChecker is then asked in turn about a file the
// definitions did not recognise (an antivirus daemon given the descriptor).
// Both are set before a scan and outlive it.
//
// Limits (settings/content_limits.h): a file above the YARA cap is checked
// by digest only, one above the hash cap is not read; without "every file"
// only executables, scripts, archives and documents (file_type.h) are read.
// A file that is no regular file, cannot be read, or ends before its size
// while read is counted as skipped with its reason, never listed.
//
// Threads: one ContentCheck serves one thread (it owns its hash contexts and
// YARA scanner; a file of a megabyte or more is hashed on a helper thread
// while YARA runs, joined before Check returns); the counts it adds to may
// be read from any thread. Stop: the flag is
// polled between read chunks (1 MiB), so a stop takes effect within one
// chunk's read; a YARA scan of a capped buffer is bounded by its time-out.
// Errors are counts, nothing throws.
#pragma once

#include <sys/stat.h>

#include <array>
#include <atomic>
#include <cstdint>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "scan/detected_object.h"
#include "settings/content_limits.h"

namespace tolvane {

class ThreatDatabase;
struct ThreatDefinition;

// Why a file was not (wholly) checked.
enum class ContentSkip {
    NotRegular,   // a link, pipe, device or folder: never opened
    Unreadable,   // could not be opened or read
    OverHashCap,  // larger than the hash cap: not read
    OverYaraCap,  // larger than the YARA cap: checked by digest only
    Kind,         // not an executable, script, archive or document
    Changed,      // ended before its size while it was read
    PlatformOwn,  // the platform's own file (PlatformFiles)
    YaraTimeout,  // YARA gave up on it after its time-out
    Stopped,      // the scan was stopped while it was read
    NotChecked,   // an extra checker could not check it (its Verdict says why)
};
inline constexpr size_t kContentSkipKinds = 10;
// The reason's name in the log and in --json ("notRegular", ...).
const char* ContentSkipName(ContentSkip skip);

// What is known of the file being checked.
struct ContentFileView {
    int fd = -1;            // the open file; read it with pread
    std::string_view path;  // its Windows path in the machine (code page 1252)
    uint64_t size = 0;
    std::string_view sha256;  // raw digest once the file was read, else empty
};

// Tells the platform's own files apart (Wine's builtin DLLs in a prefix).
class PlatformFiles {
  public:
    virtual ~PlatformFiles() = default;
    virtual bool IsPlatformOwn(const ContentFileView& file) = 0;
};

// An extra check of each file the definitions did not recognise.
class ContentFileChecker {
  public:
    virtual ~ContentFileChecker() = default;
    struct Verdict {
        // The definition to list the file under (owned by the checker, kept
        // until the scan's results are reset); nullptr: nothing found.
        ThreatDefinition* definition = nullptr;
        ContentFinding finding;
        // Not checked, and why, in a word for the counts ("clamdLimits").
        std::string notChecked;
    };
    virtual Verdict Check(const ContentFileView& file) = 0;
    // As each scan's content phase starts: false leaves the checker out of
    // that scan; *logLine (may stay "") goes to the scan's log.
    virtual bool BeginScan(std::string* logLine) {
        (void)logLine;
        return true;
    }
    // As the phase ends: a line for the log ("" for none); *note is set when
    // the user must be told beside the rows.
    virtual std::string EndScan(std::string* note) {
        (void)note;
        return "";
    }
};

// The content phase's counts; atomic so that the window may read them while
// the worker writes.
struct ContentCounts {
    std::atomic<uint64_t> checked{0};        // files read and checked
    std::atomic<uint64_t> bytes{0};          // bytes read
    std::atomic<uint64_t> matched{0};        // files listed by their content
    std::atomic<uint64_t> platformBytes{0};  // bytes of the platform's own files among them
    std::array<std::atomic<uint64_t>, kContentSkipKinds> skipped{};
    void Reset();
    // "Content check: 12 files, 3456 bytes, 1 matched; skipped: 2 over the
    // hash cap (hashCap), ..." lines for the log.
    std::string LogText() const;
    // How far the reading has come, for a person watching the scan:
    // "Contents checked: 12 files, 34 MiB" ("" before the first file).
    std::string ProgressText() const;
};

class ContentCheck {
  public:
    // The database and the counts outlive the check; the database is not
    // changed while it runs.
    ContentCheck(const ThreatDatabase& database, const ContentLimits& limits,
                 ContentCounts& counts);
    ~ContentCheck();
    ContentCheck(const ContentCheck&) = delete;
    ContentCheck& operator=(const ContentCheck&) = delete;

    void SetPlatformFiles(PlatformFiles* platform) { platform_ = platform; }
    void AddChecker(ContentFileChecker* checker) { checkers_.push_back(checker); }
    // Whether there is anything to check files against.
    bool Active() const;

    struct Outcome {
        ThreatDefinition* definition = nullptr;  // nullptr: nothing found
        std::shared_ptr<const ContentFinding> finding;
    };
    // Checks the open regular file `fd` (st: its fstat) at `windowsPath`.
    Outcome Check(int fd, const struct stat& st, std::string_view windowsPath,
                  const std::atomic<bool>& stop);
    // Counts a file the caller could not open.
    void CountSkip(ContentSkip skip);

    const ContentCounts& Counts() const { return counts_; }

  private:
    struct Hashes;
    struct Yara;
    enum class ReadResult { Done, Changed, Unreadable, Stopped };
    ReadResult ReadAndHash(int fd, uint64_t size, bool keep, bool hash,
                           const std::atomic<bool>& stop);
    Outcome FindDigest();
    Outcome RunYara(const struct stat& st, std::string_view windowsPath, std::string_view head,
                    const std::atomic<bool>& stop);
    Outcome AskCheckers(const ContentFileView& view);

    const ThreatDatabase& database_;
    ContentLimits limits_;
    PlatformFiles* platform_ = nullptr;
    std::vector<ContentFileChecker*> checkers_;
    std::unique_ptr<Hashes> hashes_;
    std::unique_ptr<Yara> yara_;
    std::string buffer_;
    ContentCounts& counts_;
};

}  // namespace tolvane
