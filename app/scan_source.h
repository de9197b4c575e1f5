// What the main controller needs of the scan engine, in one small
// interface: start a worker running the scan, the stop and finished flags,
// the counters and texts the window reads while the worker waits.
// engine_scan_source.h connects it to the ScanEngine.
#pragma once

#include <string>
#include <vector>

#include "scan/content_check.h"
#include "scan/detected_object.h"

namespace tolvane {

class ScanObserver;

class ScanSource {
  public:
    virtual ~ScanSource() = default;
    // Starts a worker thread running the scan, reporting to observer. False when
    // a worker of an earlier scan has not ended yet (see Join).
    virtual bool StartWorker(ScanObserver* observer) = 0;
    // True from StartWorker until the worker thread has returned.
    virtual bool WorkerRunning() const = 0;
    // Waits for the worker thread to return. Only call it when the worker
    // will send no more messages (after its last one), or while messages are
    // still delivered.
    virtual void JoinWorker() = 0;

    virtual void RequestStop() = 0;
    virtual bool StopRequested() const = 0;
    virtual bool ScanFinished() const = 0;
    virtual void ClearScanFinished() = 0;

    virtual ScanCounterValues Counters() const = 0;
    virtual int ProgressUnits() const = 0;
    virtual std::string CurrentItem() const = 0;
    // The log of the last scan; "" before any scan.
    virtual std::string LogPath() const = 0;
    // The hosts files the last scan's hosts check found (removal rewrites
    // them); none when the source has no hosts check.
    virtual std::vector<std::string> HostsFiles() const { return {}; }
    // A line the last scan has for the user beside its rows ("" mostly);
    // the window adds it to "Finished scanning...".
    virtual std::string Note() const { return {}; }
    // The content check's counts of the current (or last) scan, readable
    // while it runs; none when the source reads no file contents.
    virtual const ContentCounts* ContentPhaseCounts() const { return nullptr; }
    // For a machine that keeps no state of Tolvane's inside: the settings
    // and logs of later scans are kept in hostFolder on the host
    // (ScanEngine::KeepStateOnHost); a source without either ignores it.
    virtual void KeepStateOnHost(const std::string& /*hostFolder*/) {}
};

}  // namespace tolvane
