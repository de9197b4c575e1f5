// ScanEngine: runs one scan at a time on its worker thread. It reads the
// scan mode from the settings ("LastScanMode"), runs that mode's phases in
// their fixed order (hosts files, running processes, registry keys and
// values, deep registry scan, folders and drives), collects what the
// definitions recognise in its ScanResults, writes the scan log and reports
// to its ScanObserver.
//
// Threads: the window's thread and the one worker. The worker writes the
// results, the current item and the progress units, and reports through the
// observer synchronously; the window reads CurrentItem() and the object lists
// only inside those calls or once ScanFinished() is true. The counters,
// progress units and both flags are atomic and readable at any time. A stop
// request is polled, never waited on; the destructor stops and joins the
// worker.
//
// Folder walks never enter a folder that is a symbolic link (a junction on
// Windows): links loop (dosdevices/z: leads back to the host's root) and
// would walk the same files twice. They also skip the host's kernel and
// device file systems, /proc, /sys and /dev, wherever a drive letter leads
// to them (Z: is the host's root in a Wine-made prefix): their entries are
// not files, some never end and reading some blocks.
#pragma once

#include <atomic>
#include <chrono>
#include <cstdint>
#include <ctime>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <thread>
#include <unordered_set>
#include <vector>

#include "definitions/placeholders.h"
#include "machine/process_enumerator.h"
#include "machine/registry.h"
#include "scan/content_check.h"
#include "scan/detected_object.h"
#include "scan/ignore_filter.h"
#include "scan/scan_log.h"
#include "scan/scan_observer.h"

namespace tolvane {

class Machine;
class SettingsStore;
class ThreatDatabase;
struct ThreatDefinition;
struct RegistryKeyEntry;
struct RegistryValueEntry;
struct FileEntry;

// The "LastScanMode" values. Any other value runs no phase.
enum class ScanMode : int32_t {
    Smart = 1,
    Custom = 2,
    DrivesAndFolders = 3,
    Registry = 4,
    Memory = 5,
    Files = 6,
};

// The mode's text after "Starting Scanning" in the log, e.g.
// " (Smart Scan Mode)\n"; nullptr for a value that is no mode.
const char* ScanModeLogText(int32_t mode);

inline constexpr const char* kLogNotWrittenNote = "The log of this scan could not be written.";
// What the process phase says on a Windows installation on a disk: Windows
// is not running there, so there is no program to check or end.
inline constexpr const char* kNoProgramsRunNote =
    "No programs are running on this Windows installation (Windows is not running on it): "
    "the Memory scan has no processes to check.";

// The registry-key phase pauses once per this many definitions.
inline constexpr size_t kDefinitionsPerKeyPause = 100;

// Registry value data longer than this (in bytes, with its terminating zero)
// never matches.
inline constexpr size_t kValueDataLimit = 1024;

// Whether registry value data (read as text up to its first zero byte)
// contains the pattern, without regard to case; with decodedTry, also its
// percent-decoded text. An empty pattern is always contained. The scan's
// test of a value recognised by its data, and removal's check before it
// deletes one.
bool ValueDataContains(const std::string& data, std::string_view pattern, bool decodedTry);

class ScanEngine {
  public:
    // Takes the user's shell folders and binds the process enumerator at
    // once. The machine and the database outlive the engine; the database is
    // not changed while a scan runs, except for the found flags the scan
    // sets.
    ScanEngine(Machine& machine, ThreatDatabase& database);
    ~ScanEngine();
    ScanEngine(const ScanEngine&) = delete;
    ScanEngine& operator=(const ScanEngine&) = delete;

    // --- Set before a scan starts ---
    void SetObserver(ScanObserver* observer) { observer_ = observer; }
    // The ignore-list test; none means nothing is ignored.
    void SetIgnoreFilter(const IgnoreFilter* filter) { ignore_ = filter; }
    // The pause of the registry-key phase (10 ms), made before the first
    // definition that names keys and then before every `everyDefinitions`-th
    // of those.
    void SetRegistryKeyPause(std::chrono::milliseconds pause,
                             size_t everyDefinitions = kDefinitionsPerKeyPause) {
        keyPause_ = pause;
        definitionsPerKeyPause_ = everyDefinitions == 0 ? 1 : everyDefinitions;
    }
    // The local start time that names the log; the system clock by default.
    void SetClock(std::function<std::tm()> clock) { clock_ = std::move(clock); }
    // The content check's limits; by default each scan reads them from the
    // host settings (ReadContentLimits).
    void SetContentLimits(const ContentLimits& limits) { contentLimits_ = limits; }
    // Where the platform's own files are told apart and extra per-file
    // checkers plug into the content check (content_check.h); each outlives
    // the engine's scans.
    void SetPlatformFiles(PlatformFiles* platform) { platform_ = platform; }
    void AddContentChecker(ContentFileChecker* checker) { checkers_.push_back(checker); }

    // --- The scan ---
    // Starts the worker thread running a scan as RunScan does; the stop flag
    // is cleared before the thread starts, so that a RequestStop right after
    // Start stops this scan. False when a worker is still running (a stopped
    // one included: Wait() for it first).
    bool Start();
    // The body of the worker: runs one whole scan on the calling thread.
    void RunScan();
    // The thread procedure: 1 at once without an engine, else RunScan and 0.
    static int ScanThreadProc(ScanEngine* engine);
    // Sets the stop flag; the worker notices it at its next poll, and a
    // content check inside YARA is cut short.
    void RequestStop() {
        stopRequested_.store(true);
        contentStop_.Interrupt();
    }
    // Joins the worker, if there is one.
    void Wait();
    // True from Start until the worker's thread has returned.
    bool WorkerRunning() const { return workerRunning_.load(); }

    bool StopRequested() const { return stopRequested_.load(); }
    bool ScanFinished() const { return scanFinished_.load(); }
    // The window clears the flag after it acted on the end of a scan.
    void ClearScanFinished() { scanFinished_.store(false); }

    // --- What the window reads ---
    ScanResults& Results() { return results_; }
    const ScanResults& Results() const { return results_; }
    ScanCounterValues Counters() const { return results_.counters.Values(); }
    int32_t ProgressUnits() const { return progressUnits_.load(std::memory_order_relaxed); }
    const std::string& CurrentItem() const { return currentItem_; }
    // The content check's counts of the current (or last) scan; all 0 when
    // its mode reads no content or the check is off.
    const ContentCounts& ContentPhaseCounts() const { return contentCounts_; }
    // How many content checks are inside YARA now (tests wait for one).
    size_t ContentChecksInYara() const { return contentStop_.Running(); }
    // The Windows path of the last scan's log, its host path when the log
    // is kept on the host ("" before the first scan and when it could not
    // be written).
    const std::string& LogPath() const { return log_.Path(); }
    // For a machine that keeps no state of Tolvane's inside: later scans
    // read their settings from the host folder's settings file
    // (SettingsStore::OnHost) and write their logs to its Logs folder; ""
    // (no folder could be had) keeps the settings in memory and writes no
    // log. Not while a scan runs.
    void KeepStateOnHost(const std::string& hostFolder);
    // A line for the user beside the last scan's rows, "" mostly: that its
    // log could not be written (kLogNotWrittenNote), and on a Windows
    // installation kNoProgramsRunNote once the process phase ran.
    const std::string& Note() const { return note_; }
    // The hosts files the last hosts check found.
    const std::vector<std::string>& HostsFiles() const { return hostsFiles_; }
    // The engine's process enumerator, shared with removal on the window
    // thread (never while a scan runs).
    ProcessEnumerator& Processes() { return processes_; }

    // --- The phases (run by RunScan; public for the tests) ---
    void CheckHostsFile();
    void ScanProcesses();
    void ScanRegistryKeys();
    void ScanRegistryValues();
    void DeepRegistryScan();
    // Walks a folder, with its subfolders unless thisFolderOnly.
    void WalkFolder(std::string_view folder, bool thisFolderOnly);
    // The shared reporting step of every phase: numbers and logs the object,
    // keeps it, and lists it unless the ignore test holds it.
    void AddResult(std::unique_ptr<DetectedObject> object);
    void SetCurrentItem(std::string_view text) { currentItem_.assign(text); }

    // True for a host folder that walks never enter: /proc, /sys, /dev and
    // everything below them.
    static bool IsSkippedHostFolder(std::string_view hostPath);

  private:
    bool Stopped() const { return stopRequested_.load(std::memory_order_relaxed); }
    void Progress(ScanProgress kind, DetectedObject* object = nullptr);
    void Phase(int phase);
    void Count(std::atomic<int32_t>& counter) { counter.fetch_add(1, std::memory_order_relaxed); }
    void AddUnits(int32_t units) { progressUnits_.fetch_add(units, std::memory_order_relaxed); }
    void Report(ThreatDefinition* definition, ObjectType type, std::string text,
                std::string profile = "", FoundAs foundAs = FoundAs::Object,
                std::shared_ptr<const ContentFinding> content = nullptr);
    // The content phase: made for the modes that read files (when there is
    // anything to check them against), its counts logged at the end.
    void StartContentPhase();
    void EndContentPhase();
    // The walk's entry is handed to the content threads; what they found is
    // reported, in the walk's order, before any other row and as the walk
    // ends (ReportContentMatches).
    void CheckEntryContent(const FindHandle& handle, FindDetail detail, std::string path);
    void ReportContentMatches();
    // The content check of a running program's file: the definition that
    // recognised it, or nullptr.
    ThreatDefinition* CheckProgramContent(const std::string& path,
                                          std::shared_ptr<const ContentFinding>* finding);
    // The outcome of one entry of a definition: marks the entry found or
    // not; a found one also marks its definition, counts it on counter and
    // is reported as text (found in the user profile named so, if any).
    void Settle(ThreatDefinition* definition, int* entryFound, bool found,
                std::atomic<int32_t>& counter, ObjectType type, std::string_view text,
                const std::string& profile = "");
    bool KeyPresent(RootKey root, std::string_view path);
    void SettleKey(ThreatDefinition* definition, RegistryKeyEntry& entry);
    // RunScan after the stop flag was cleared.
    void RunScanSteps();
    void RunModePhases(int32_t mode);
    void WalkChosenFolders(std::string_view listPrefix, std::string_view countName);
    void DefinitionFolders();
    // Looks up every file entry that names an exact path (one look-up
    // each, no walk) that no walk of this scan reported yet, in every
    // user profile for a path in a user's folder.
    void DefinitionFiles();
    void LookUpFile(const FileEntry& entry, const std::string& path, const std::string& profile);
    std::optional<std::string> ProfilePath(size_t index, const std::string& path,
                                           std::string* profileName) const;
    // A path met by a walk in another profile's folder as the current
    // user's same path (unchanged outside such a walk).
    std::string AsCurrentUsers(const std::string& path) const;
    // The value of `entry` found in keyPath, its data holding the pattern
    // and meeting the entry's conditions.
    bool ValueMatches(RootKey root, std::string_view keyPath, const RegistryValueEntry& entry,
                      const std::string& loweredPattern, bool decodedTry);
    // The values of the key whose names match a wildcard entry and whose
    // data holds its pattern, listed as "key\name".
    void MatchValuesByName(ThreatDefinition* definition, RegistryValueEntry& entry,
                           const std::string& loweredPattern);
    void CheckDeepKey(const std::string& topKey, const std::string& path);
    void WalkDeepKey(const std::string& topKey, const std::string& path, int depth);
    // Where a walked folder lies on the host, as far as the skipped file
    // systems care.
    enum class HostPlace { Unknown, HostRoot, Below };
    // `parent` and `entry`: the walk and its entry that met this folder, so
    // that the folder is listed without resolving its whole path again.
    // `depth`: the levels below the walk's start.
    void Walk(std::string folder, bool thisFolderOnly, HostPlace place,
              const FindHandle* parent = nullptr, const FindData* entry = nullptr, int depth = 0);
    std::tm LocalStartTime() const;
    struct DeepIndex;

    Machine& machine_;
    ThreatDatabase& database_;
    std::unique_ptr<SettingsStore> settings_;
    ScanObserver* observer_ = nullptr;
    const IgnoreFilter* ignore_ = nullptr;
    std::chrono::milliseconds keyPause_{10};
    size_t definitionsPerKeyPause_ = kDefinitionsPerKeyPause;
    std::function<std::tm()> clock_;

    std::atomic<bool> stopRequested_{false};
    std::atomic<bool> scanFinished_{false};
    std::atomic<bool> workerRunning_{false};
    std::thread worker_;

    ScanResults results_;
    std::atomic<int32_t> progressUnits_{0};
    std::string currentItem_;
    std::string note_;
    bool stateOnHost_ = false;
    std::string hostStateFolder_;
    ScanLog log_;
    std::vector<std::string> hostsFiles_;
    ProcessEnumerator processes_;
    std::unique_ptr<DeepIndex> deepIndex_;
    // The files this scan reported (lower-cased paths), so that a file a
    // walk met is not reported again by its exact path.
    std::unordered_set<std::string> reportedFiles_;
    // The placeholder folders of each user profile (Machine::Profiles), the
    // current user's first; and while a definition folder is walked in
    // another profile, that profile's folders and name.
    std::vector<PlaceholderFolders> profileFolders_;
    const PlaceholderFolders* walkFrom_ = nullptr;
    std::string walkProfile_;
    std::optional<ContentLimits> contentLimits_;
    PlatformFiles* platform_ = nullptr;
    // Asked when no other PlatformFiles was set: the machine's own answer.
    std::unique_ptr<PlatformFiles> machinePlatform_;
    std::vector<ContentFileChecker*> checkers_;
    std::vector<ContentFileChecker*> activeCheckers_;  // those taking part in this scan
    ContentCounts contentCounts_;
    ContentStop contentStop_;               // outlives content_
    std::unique_ptr<ContentPool> content_;  // while a phase reads content

    // The folders taken when the engine was made ("" when the machine has
    // none): Windows, system and cookies are the ones the scans walk.
    std::string windowsFolder_, systemFolder_, cookiesFolder_;
};

}  // namespace tolvane
