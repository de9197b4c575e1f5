// ProcessEnumerator: the running programs of the machine as snapshot lists
// with a cursor, the modules loaded into one program, and termination of
// programs by executable file name.
//
// Back-end: the machine's process table (machine/process_table.h). On a
// live machine that is the /proc table of the prefix's Linux processes
// (argv[0] as the Windows executable path, mapped .exe/.dll files as the
// modules, kill(2) to end one); tests and machines without live processes
// use the fixed table. Both are driven the same way, in the form of the
// process-status interface: every running instance of a name is ended by
// KillProcessByName (through EndProcesses, the one way programs of the
// machine are ended), a failed termination is silent, and a process with no
// readable executable path is named "-". The Windows snapshot form (only the
// first instance, an error box on failure) does not exist here, because the
// platform offers just this one process interface; UsesPsapi() is therefore
// the only back-end flag that can be set.
//
// The table gives no image base or size, so ModuleRecord's baseAddress and
// imageSize are 0. A module list asked for a process of a live process list
// of this enumerator comes from that list's snapshot (the same moment the
// process list shows); otherwise the table is asked afresh.
//
// Not thread-safe: one enumerator serves one thread at a time.
#pragma once

#include <cstdint>
#include <memory>
#include <string>
#include <string_view>
#include <vector>

namespace tolvane {

class Machine;
struct ProcessSnapshot;

enum class ProcessError : int {
    Success = 0,
    NoInterface = 1,        // no process interface could be bound
    MissingEntryPoint = 2,  // an interface lacked one of its operations
    OutOfMemory = 3,        // a list could not be made
    EnumerationFailed = 4,  // the processes or the process could not be read
    EndOfList = 5,          // the index equals the number of records
    IndexOutOfRange = 6,    // the index lies beyond the number of records
};

// Records keep the size limits of their fixed fields: a name or path is cut
// to kRecordTextLimit bytes (a 260-byte field with its terminating zero).
inline constexpr size_t kRecordTextLimit = 259;
// At most this many processes per list and modules per process are seen.
inline constexpr size_t kMaxEnumerated = 4096;
// The index that means "the record at the cursor".
inline constexpr uint32_t kCursorIndex = 0xFFFFFFFFu;

struct ProcessRecord {
    uint32_t processId = 0;
    std::string exeName;  // the executable's full Windows path, or "-"
};

struct ModuleRecord {
    uint32_t baseAddress = 0;
    uint32_t imageSize = 0;
    std::string path;  // the module's full Windows path
};

// A snapshot of the processes, in the order the platform listed them.
struct ProcessList {
    std::vector<ProcessRecord> records;
    uint32_t cursor = 0;
    // The table's view of the moment, kept for module lists of its processes.
    std::shared_ptr<const std::vector<ProcessSnapshot>> snapshot;
};

struct ModuleList {
    uint32_t processId = 0;
    std::vector<ModuleRecord> records;
    uint32_t cursor = 0;
};

class ProcessEnumerator {
  public:
    ProcessEnumerator() = default;
    ~ProcessEnumerator();
    ProcessEnumerator(const ProcessEnumerator&) = delete;
    ProcessEnumerator& operator=(const ProcessEnumerator&) = delete;

    // Binds the machine's process table. preferPsapi is accepted for the
    // callers' sake; there is one interface to choose. False (LastError
    // NoInterface) without a machine.
    bool Initialise(Machine* machine, bool preferPsapi = true);
    // Unbinds; lists made before stay valid as plain data.
    void Release();

    bool UsesPsapi() const { return machine_ != nullptr; }
    bool UsesToolhelp() const { return false; }
    ProcessError LastError() const { return lastError_; }

    // A new list, or nullptr when it could not be made (LastError
    // OutOfMemory). The list is empty with LastError EnumerationFailed when
    // the processes cannot be read, and empty with LastError unchanged when
    // nothing is bound.
    std::unique_ptr<ProcessList> CreateProcessList();
    // The modules of one process, executable first, with the same outcomes;
    // a process that is not running gives EnumerationFailed.
    std::unique_ptr<ModuleList> CreateModuleList(uint32_t processId);

    // Copies the record at index (kCursorIndex: at the cursor) and advances
    // the cursor by one from wherever it stood. False with EndOfList when the
    // index equals the number of records, IndexOutOfRange beyond it.
    bool NextProcess(ProcessList* list, ProcessRecord* record, uint32_t index = kCursorIndex);
    bool NextModule(ModuleList* list, ModuleRecord* record, uint32_t index = kCursorIndex);

    void FreeProcessList(std::unique_ptr<ProcessList> list) { list.reset(); }
    void FreeModuleList(std::unique_ptr<ModuleList> list) { list.reset(); }

    // Ends every running process whose executable's file name equals the
    // file name of path (the part after its last backslash), letter case
    // ignored. True when at least one such process was found, whether or not
    // it could be ended. Waits up to kEndedProgramsWait for the ended
    // programs to be gone, since the caller usually deletes their file next.
    bool KillProcessByName(std::string_view path);
    // How many programs the last KillProcessByName ended that were still
    // running when its wait ran out.
    int LastKillStillRunning() const { return lastKillStillRunning_; }
    // Ends one process; false when it is gone or refuses.
    bool TerminateProcessById(uint32_t processId);

    // The lower-cased file-name part of a process's executable path (after
    // its last backslash or slash): what KillProcessByName compares.
    static std::string ExecutableKey(std::string_view path);
    // The lower-cased part of a path given to KillProcessByName after its
    // last backslash: a "/" separates nothing there, as in the scripts that
    // pass such paths ("C:/dir/name.exe" names no process "name.exe").
    static std::string KillTargetKey(std::string_view path);

  private:
    bool ReadTable(std::vector<ProcessSnapshot>* processes);

    Machine* machine_ = nullptr;
    ProcessError lastError_ = ProcessError::Success;
    int lastKillStillRunning_ = 0;
    std::weak_ptr<const std::vector<ProcessSnapshot>> lastSnapshot_;
};

}  // namespace tolvane
