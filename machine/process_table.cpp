#include "machine/process_table.h"

#include <algorithm>

#include "base/codepage.h"
#include "host/host_files.h"
#include "machine/file_system.h"

namespace tolvane {
namespace {

class FixedProcessTable : public ProcessTable {
  public:
    explicit FixedProcessTable(std::vector<ProcessSnapshot> processes)
        : processes_(std::move(processes)) {}

    bool List(std::vector<ProcessSnapshot>* processes) override {
        *processes = processes_;
        return true;
    }

    bool Terminate(uint32_t pid) override {
        auto it = std::find_if(processes_.begin(), processes_.end(),
                               [pid](const ProcessSnapshot& p) { return p.pid == pid; });
        if (it == processes_.end()) {
            FileSystem::SetLastError(ERROR_INVALID_PARAMETER);
            return false;
        }
        processes_.erase(it);
        return true;
    }

  private:
    std::vector<ProcessSnapshot> processes_;
};

}  // namespace

bool ProcessTable::IsMapped(const std::string& hostPath) {
    std::vector<ProcessSnapshot> processes;
    if (!List(&processes)) return false;
    std::string wanted = CanonicalHostPath(hostPath);
    for (const ProcessSnapshot& process : processes)
        for (const std::string& file : process.hostFiles)
            if (file == hostPath || CanonicalHostPath(file) == wanted) return true;
    return false;
}

std::unique_ptr<ProcessTable> MakeFixedProcessTable(std::vector<ProcessSnapshot> processes) {
    return std::make_unique<FixedProcessTable>(std::move(processes));
}

bool IsBrowserRunning(ProcessTable& processes) {
    std::vector<ProcessSnapshot> listed;
    if (!processes.List(&listed)) return false;
    for (const ProcessSnapshot& process : listed) {
        const std::string& path = process.exePath.empty() && !process.modules.empty()
                                      ? process.modules.front()
                                      : process.exePath;
        if (ToUpperCp1252(path).find("IEXPLORE.EXE") != std::string::npos) return true;
    }
    return false;
}

}  // namespace tolvane
