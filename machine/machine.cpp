#include "machine/machine.h"

#include <thread>

namespace tolvane {

Machine::Machine(Parts parts)
    : prefix_(std::move(parts.folder)),
      registry_(std::move(parts.registry)),
      files_(std::move(parts.files)),
      shell_(std::move(parts.shell)),
      processes_(std::move(parts.processes)),
      launcher_(std::move(parts.launcher)),
      backEnd_(std::move(parts.backEnd)),
      profiles_(std::move(parts.profiles)) {
    if (profiles_.empty()) profiles_.emplace_back();
    files_->SetInUseCheck(
        [this](const std::string& hostPath) { return processes_->IsMapped(hostPath); });
    files_->SetTempFolderSource([this] { return shell_->TempFolder(); });
}

Machine::~Machine() = default;

void Machine::WaitUntilIdle(std::chrono::milliseconds limit) {
    const auto deadline = std::chrono::steady_clock::now() + limit;
    // First the programs we started ourselves: until they have started their
    // work, nothing of the machine's own system shows.
    launcher_->WaitForWinePrograms(limit);
    while (std::chrono::steady_clock::now() < deadline) {
        if (!backEnd_->Busy(*processes_)) return;
        std::this_thread::sleep_for(std::chrono::milliseconds(100));
    }
}

std::vector<std::string> Machine::HostsFilePaths() const {
    std::vector<std::string> paths;
    std::string windows, system;
    if (shell_->GetFolderPath(CSIDL_WINDOWS, &windows)) {
        paths.push_back(windows + "\\hosts");
        paths.push_back(windows + "\\hosts.new");
    }
    if (shell_->GetFolderPath(CSIDL_SYSTEM, &system)) {
        paths.push_back(system + "\\drivers\\etc\\hosts");
        paths.push_back(system + "\\drivers\\etc\\hosts.new");
    }
    return paths;
}

std::vector<std::string> Machine::HostsFiles() const {
    std::vector<std::string> existing;
    for (const std::string& path : HostsFilePaths())
        if (files_->PathFileExists(path)) existing.push_back(path);
    return existing;
}

void Machine::SetProcessTable(std::unique_ptr<ProcessTable> table) {
    if (table) processes_ = std::move(table);
}

}  // namespace tolvane
