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
// while YARA runs, joined before Check returns, but for the SHA-256 the
// PlatformFiles need first); the counts it adds to may be read from any
// thread. A walk checks its files through a ContentPool: one ContentCheck
// per pool thread (one per core, at most 4), the PlatformFiles and the
// extra checkers called under one lock, so that they need not be safe
// between threads; memory: at most one file's bytes (up to the YARA cap)
// per pool thread. Each digest kind costs a pass over the bytes (the three
// together about as much as YARA with a few hundred rules, a sixth more
// processor time than YARA with the shipped rules alone; MD5 the dearest):
// the pool's threads, not a shorter path, keep a scan near YARA's speed.
// Stop: the flag is polled between read and hash chunks (1 MiB). A YARA
// scan already running is cut short through a ContentStop (below) when the
// check was given one, else it is bounded only by its time-out. A file
// whose check was stopped is counted as stopped, never as checked or timed
// out, unless it was listed before the stop came.
// Errors are counts, nothing throws.
#pragma once

#include <sys/stat.h>

#include <array>
#include <atomic>
#include <condition_variable>
#include <cstdint>
#include <deque>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <string_view>
#include <thread>
#include <vector>

#include "host/held_path.h"
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

class ContentCheck;

// Carries a stop into the YARA scans running when it comes. libyara 4.2 has
// no call that aborts a scan and calls back only once the bytes are
// scanned (splitting them into blocks would miss strings across a block's
// edge), but its scanner compares the time the scan has taken with the
// scanner's time-out as it goes: Interrupt shortens the time-out of every
// scan running under this stop to nothing, and libyara ends it within a few
// milliseconds. A check takes the lock to hand its scanner to YARA (after
// looking at the stop flag under it) and to take it back, so a scanner is
// never touched once its scan returned and a stop cannot fall between two
// files. Threads: any; the lock is held only for those steps.
class ContentStop {
  public:
    // Call after setting the stop flag the checks are given.
    void Interrupt();
    // How many checks are inside YARA now (tests wait for one).
    size_t Running() const;

  private:
    friend class ContentCheck;
    // False, with nothing handed over, once the stop flag is set.
    bool Enter(ContentCheck* check, const std::atomic<bool>& stop);
    void Leave(ContentCheck* check);
    mutable std::mutex lock_;
    std::vector<ContentCheck*> running_;
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
    // Outlives the check; nullptr: a running YARA scan ends at its time-out.
    void SetStop(ContentStop* stop) { interrupt_ = stop; }
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
    friend class ContentStop;
    struct Hashes;
    struct Yara;
    enum class ReadResult { Done, Changed, Unreadable, Stopped };
    ReadResult ReadAndHash(int fd, uint64_t size, bool keep, unsigned kinds,
                           const std::atomic<bool>& stop);
    bool HashKept(unsigned kinds, const std::atomic<bool>& stop);
    Outcome FindDigest();
    // *stopped: the scan was cut short by the stop (its outcome is empty).
    Outcome RunYara(const struct stat& st, std::string_view windowsPath, std::string_view head,
                    const std::atomic<bool>& stop, bool* stopped);
    Outcome YaraAndDigests(const struct stat& st, std::string_view windowsPath,
                           std::string_view head, unsigned late, const std::atomic<bool>& stop,
                           bool* stopped);
    Outcome AskCheckers(const ContentFileView& view);

    const ThreatDatabase& database_;
    ContentLimits limits_;
    PlatformFiles* platform_ = nullptr;
    std::vector<ContentFileChecker*> checkers_;
    ContentStop* interrupt_ = nullptr;
    std::unique_ptr<Hashes> hashes_;
    std::unique_ptr<Yara> yara_;
    // The bytes read, left uninitialised until read into: a std::string
    // would write zeros over each file's size before the read does.
    struct Buffer {
        std::unique_ptr<char[]> bytes;
        size_t capacity = 0;
        size_t size = 0;
        char* data() { return bytes.get(); }
        void Resize(size_t wanted);
        void Release();
    };
    Buffer buffer_;
    ContentCounts& counts_;
};

// The walk's files checked on a few threads, each with its own ContentCheck,
// while the walk goes on. Memory stays bounded: Submit waits while twice as
// many files as there are threads are in flight (each thread keeps at most
// one file's bytes up to the YARA cap; a queued file holds only its
// descriptor, and lets a thread that finished go on while the walk opens
// the next). Collect gives the matches in the order
// the files were handed over, whichever thread finished first, so that rows
// and log lines come in the walk's order; the counts are the same as had one
// thread checked them all.
class ContentPool {
  public:
    // One per core, at most 4.
    static size_t DefaultThreads();
    // `threads` of 0 takes DefaultThreads(). The database, the counts and the
    // stop flag outlive the pool.
    ContentPool(const ThreatDatabase& database, const ContentLimits& limits, ContentCounts& counts,
                const std::atomic<bool>& stop, size_t threads = 0);
    // Waits for the files in flight; matches not collected are dropped.
    ~ContentPool();
    ContentPool(const ContentPool&) = delete;
    ContentPool& operator=(const ContentPool&) = delete;

    // Both before the first file is handed over.
    void SetPlatformFiles(PlatformFiles* platform);
    void AddChecker(ContentFileChecker* checker);
    void SetStop(ContentStop* stop);
    bool Active() const { return inline_.Active(); }

    struct Match {
        std::string path;  // as handed over
        std::string tag;   // the caller's own (the profile the walk was in)
        ContentCheck::Outcome outcome;
    };
    // Hands the open file `fd` over (st: its fstat); waits while the pool
    // is full.
    void Submit(UniqueFd fd, const struct stat& st, std::string windowsPath, std::string tag);
    // Waits until every file handed over is checked; the matches since the
    // last Collect, in the order handed over.
    std::vector<Match> Collect();
    // Checks a file on the caller's thread (a running program's file).
    ContentCheck::Outcome CheckHere(int fd, const struct stat& st, std::string_view windowsPath);
    void CountSkip(ContentSkip skip) { inline_.CountSkip(skip); }

  private:
    class LockedPlatform;
    class LockedChecker;
    struct Job {
        uint64_t sequence = 0;
        UniqueFd fd;
        struct stat st {};
        std::string path, tag;
    };
    void Work(ContentCheck* check);
    void StartThreads();

    const ThreatDatabase& database_;
    const ContentLimits limits_;
    ContentCounts& counts_;
    const std::atomic<bool>& stop_;
    const size_t threads_;
    std::mutex callLock_;  // held while PlatformFiles or a checker is asked
    std::unique_ptr<LockedPlatform> platform_;
    std::vector<std::unique_ptr<LockedChecker>> checkers_;
    ContentStop* interrupt_ = nullptr;
    ContentCheck inline_;
    std::vector<std::unique_ptr<ContentCheck>> checks_;
    std::vector<std::thread> workers_;

    std::mutex lock_;
    std::condition_variable wake_;  // a job queued, or closing
    std::condition_variable done_;  // a job finished
    std::deque<Job> queue_;
    size_t inFlight_ = 0;  // queued or being checked
    uint64_t nextSequence_ = 0;
    std::vector<std::pair<uint64_t, Match>> matches_;
    bool started_ = false;
    bool closing_ = false;
};

}  // namespace tolvane
