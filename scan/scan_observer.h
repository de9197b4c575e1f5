// What a scan reports to (the main window, through its controller). The scan worker calls it
// synchronously and in order on the worker thread, and waits until each call returns: while a call
// runs, the engine's counters, current item, progress units and the reported object hold still and
// may be read. A face whose window lives on another thread blocks the worker until its own thread
// has handled the call (a blocking queued call).
#pragma once

namespace tolvane {

struct DetectedObject;

// The window messages of the Windows program, for reference: progress 3002,
// phase 3009.
inline constexpr int kScanProgressMessage = 3002;
inline constexpr int kScanPhaseMessage = 3009;

// What a progress message says (its wParam).
enum class ScanProgress : int {
    Step = 0,       // an item was examined; also the last message of a scan
    NewObject = 1,  // a recognised object is to be listed (object given)
    DeepKey = 4,    // a key of the deep registry scan was entered
};

// Phase numbers of phase messages; the window chooses its progress bar by them.
namespace scan_phase {
inline constexpr int kProcesses = 0;
inline constexpr int kRegistryAndDefinitionFolders = 1;  // also the hosts file
inline constexpr int kChosenFoldersAndDrives = 2;        // Custom folders, Files drives
inline constexpr int kFixedFolders = 3;                  // Smart folders, Drives & Folders
inline constexpr int kDeepRegistry = 4;
}  // namespace scan_phase

class ScanObserver {
  public:
    virtual ~ScanObserver() = default;
    // ScanProgressMessage. object is given only for NewObject. The last
    // message of a scan is (Step, nullptr) with ScanFinished() already true.
    virtual void OnScanProgress(ScanProgress kind, DetectedObject* object) = 0;
    // ScanPhaseMessage at the start of a phase.
    virtual void OnScanPhase(int phase) = 0;
};

}  // namespace tolvane
