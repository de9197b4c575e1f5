#include "machine/process_table.h"

#include <algorithm>
#include <thread>

#include "base/codepage.h"
#include "host/host_files.h"
#include "host/host_paths.h"
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
    std::string wanted = CanonicalPath(hostPath).value_or(hostPath);
    for (const ProcessSnapshot& process : processes)
        for (const std::string& file : process.hostFiles)
            if (file == hostPath || CanonicalPath(file).value_or(file) == wanted) return true;
    return false;
}

std::unique_ptr<ProcessTable> MakeFixedProcessTable(std::vector<ProcessSnapshot> processes) {
    return std::make_unique<FixedProcessTable>(std::move(processes));
}

namespace {

// How many of the pids are still listed (0 when nothing can be listed).
int CountStillListed(ProcessTable& processes, const std::vector<uint32_t>& pids) {
    std::vector<ProcessSnapshot> listed;
    if (!processes.List(&listed)) return 0;
    int count = 0;
    for (const ProcessSnapshot& process : listed)
        if (std::find(pids.begin(), pids.end(), process.pid) != pids.end()) ++count;
    return count;
}

}  // namespace

int EndProcesses(ProcessTable& processes,
                 const std::function<bool(const ProcessSnapshot& process)>& matches,
                 std::chrono::milliseconds settle, int* stillRunning) {
    std::vector<ProcessSnapshot> listed;
    if (!processes.List(&listed)) return -1;
    std::vector<uint32_t> ended;
    int matched = 0;
    for (const ProcessSnapshot& process : listed) {
        if (!matches(process)) continue;
        ++matched;
        if (processes.Terminate(process.pid)) ended.push_back(process.pid);
    }
    constexpr std::chrono::milliseconds kCheckEvery(50);
    int running = ended.empty() ? 0 : CountStillListed(processes, ended);
    for (auto waited = std::chrono::milliseconds(0); running > 0 && waited < settle;
         waited += kCheckEvery) {
        std::this_thread::sleep_for(kCheckEvery);
        running = CountStillListed(processes, ended);
    }
    if (stillRunning) *stillRunning = running;
    return matched;
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
