// The main window's scan source over the ScanEngine: the engine with the
// ignore list as its ignore test.
#pragma once

#include <chrono>
#include <memory>

#include "app/scan_source.h"
#include "scan/clamd_client.h"
#include "scan/ignore_filter.h"
#include "scan/scan_engine.h"

namespace tolvane {

class EngineScanSource : public ScanSource {
  public:
    // clamdSocket: the user's clamd (--clamd); "" takes the host's settings.
    EngineScanSource(Machine& machine, ThreatDatabase& database, const IgnoreList& ignoreList,
                     const std::string& clamdSocket = "");

    ScanEngine& engine() { return engine_; }

    bool StartWorker(ScanObserver* observer) override;
    bool WorkerRunning() const override { return engine_.WorkerRunning(); }
    void JoinWorker() override { engine_.Wait(); }
    void RequestStop() override { engine_.RequestStop(); }
    bool StopRequested() const override { return engine_.StopRequested(); }
    bool ScanFinished() const override { return engine_.ScanFinished(); }
    void ClearScanFinished() override { engine_.ClearScanFinished(); }
    ScanCounterValues Counters() const override { return engine_.Counters(); }
    int ProgressUnits() const override { return engine_.ProgressUnits(); }
    std::string CurrentItem() const override { return engine_.CurrentItem(); }
    std::string LogPath() const override { return engine_.LogPath(); }
    std::vector<std::string> HostsFiles() const override { return engine_.HostsFiles(); }
    std::string Note() const override { return engine_.Note(); }
    const ContentCounts* ContentPhaseCounts() const override {
        return &engine_.ContentPhaseCounts();
    }
    void KeepStateOnHost(const std::string& hostFolder) override {
        engine_.KeepStateOnHost(hostFolder);
    }

  private:
    IgnoreListFilter filter_;
    ClamdChecker clamd_;  // before the engine, which asks it
    ScanEngine engine_;
};

// The factory Application uses by default.
std::unique_ptr<ScanSource> MakeEngineScanSource(Machine& machine, ThreatDatabase& database,
                                                 const IgnoreList& ignoreList,
                                                 const std::string& clamdSocket = "");

}  // namespace tolvane
