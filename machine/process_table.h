// The running programs of the machine, seen with their Windows executable
// path and the modules they have mapped. Each back-end gives its own table
// (a Wine prefix's Linux processes: machine/wine/proc_process_table.h); a
// machine without live processes has the fixed one.
#pragma once

#include <chrono>
#include <cstdint>
#include <functional>
#include <memory>
#include <string>
#include <vector>

namespace tolvane {

class FileSystem;

struct ProcessSnapshot {
    uint32_t pid = 0;
    uint32_t parentPid = 0;
    std::string exePath;                 // Windows path (argv[0]), e.g. "C:\windows\notepad.exe"
    std::vector<std::string> modules;    // Windows paths of mapped .exe/.dll files, exe first
    std::vector<std::string> hostFiles;  // host paths of every mapped file (in-use checks)
};

class ProcessTable {
  public:
    virtual ~ProcessTable() = default;
    // The machine's processes now; false when they cannot be listed at all.
    virtual bool List(std::vector<ProcessSnapshot>* processes) = 0;
    // TerminateProcess; false when the process is gone or refuses.
    virtual bool Terminate(uint32_t pid) = 0;
    // True when a process of the machine has this host file mapped.
    virtual bool IsMapped(const std::string& hostPath);
};

// The one way programs of the machine are ended: every listed process for
// which matches holds is terminated (a refusal is silent; the others still
// end). Then, for up to settle, waits until those it ended are gone, as a
// killed program lets go of its files a moment later (a zombie is gone: the
// tables do not list it). The number of processes that matched, whether or
// not they could be ended; -1 when the processes cannot be listed.
// stillRunning, when given: how many of those it ended were still listed when
// the wait ran out.
int EndProcesses(ProcessTable& processes,
                 const std::function<bool(const ProcessSnapshot& process)>& matches,
                 std::chrono::milliseconds settle = std::chrono::milliseconds(0),
                 int* stillRunning = nullptr);

// How long the removal and the scripts wait for the programs they ended.
inline constexpr std::chrono::milliseconds kEndedProgramsWait{5000};

// Whether Internet Explorer runs: a process whose program path (else its
// first module) contains "iexplore.exe" without regard to case. False when
// the processes cannot be listed.
bool IsBrowserRunning(ProcessTable& processes);
// What the flows that change the machine say while it runs (caption
// "Warning", OK and Cancel: Cancel stops them).
inline constexpr const char* kBrowserRunningWarning =
    "Internet Explorer is currently running.\nWe strongly suggest closing IE before scanning or "
    "removing objects.\n\nClick OK to continue after closing all IE windows.";

// A fixed table for tests and for machines without live processes:
// Terminate removes the entry.
std::unique_ptr<ProcessTable> MakeFixedProcessTable(std::vector<ProcessSnapshot> processes);

}  // namespace tolvane
