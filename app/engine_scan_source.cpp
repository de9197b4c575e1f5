#include "app/engine_scan_source.h"

namespace tolvane {

EngineScanSource::EngineScanSource(Machine& machine, ThreatDatabase& database,
                                   const IgnoreList& ignoreList, const std::string& clamdSocket)
    : filter_(ignoreList), clamd_(clamdSocket), engine_(machine, database) {
    engine_.SetIgnoreFilter(&filter_);
    engine_.AddContentChecker(&clamd_);
}

bool EngineScanSource::StartWorker(ScanObserver* observer) {
    if (engine_.WorkerRunning()) return false;
    // A worker that has returned is joined before the next one starts.
    engine_.Wait();
    engine_.SetObserver(observer);
    return engine_.Start();
}

std::unique_ptr<ScanSource> MakeEngineScanSource(Machine& machine, ThreatDatabase& database,
                                                 const IgnoreList& ignoreList,
                                                 const std::string& clamdSocket) {
    return std::make_unique<EngineScanSource>(machine, database, ignoreList, clamdSocket);
}

}  // namespace tolvane
